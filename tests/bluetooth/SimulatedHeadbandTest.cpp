// The headband's side of the protocol, seen from a central: framing and echo, chunking,
// the status word, the firmware text, streaming, power-off, update mode.
#include "BluetoothTestSupport.h"

#include "device/ReplyAssembler.h"

#include <cmath>
#include <map>
#include <sstream>

using namespace vpk;
using namespace vpk::test;
using Kind = BluetoothEvent::Kind;

namespace {

class SimulatedHeadbandProtocol : public SimulatedWorldTest {};

// The status word as the headband object decodes it.
using DecodedStatus = vpk::detail::StatusWord;
DecodedStatus decodeStatus(const std::string& hex) { return vpk::detail::decodeStatusWord(hex).value_or(DecodedStatus{}); }

TEST_F(SimulatedHeadbandProtocol, FramedQueryComesBackBetweenItsEchoes) {
  auto band = world->addHeadband();
  auto link = connect(band);
  sendFramed(link, "Q1\r");
  advance(0.5);
  // The headband object's reading of the reply (its framing is pinned by the device tests).
  const auto assembled = ReplyAssembler::of(*delegate).replies;
  ASSERT_EQ(assembled.size(), 1u);
  EXPECT_EQ(assembled[0].echoed, "Q1\r");
  EXPECT_EQ(assembled[0].response, band->firmwareText());

  // Unframed commands and unknown text produce no text at all.
  delegate->clear();
  write(link, "S00\r");
  write(link, "DW161F\r");
  write(link, "!\r");
  write(link, "XYZ\r");
  advance(0.5);
  EXPECT_TRUE(delegate->texts().empty());
  EXPECT_EQ(delegate->count(Kind::Written), 4u);
}

TEST_F(SimulatedHeadbandProtocol, RepliesAndEchoesTravelInNotificationsOfAtMostTwentyBytes) {
  auto band = world->addHeadband();
  auto link = connect(band);
  const std::string longText = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJ\r";  // 47 characters
  write(link, "E" + longText);
  sendFramed(link, "Q1\r");
  advance(0.5);
  const auto values = delegate->values(SimulatedHeadband::rxCharacteristicUUID());
  ASSERT_GE(values.size(), 3u);
  for (const auto& v : values) EXPECT_LE(v.size(), 20u);
  // The long echo arrives as 20 + 20 + 7 bytes, in order.
  EXPECT_EQ(values[0].size(), 20u);
  EXPECT_EQ(values[1].size(), 20u);
  EXPECT_EQ(values[2].size(), 7u);
  std::string echoed;
  for (int i = 0; i < 3; ++i) echoed += std::string(values[i].begin(), values[i].end());
  EXPECT_EQ(echoed, longText);
  // The identification text is longer than one notification too.
  EXPECT_GT(band->firmwareText().size(), 20u);
  EXPECT_EQ(query(link, "Q1\r"), band->firmwareText());
}

TEST_F(SimulatedHeadbandProtocol, StatusWordCarriesBatteryChargeAndButton) {
  SimulatedHeadband::Configuration c;
  c.batteryVoltage = 3.9;
  auto band = world->addHeadband(c);
  auto link = connect(band);

  std::string answer = query(link, "DR0404\r");
  ASSERT_EQ(answer.size(), 8u);
  EXPECT_EQ(answer, "C3000002");  // 3.9 V x 50 = 195, auto-disconnect on
  DecodedStatus s = decodeStatus(answer);
  EXPECT_EQ(s.batteryRaw, 195u);
  EXPECT_FALSE(s.charging);
  EXPECT_FALSE(s.button);

  band->pressButton();
  s = decodeStatus(query(link, "DR0404\r"));
  EXPECT_TRUE(s.button);
  EXPECT_EQ(band->statusWord() & (1u << 12), 0u);  // not yet held
  advance(3.0);
  EXPECT_NE(band->statusWord() & (1u << 12), 0u);
  band->releaseButton();
  EXPECT_FALSE(decodeStatus(query(link, "DR0404\r")).button);

  // On the charger the reading shows the supply, and "charged" replaces "charging" when full.
  band->setCharging(true);
  s = decodeStatus(query(link, "DR0404\r"));
  EXPECT_TRUE(s.charging);
  EXPECT_EQ(s.batteryRaw, 253u);  // 5.06 V
  EXPECT_NE(band->statusWord() & (1u << 15), 0u);
  band->setBatteryVoltage(4.2);
  EXPECT_EQ(band->statusWord() & (1u << 15), 0u);
  EXPECT_NE(band->statusWord() & (1u << 14), 0u);
  EXPECT_TRUE(decodeStatus(query(link, "DR0404\r")).charging);
  band->setCharging(false);

  // Streaming and auto-disconnect show in the low bits.
  write(link, "DW0308\r");
  write(link, "S01\r");
  advance(0.2);
  const uint32_t word = band->statusWord();
  EXPECT_EQ(word & 0x3u, 0x1u);
  EXPECT_FALSE(band->isAutoDisconnectEnabled());
}

TEST_F(SimulatedHeadbandProtocol, BatteryDrainsFasterWhileStreamingAndAnEmptyBatterySleeps) {
  SimulatedHeadband::Configuration c;
  c.batteryVoltage = 3.47;
  c.autoDisconnectTimeout = 0;
  auto band = world->addHeadband(c);
  auto link = connect(band);
  const double start = band->batteryVoltage();
  advance(60);
  const double idleDrop = start - band->batteryVoltage();
  write(link, "S01\r");
  advance(60);
  const double streamingDrop = start - idleDrop - band->batteryVoltage();
  EXPECT_GT(idleDrop, 0.0);
  EXPECT_NEAR(streamingDrop / idleDrop, 4.0, 0.05);

  // Below the cut-off the headband says goodbye like a power-off and drops the link.
  band->setBatteryVoltage(3.4502);
  advance(5);
  EXPECT_TRUE(band->isPoweredOn());
  advance(10);
  EXPECT_FALSE(band->isPoweredOn());
  EXPECT_EQ(delegate->count(Kind::Disconnected), 1u);
  const auto replies = ReplyAssembler::of(*delegate).replies;
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].response, SimulatedHeadband::kSleepAnnouncement);

  // A charger brings the cell back up; it stops at full.
  band->setCharging(true);
  advance(3 * 3600.0);
  EXPECT_NEAR(band->batteryVoltage(), 4.2, 1e-9);
}

