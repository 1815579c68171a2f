// vemra probe [NAME]: connects one headband, reads its identification and status, and
// measures a second of its signal.
#include "Command.h"
#include "RadioSession.h"

#include <VemraPlatformKit/platform/bluetooth/BluetoothCentral.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedHeadband.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedSignalModel.h>

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

namespace {

using vpk::BluetoothCharacteristicPtr;
using vpk::BluetoothError;
using vpk::BluetoothPeripheralPtr;
using vpk::SimulatedHeadband;

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

// Shows control characters of a reply the way they were sent.
std::string visible(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (static_cast<unsigned char>(c) < ' ' || static_cast<unsigned char>(c) > '~') out += fmt::format("\\x{:02X}", static_cast<unsigned char>(c));
    else out += c;
  }
  return out;
}

// Everything the probe hears; touched only on the main queue.
class Probe : public vpk::BluetoothCentralDelegate, public vpk::BluetoothPeripheralDelegate {
 public:
  struct Found {
    BluetoothPeripheralPtr peripheral;
    std::string name;
    int rssi = -127;
    bool updateMode = false;
  };
  struct Reply {
    std::string echoed, text;
  };

  std::string wanted;  // lower case; empty: the strongest headband
  std::vector<Found> found;
  bool connected = false, disconnected = false, failed = false;
  std::optional<BluetoothError> linkError;
  int servicesDone = 0, characteristicsDone = 0, subscriptions = 0, writes = 0;
  std::vector<std::string> writeErrors;
  std::vector<Reply> replies;
  std::string buffer;
  std::vector<std::vector<uint8_t>> packets;
  bool collectSignal = false;

  const Found* match() const {
    const Found* best = nullptr;
    for (const auto& f : found) {
      if (!wanted.empty()) {
        if (lower(f.name) == wanted || lower(f.peripheral->identifier().fullString()).rfind(wanted, 0) == 0) return &f;
        continue;
      }
      if (!best || f.rssi > best->rssi) best = &f;
    }
    return best;
  }

  void didDiscoverPeripheral(vpk::BluetoothCentral&, const BluetoothPeripheralPtr& p,
                             const vpk::BluetoothAdvertisementData& a, std::optional<int> rssi) override {
    for (auto& f : found)
      if (f.peripheral == p) return;
    found.push_back({p, a.localName.value_or(p->name().value_or("")), rssi.value_or(-127),
                     a.advertisesService(SimulatedHeadband::updateServiceUUID())});
  }
  void didConnectPeripheral(vpk::BluetoothCentral&, const BluetoothPeripheralPtr&) override { connected = true; }
  void didDisconnectPeripheral(vpk::BluetoothCentral&, const BluetoothPeripheralPtr&,
                               const std::optional<BluetoothError>& error) override {
    disconnected = true;
    linkError = error;
  }
  void didFailToConnectPeripheral(vpk::BluetoothCentral&, const BluetoothPeripheralPtr&,
                                  const std::optional<BluetoothError>& error) override {
    failed = true;
    linkError = error;
  }
  void didDiscoverServices(const BluetoothPeripheralPtr&, const std::optional<BluetoothError>&) override {
    ++servicesDone;
  }
  void didDiscoverCharacteristics(const BluetoothPeripheralPtr&, const vpk::BluetoothServicePtr&,
                                  const std::optional<BluetoothError>&) override {
    ++characteristicsDone;
  }
  void didUpdateNotificationState(const BluetoothPeripheralPtr&, const BluetoothCharacteristicPtr&,
                                  const std::optional<BluetoothError>&) override {
    ++subscriptions;
  }
  void didWriteValue(const BluetoothPeripheralPtr&, const BluetoothCharacteristicPtr&,
                     const std::optional<BluetoothError>& error) override {
    ++writes;
    if (error) writeErrors.push_back(error->toString());
  }
  // The headband frames replies: "<p>" opens one, "<command></p>" closes it.
  void didUpdateValue(const BluetoothPeripheralPtr&, const BluetoothCharacteristicPtr& c,
                      const std::vector<uint8_t>& value, const std::optional<BluetoothError>& error) override {
    if (error || value.empty() || c->uuid() != SimulatedHeadband::rxCharacteristicUUID()) return;
    if (value[0] == vpk::SimulatedSignalModel::kPacketStartByte || value[0] == 0xFE) {
      if (collectSignal && value.size() == vpk::SimulatedSignalModel::kPacketSize) packets.push_back(value);
      return;
    }
    const std::string text(value.begin(), value.end());
    const std::string t = trim(text);
    if (t.rfind("<p>", 0) == 0) {
      buffer.clear();
    } else if (t.size() >= 4 && t.compare(t.size() - 4, 4, "</p>") == 0) {
      replies.push_back({t.substr(0, t.find("</p>")), trim(buffer)});
      buffer.clear();
    } else {
      buffer += text;
    }
  }
};

