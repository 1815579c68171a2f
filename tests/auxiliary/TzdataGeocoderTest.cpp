// Offline reverse geocoding from the time-zone tables: real tables, hostile tables, the queue path.
#include <VemraPlatformKit/platform/location/Geocoder.h>

#include "support/VirtualTime.h"

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using vpk::LocationFix;
using vpk::ZoneTable;

const fs::path kSystemTables = "/usr/share/zoneinfo";

TEST(ZoneTableTest, KnownPlacesOnTheSystemTables) {
  if (!fs::exists(kSystemTables / "zone1970.tab")) GTEST_SKIP() << "no tz database on this machine";
  std::string error;
  auto table = ZoneTable::load(kSystemTables, &error);
  ASSERT_TRUE(table) << error;

  auto berlin = table->nearest(LocationFix{52.5163, 13.3777, 10, 0});  // at the Brandenburg Gate
  ASSERT_TRUE(berlin);
  EXPECT_EQ(berlin->isoCountryCode, "DE");
  EXPECT_EQ(berlin->country, "Germany");
  EXPECT_EQ(berlin->timeZone, "Europe/Berlin");
  EXPECT_EQ(berlin->locality, "Berlin");
  EXPECT_LT(berlin->localityDistance, 5000.0);

  // A capital whose zone row names another country first still gives its own country.
  auto copenhagen = table->nearest(LocationFix{55.6761, 12.5683, 10, 0});
  ASSERT_TRUE(copenhagen);
  EXPECT_EQ(copenhagen->isoCountryCode, "DK");

  auto buenosAires = table->nearest(LocationFix{-34.6, -58.45, 10, 0});
  ASSERT_TRUE(buenosAires);
  EXPECT_EQ(buenosAires->locality, "Buenos Aires");
  EXPECT_FALSE(table->nearest(LocationFix{91.0, 0, 10, 0}));
}

TEST(ZoneTableTest, HostileRowsAreSkipped) {
  const std::string zone1970 =
      "# comment\n"
      "DE\t+5230+01322\tEurope/Berlin\tmost of Germany\r\n"
      "US\t+404251-0740023\tAmerica/New_York\n"
      "XX\t+9930+01322\tBad/Latitude\n"         // latitude beyond 90
      "XX\t+5261+01322\tBad/Minutes\n"          // 61 minutes
      "XX\t+5230\tBad/Short\n"                  // no longitude
      "de\t+5230+01322\tBad/Lowercase\n"
      "XX\t+5230+01322\t../../etc/passwd\n"     // not a zone name
      "XX\t+5230+01322\n"                       // no zone
      "\x01\x02\xff\xfe garbage\n" +
      std::string(5000, 'A') + "\t+5230+01322\tLong/Line\n" + std::string("XX\t+5230+01322\tNul\0/Zone\n", 25);
  const std::string iso = "DE\tGermany\nUS\tUnited States\nFR\tFra\x07nce\nXYZ\tToo long a code\n";
  const ZoneTable table = ZoneTable::parse(zone1970, "", iso);
  ASSERT_EQ(table.entries().size(), 2u);
  EXPECT_EQ(table.skippedLines(), 11u);
  EXPECT_NEAR(table.entries()[1].latitude, 40.7142, 1e-4);
  EXPECT_NEAR(table.entries()[1].longitude, -74.0064, 1e-4);
  EXPECT_EQ(table.countryName("US"), "United States");
  EXPECT_EQ(table.countryName("FR"), "");
}

TEST(ZoneTableTest, UnusableFoldersAreRefusedWithAReason) {
  const fs::path dir = fs::temp_directory_path() / "zones";
  fs::create_directories(dir);
  std::string error;
  EXPECT_FALSE(ZoneTable::load(dir, &error));
  EXPECT_NE(error.find("zone1970.tab"), std::string::npos);

  std::ofstream(dir / "zone1970.tab") << "# nothing but comments\nnot a row\n";
  EXPECT_FALSE(ZoneTable::load(dir, &error));

  std::ofstream(dir / "zone1970.tab") << std::string(2 << 20, '#');
  EXPECT_FALSE(ZoneTable::load(dir, &error));
  EXPECT_NE(error.find("too large"), std::string::npos);
}

class TzdataGeocoderTest : public vpk::test::VirtualTimeTest {};

TEST_F(TzdataGeocoderTest, AnswersOnTheMainQueueAndCancelledLookupsStaySilent) {
  const fs::path dir = fs::temp_directory_path() / "zones-small";
  fs::create_directories(dir);
  std::ofstream(dir / "zone1970.tab") << "FR,MC\t+4852+00220\tEurope/Paris\nDE\t+5230+01322\tEurope/Berlin\n";
  std::ofstream(dir / "iso3166.tab") << "FR\tFrance\n";
  auto geocoder = vpk::TzdataGeocoder::create(dir);

  int calls = 0;
  std::vector<vpk::Placemark> got;
  geocoder->reverseGeocode(LocationFix{48.85, 2.35, 10, 0}, [&](const auto& placemarks, const std::string& error) {
    EXPECT_TRUE(vpk::DispatchQueue::main()->isCurrent());
    EXPECT_EQ(error, "");
    got = placemarks;
    ++calls;
  });
  settle();
  ASSERT_EQ(calls, 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].addressDictionary().description(), vpk::Value(vpk::ValueDictionary{
      {"City", "Paris"}, {"CityDistance", got[0].localityDistance}, {"Country", "France"},
      {"CountryCode", "FR"}, {"TimeZone", "Europe/Paris"}}).description());

  geocoder->reverseGeocode(LocationFix{52.5, 13.4, 10, 0}, [&](const auto&, const std::string&) { ++calls; });
  geocoder->cancelGeocode();
  settle();
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(geocoder->isGeocoding());
}

}  // namespace