TEST_F(SimulatedHeadbandProtocol, StreamsExactly5000PacketsPerVirtualMinuteInConnectionEventBursts) {
  auto band = world->addHeadband();
  auto link = connect(band);
  write(link, "S01\r");
  advance(1.0);
  delegate->clear();
  advance(60.0);
  const auto packets = delegate->signalPackets();
  EXPECT_EQ(packets.size(), 5000u);

  // Bursts: every packet of one connection event arrives at the same instant; events are a
  // connection interval apart; 12 ms of signal per packet makes bursts of 2 and 3.
  std::map<double, int> bursts;
  for (const auto& p : packets) bursts[p.time] += 1;
  std::map<int, int> sizes;
  for (const auto& [t, n] : bursts) sizes[n] += 1;
  EXPECT_EQ(sizes.size(), 2u);
  EXPECT_EQ(sizes[2], sizes[3]);
  double previous = -1;
  for (const auto& [t, n] : bursts) {
    if (previous > 0) {
      EXPECT_NEAR(t - previous, 0.03, 1e-6);
    }
    previous = t;
  }

  // Every packet: 20 bytes, 0xA0, a counter in byte 1 that runs on without gaps.
  for (size_t i = 0; i < packets.size(); ++i) {
    ASSERT_EQ(packets[i].value.size(), 20u);
    EXPECT_EQ(packets[i].value[0], 0xA0);
    if (i > 0) {
      EXPECT_EQ(static_cast<uint8_t>(packets[i - 1].value[1] + 1), packets[i].value[1]);
    }
  }

  write(link, "S00\r");
  advance(0.2);
  delegate->clear();
  advance(5.0);
  EXPECT_TRUE(delegate->signalPackets().empty());
  EXPECT_FALSE(band->isStreaming());
}

TEST_F(SimulatedHeadbandProtocol, PowerOffAnnouncesSleepThenDropsTheLink) {
  SimulatedHeadband::Configuration c;
  c.bootTime = 2.0;
  auto band = world->addHeadband(c);
  auto link = connect(band);
  write(link, "S01\r");
  advance(0.5);
  write(link, "DW01FF\r");
  advance(1.0);

  // The framed announcement and the link's end are read by the device tests.
  EXPECT_FALSE(band->isPoweredOn());
  EXPECT_FALSE(band->isStreaming());

  // Asleep it is not heard; woken by its button it advertises after booting.
  delegate->clear();
  central->scanForPeripherals({}, true);
  advance(5.0);
  EXPECT_EQ(delegate->count(Kind::Discovered), 0u);
  band->pressButton();
  band->releaseButton();
  advance(1.9);
  EXPECT_EQ(delegate->count(Kind::Discovered), 0u);
  advance(0.5);
  EXPECT_GT(delegate->count(Kind::Discovered), 0u);
}