struct ProbeOptions {
  vemra::RadioOptions radio;
  std::string name;
  double timeout = 10.0;
  double signalSeconds = 1.0;
};

ProbeOptions gProbe;

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

void fail(const std::string& message) {
  std::fprintf(stderr, "vemra probe: %s\n", message.c_str());
  vemra::exitStatus() = 1;
}

void printStatus(const std::string& hex) {
  char* end = nullptr;
  const unsigned long word = std::strtoul(hex.c_str(), &end, 16);
  if (hex.empty() || (end && *end)) {
    std::printf("  status word is not hexadecimal\n");
    return;
  }
  const unsigned raw = static_cast<unsigned>(word >> 24) & 0xFF;
  std::printf("  battery %.2f V (raw %u), charging %s, button %s\n", raw / 50.0, raw,
              word & 0xC000 ? "yes" : "no", word & 0x3000 ? "down" : "up");
}

struct ChannelStats {
  double sum = 0, sumSquares = 0, min = std::numeric_limits<double>::infinity(),
         max = -std::numeric_limits<double>::infinity();
  size_t n = 0;
  void add(double v) {
    sum += v;
    sumSquares += v * v;
    min = std::min(min, v);
    max = std::max(max, v);
    ++n;
  }
  void print(const char* label) const {
    if (!n) return;
    const double mean = sum / n;
    const double rms = std::sqrt(std::max(0.0, sumSquares / n - mean * mean));
    std::printf("  %-5s mean %.1f uV, rms %.1f uV, min %.1f, max %.1f\n", label, mean, rms, min, max);
  }
};

