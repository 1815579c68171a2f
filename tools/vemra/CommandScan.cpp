// vemra scan: lists the headbands the radio hears.
#include "Command.h"
#include "RadioSession.h"

#include <VemraPlatformKit/platform/bluetooth/BluetoothCentral.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedHeadband.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <map>

namespace {

struct Heard {
  std::string name;
  std::string identifier;
  bool updateMode = false;
  long rssiSum = 0;
  int adverts = 0;
  int strongest = -127;
};

class ScanListener : public vpk::BluetoothCentralDelegate {
 public:
  // Called on the main queue (the central's queue).
  void didDiscoverPeripheral(vpk::BluetoothCentral&, const vpk::BluetoothPeripheralPtr& p,
                             const vpk::BluetoothAdvertisementData& a, std::optional<int> rssi) override {
    Heard& h = heard[p->identifier().fullString()];
    h.identifier = p->identifier().fullString();
    h.name = a.localName.value_or(p->name().value_or("(no name)"));
    h.updateMode = a.advertisesService(vpk::SimulatedHeadband::updateServiceUUID());
    if (rssi) {
      h.rssiSum += *rssi;
      h.strongest = std::max(h.strongest, *rssi);
      ++h.adverts;
    }
  }
  std::map<std::string, Heard> heard;
};

struct ScanOptions {
  vemra::RadioOptions radio;
  double seconds = 3.0;
};

ScanOptions gScan;

void runScan() {
  vemra::RadioSession session(gScan.radio);
  auto listener = std::make_shared<ScanListener>();
  auto central = vpk::BluetoothCentral::create(listener, vpk::DispatchQueue::main(), session.centralOptions());
  if (!central) {
    std::fprintf(stderr, "vemra scan: no Bluetooth backend available\n");
    vemra::exitStatus() = 1;
    return;
  }
  if (!session.runUntil([&] { return central->state() == vpk::BluetoothAdapterState::PoweredOn; }, 5.0)) {
    std::fprintf(stderr, "vemra scan: Bluetooth is %s\n", std::string(vpk::toString(central->state())).c_str());
    vemra::exitStatus() = 1;
    return;
  }
  std::printf("Scanning for %.1f s: %s\n", gScan.seconds, session.description().c_str());
  std::fflush(stdout);
  central->scanForPeripherals(
      {vpk::SimulatedHeadband::mainServiceUUID(), vpk::SimulatedHeadband::updateServiceUUID()}, true);
  session.runFor(gScan.seconds);
  central->stopScan();

  std::vector<Heard> rows;
  for (auto& [id, h] : listener->heard) rows.push_back(h);
  std::sort(rows.begin(), rows.end(), [](const Heard& a, const Heard& b) { return a.strongest > b.strongest; });
  if (rows.empty()) {
    std::printf("No headband heard.\n");
    return;
  }
  std::printf("%-14s %-36s %6s %8s  %s\n", "NAME", "IDENTIFIER", "RSSI", "ADVERTS", "MODE");
  for (const auto& h : rows) {
    const std::string rssi = h.adverts ? fmt::format("{:.0f}", static_cast<double>(h.rssiSum) / h.adverts) : "-";
    std::printf("%-14s %-36s %6s %8d  %s\n", h.name.c_str(), h.identifier.c_str(), rssi.c_str(), h.adverts,
                h.updateMode ? "update" : "normal");
  }
  std::printf("%zu headband%s heard (RSSI: mean dBm of the advertisements).\n", rows.size(),
              rows.size() == 1 ? "" : "s");
}

vemra::VemraCommand scan({"scan", "List the headbands the radio hears (name, identifier, RSSI, mode)", 20,
                          [](CLI::App& sub) {
                            sub.add_option("--seconds", gScan.seconds, "How long to listen")
                                ->check(CLI::Range(0.1, 3600.0))
                                ->capture_default_str();
                            vemra::addRadioOptions(sub, gScan.radio);
                            sub.callback(runScan);
                          }});

}  // namespace
