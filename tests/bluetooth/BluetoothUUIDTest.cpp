#include <VemraPlatformKit/platform/bluetooth/BluetoothError.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothUUID.h>

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <unordered_set>

using namespace vpk;

TEST(BluetoothUUID, ParsesTheThreeFormsInEitherCaseOntoTheBaseUUID) {
  const auto full = BluetoothUUID::parse("6e400001-b5a3-f393-e0a9-e50e24dcca9e");
  ASSERT_TRUE(full);
  EXPECT_EQ(full->fullString(), "6E400001-B5A3-F393-E0A9-E50E24DCCA9E");
  EXPECT_EQ(full->string(), "6E400001-B5A3-F393-E0A9-E50E24DCCA9E");
  EXPECT_EQ(*full, *BluetoothUUID::parse("6E400001-B5A3-F393-E0A9-E50E24DCCA9E"));
  EXPECT_EQ(full->bytes()[0], 0x6E);
  EXPECT_EQ(full->bytes()[15], 0x9E);

  // Aliases expand onto 0000xxxx-0000-1000-8000-00805F9B34FB and render short again.
  const auto alias = BluetoothUUID::parse("180d");
  ASSERT_TRUE(alias);
  EXPECT_EQ(*alias, *BluetoothUUID::parse("0000180D-0000-1000-8000-00805f9b34fb"));
  EXPECT_EQ(*alias, *BluetoothUUID::parse("0000180D"));
  EXPECT_EQ(*alias, BluetoothUUID::fromAlias16(0x180D));
  EXPECT_EQ(alias->string(), "180D");
  EXPECT_EQ(alias->alias16(), 0x180D);
  EXPECT_EQ(BluetoothUUID::parse("12345678")->string(), "12345678");
  EXPECT_FALSE(full->alias16());
}

TEST(BluetoothUUID, RefusesEverythingElse) {
  for (const char* bad : {"", "18", "180", "180G", "1800D", "6e400001b5a3f393e0a9e50e24dcca9e",
                          "6e400001-b5a3-f393-e0a9-e50e24dcca9", "6e400001-b5a3-f393-e0a9-e50e24dcca9ez",
                          "6e400001_b5a3-f393-e0a9-e50e24dcca9e", "6e40000--b5a3-f393-e0a9-e50e24dcca9e",
                          "+e400001-b5a3-f393-e0a9-e50e24dcca9e", " 6e400001-b5a3-f393-e0a9-e50e24dcca9e"})
    EXPECT_FALSE(BluetoothUUID::parse(bad)) << bad;
  test::LogCapture log;
  EXPECT_TRUE(BluetoothUUID::fromString("nope").isNil());
  EXPECT_TRUE(log.contains("invalid UUID text \"nope\""));
}

TEST(BluetoothUUID, ValuesHashOrderAndRandomOnesAreVersionFour) {
  std::unordered_set<BluetoothUUID> set;
  set.insert(*BluetoothUUID::parse("180D"));
  set.insert(*BluetoothUUID::parse("0000180d-0000-1000-8000-00805F9B34FB"));
  set.insert(*BluetoothUUID::parse("180F"));
  EXPECT_EQ(set.size(), 2u);
  EXPECT_LT(*BluetoothUUID::parse("180D"), *BluetoothUUID::parse("180F"));

  const BluetoothUUID r = BluetoothUUID::fromRandom(0xFFFFFFFFFFFFFFFFull, 0);
  EXPECT_EQ(r.fullString(), "FFFFFFFF-FFFF-4FFF-8000-000000000000");
  EXPECT_EQ(BluetoothUUID::parse(r.fullString()), r);
  EXPECT_NE(BluetoothUUID::fromRandom(1, 2), BluetoothUUID::fromRandom(1, 3));
}

TEST(BluetoothError, SameNumberInAnotherDomainIsAnotherError) {
  const auto timeout = BluetoothError::link(BluetoothErrorCode::ConnectionTimeout);
  const auto att = BluetoothError::att(BluetoothATTError::WriteNotPermitted, "no");
  ASSERT_EQ(timeout.code, att.code);
  EXPECT_TRUE(timeout.is(BluetoothErrorCode::ConnectionTimeout));
  EXPECT_FALSE(timeout.is(BluetoothATTError::WriteNotPermitted));
  EXPECT_FALSE(att.is(BluetoothErrorCode::ConnectionTimeout));
  EXPECT_FALSE(timeout.description.empty());
}