void runProbe() {
  vemra::RadioSession session(gProbe.radio);
  auto probe = std::make_shared<Probe>();
  probe->wanted = lower(gProbe.name);
  auto central = vpk::BluetoothCentral::create(probe, vpk::DispatchQueue::main(), session.centralOptions());
  if (!central) return fail("no Bluetooth backend available");
  if (!session.runUntil([&] { return central->state() == vpk::BluetoothAdapterState::PoweredOn; }, 5.0))
    return fail(fmt::format("Bluetooth is {}", vpk::toString(central->state())));
  std::printf("Probing %s: %s\n", gProbe.name.empty() ? "the strongest headband" : gProbe.name.c_str(),
              session.description().c_str());

  // Find it: the named one as soon as it is heard, otherwise the strongest within a second.
  central->scanForPeripherals({SimulatedHeadband::mainServiceUUID(), SimulatedHeadband::updateServiceUUID()}, false);
  if (probe->wanted.empty()) session.runFor(1.0);
  session.runUntil([&] { return probe->match() != nullptr; }, gProbe.timeout);
  central->stopScan();
  const Probe::Found* target = probe->match();
  if (!target) return fail(gProbe.name.empty() ? "no headband heard" : "\"" + gProbe.name + "\" not heard");
  const auto p = target->peripheral;
  std::printf("Found %s (%s), RSSI %d dBm%s\n", target->name.c_str(), p->identifier().fullString().c_str(),
              target->rssi, target->updateMode ? ", in update mode" : "");
  p->setDelegate(probe);

  const double start = session.now();
  central->connect(p);
  if (!session.runUntil([&] { return probe->connected || probe->failed; }, gProbe.timeout) || probe->failed) {
    central->cancelPeripheralConnection(p);
    return fail(probe->linkError ? "connection failed: " + probe->linkError->toString() : "connection timed out");
  }
  std::printf("Connected in %.3f s\n", session.now() - start);

  p->discoverServices({SimulatedHeadband::mainServiceUUID(), SimulatedHeadband::updateServiceUUID()});
  session.runUntil([&] { return probe->servicesDone > 0 || probe->disconnected; }, gProbe.timeout);
  for (const auto& s : p->services()) p->discoverCharacteristics({}, s);
  session.runUntil(
      [&] { return probe->characteristicsDone >= static_cast<int>(p->services().size()) || probe->disconnected; },
      gProbe.timeout);
  BluetoothCharacteristicPtr tx, rx;
  for (const auto& s : p->services()) {
    const bool main = s->uuid() == SimulatedHeadband::mainServiceUUID();
    std::printf("Service %s (%s)\n", s->uuid().string().c_str(), main ? "main" : "firmware update");
    for (const auto& c : s->characteristics()) {
      std::string props;
      if (c->hasProperty(vpk::BluetoothPropertyWrite)) props += " write";
      if (c->hasProperty(vpk::BluetoothPropertyWriteWithoutResponse)) props += " write-without-response";
      if (c->hasProperty(vpk::BluetoothPropertyNotify)) props += " notify";
      std::printf("  characteristic %s:%s\n", c->uuid().string().c_str(), props.c_str());
      if (c->uuid() == SimulatedHeadband::txCharacteristicUUID()) tx = c;
      if (c->uuid() == SimulatedHeadband::rxCharacteristicUUID()) rx = c;
    }
  }
  if (!tx || !rx) {
    std::printf("No command channel (TX and RX): nothing more to ask.\n");
    central->cancelPeripheralConnection(p);
    session.runUntil([&] { return probe->disconnected; }, 2.0);
    return;
  }
  p->setNotifyValue(true, rx);
  session.runUntil([&] { return probe->subscriptions > 0; }, gProbe.timeout);

  // The two queries, framed so that the reply comes back between its echoes.
  for (const std::string command : {"Q1\r", "DR0404\r"}) {
    const size_t before = probe->replies.size();
    for (const std::string& w : {std::string("E<p>\r"), command, "E" + command + "</p>\r"})
      p->writeValue(bytes(w), tx, vpk::BluetoothWriteType::WithResponse);
    session.runUntil([&] { return probe->replies.size() > before || probe->disconnected; }, 3.0);
    const std::string label = trim(command);
    if (probe->replies.size() == before) {
      std::printf("%-6s -> no reply\n", label.c_str());
      continue;
    }
    const auto& r = probe->replies.back();
    std::printf("%-6s -> \"%s\"%s\n", label.c_str(), visible(r.text).c_str(),
                r.echoed == command ? "" : fmt::format(" (echo \"{}\")", visible(r.echoed)).c_str());
    if (command == "DR0404\r") printStatus(r.text);
  }
  for (const auto& e : probe->writeErrors) std::printf("write error: %s\n", e.c_str());

  // A second (or what was asked) of signal.
  probe->collectSignal = true;
  p->writeValue(bytes("S01\r"), tx, vpk::BluetoothWriteType::WithResponse);
  session.runUntil([&] { return !probe->packets.empty() || probe->disconnected; }, 2.0);
  probe->packets.clear();
  const double signalStart = session.now();
  session.runUntil([&] { return probe->disconnected; }, gProbe.signalSeconds);
  const double elapsed = session.now() - signalStart;
  p->writeValue(bytes("S00\r"), tx, vpk::BluetoothWriteType::WithResponse);
  probe->collectSignal = false;
  ChannelStats left, right;
  unsigned gaps = 0;
  for (size_t i = 0; i < probe->packets.size(); ++i) {
    const auto& v = probe->packets[i];
    if (i > 0 && static_cast<uint8_t>(probe->packets[i - 1][1] + 1) != v[1]) ++gaps;
    for (size_t at = 2; at + 6 <= v.size(); at += 6) {
      const auto code = [&](size_t k) { return static_cast<uint32_t>(v[k] << 16 | v[k + 1] << 8 | v[k + 2]); };
      left.add(vpk::SimulatedSignalModel::decode(code(at)));
      right.add(vpk::SimulatedSignalModel::decode(code(at + 3)));
    }
  }
  std::printf("Signal: %.2f s, %zu packets (%.1f/s), %zu samples per channel, %u gap%s in the packet counter\n",
              elapsed, probe->packets.size(), elapsed > 0 ? probe->packets.size() / elapsed : 0.0, left.n, gaps,
              gaps == 1 ? "" : "s");
  left.print("left");
  right.print("right");

  central->cancelPeripheralConnection(p);
  session.runUntil([&] { return probe->disconnected; }, 2.0);
  std::printf("Disconnected.\n");
}

vemra::VemraCommand probeCommand(
    {"probe", "Connect a headband, read its firmware and status, and measure its signal", 30, [](CLI::App& sub) {
       sub.add_option("name", gProbe.name, "Name or identifier of the headband (default: the strongest heard)");
       sub.add_option("--timeout", gProbe.timeout, "Seconds to wait for each step")
           ->check(CLI::Range(0.5, 600.0))
           ->capture_default_str();
       sub.add_option("--signal-seconds", gProbe.signalSeconds, "Seconds of signal to measure")
           ->check(CLI::Range(0.1, 600.0))
           ->capture_default_str();
       vemra::addRadioOptions(sub, gProbe.radio);
       sub.callback(runProbe);
     }});

}  // namespace