TEST_F(SimulatedHeadbandProtocol, IdleAutoDisconnectUnlessSwitchedOffOrStreaming) {
  auto band = world->addHeadband();
  auto link = connect(band);
  advance(59.0);
  EXPECT_EQ(delegate->count(Kind::Disconnected), 0u);
  advance(1.5);
  ASSERT_EQ(delegate->count(Kind::Disconnected), 1u);
  EXPECT_TRUE(delegate->events(Kind::Disconnected)[0].error->is(BluetoothErrorCode::PeripheralDisconnected));
  EXPECT_TRUE(band->isPoweredOn());

  // A new connection has it on again; "DW0308" turns it off for that connection.
  link = connect(band);
  write(link, "DW0308\r");
  advance(300.0);
  EXPECT_TRUE(band->isConnected());
  central->cancelPeripheralConnection(link.peripheral);
  advance(0.1);

  // Streaming keeps the link; stopping starts the idle clock again.
  link = connect(band);
  write(link, "S01\r");
  advance(90.0);
  EXPECT_TRUE(band->isConnected());
  write(link, "S00\r");
  advance(59.0);
  EXPECT_TRUE(band->isConnected());
  advance(2.0);
  EXPECT_FALSE(band->isConnected());
}

TEST_F(SimulatedHeadbandProtocol, UpdateModeAdvertisesTheUpdateServiceUntilItsResetOpcode) {
  SimulatedHeadband::Configuration c;
  c.name = "Vemra 0d0e";
  c.updateMode = true;
  auto band = world->addHeadband(c);

  central->scanForPeripherals({SimulatedHeadband::mainServiceUUID(), SimulatedHeadband::updateServiceUUID()}, false);
  advance(0.5);
  auto heard = delegate->events(Kind::Discovered);
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].advertisement.localName, std::optional<std::string>("vemraota"));
  EXPECT_EQ(heard[0].advertisement.serviceUUIDs, std::vector<BluetoothUUID>{SimulatedHeadband::updateServiceUUID()});
  central->stopScan();

  auto link = connect(band);
  EXPECT_FALSE(link.tx);
  ASSERT_TRUE(link.control);
  ASSERT_TRUE(link.packet);
  ASSERT_EQ(link.peripheral->services().size(), 1u);

  // An opcode other than reset is refused on the control point.
  link.peripheral->writeValue({0x01, 0x04}, link.control, BluetoothWriteType::WithResponse);
  advance(0.3);
  EXPECT_EQ(delegate->values(SimulatedHeadband::updateControlPointUUID()),
            (std::vector<std::vector<uint8_t>>{{0x10, 0x01, 0x03}}));
  EXPECT_TRUE(band->isInUpdateMode());

  // 0x06: the write completes, the link drops, the headband boots in normal mode.
  delegate->clear();
  link.peripheral->writeValue({0x06}, link.control, BluetoothWriteType::WithResponse);
  advance(0.5);
  ASSERT_EQ(delegate->count(Kind::Written), 1u);
  EXPECT_FALSE(delegate->events(Kind::Written)[0].error);
  ASSERT_EQ(delegate->count(Kind::Disconnected), 1u);
  EXPECT_FALSE(band->isInUpdateMode());
  advance(1.5);
  delegate->clear();
  central->scanForPeripherals({SimulatedHeadband::mainServiceUUID(), SimulatedHeadband::updateServiceUUID()}, false);
  advance(0.5);
  heard = delegate->events(Kind::Discovered);
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].advertisement.localName, std::optional<std::string>("Vemra 0d0e"));
  EXPECT_TRUE(heard[0].advertisement.advertisesService(SimulatedHeadband::mainServiceUUID()));
  EXPECT_EQ(heard[0].peripheral->name(), std::optional<std::string>("Vemra 0d0e"));
}

TEST_F(SimulatedHeadbandProtocol, WritesTheTableDoesNotAllowAreRefused) {
  auto band = world->addHeadband();
  auto link = connect(band);
  link.peripheral->writeValue(bytes("S01\r"), link.rx, BluetoothWriteType::WithResponse);
  link.peripheral->writeValue({0xFF, 0x00, 0x41}, link.tx, BluetoothWriteType::WithResponse);  // not text
  link.peripheral->writeValue(bytes("S01\r"), link.tx, BluetoothWriteType::WithoutResponse);
  advance(0.5);
  const auto written = delegate->events(Kind::Written);
  ASSERT_EQ(written.size(), 2u);  // nothing answers a write without response
  ASSERT_TRUE(written[0].error);
  EXPECT_TRUE(written[0].error->is(BluetoothATTError::WriteNotPermitted));
  EXPECT_FALSE(written[1].error);
  EXPECT_TRUE(band->isStreaming());  // the write without response went through
}

}  // namespace
