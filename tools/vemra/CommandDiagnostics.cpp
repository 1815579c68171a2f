// vemra diagnostics [NAME]: connects a headband as `vemra session` does, runs the library's
// half-minute diagnostics run on it with a countdown, and says where the JSON report is and
// what it found: firmware, battery, mains noise at 50 and 60 Hz per side, electrode verdicts.
#include "Command.h"
#include "HeadbandConnector.h"
#include "RadioSession.h"

#include <VemraPlatformKit/device/VPKPeripheral.h>
#include <VemraPlatformKit/manager/VPKBluetoothManager.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>

#include <fmt/format.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

std::atomic<bool> gStop{false};

struct DiagnosticsOptions {
  std::string name;
  vemra::RadioOptions radio;
};

DiagnosticsOptions gOptions;

// "312.4 (598 cycles)": the mean of a noise list.
std::string noiseText(const vpk::Value* list) {
  const vpk::ValueList* values = list ? list->getList() : nullptr;
  if (!values || values->empty()) return "- (0 cycles)";
  double sum = 0;
  for (const auto& v : *values) sum += v.doubleValue();
  return fmt::format("{:.2f} ({} cycles)", sum / static_cast<double>(values->size()), values->size());
}

std::string text(const vpk::Value* v, const char* fallback = "-") {
  return v && v->isString() ? v->stringValue() : std::string(fallback);
}

// The summary is read back from the file: what the user sees is what support will get.
bool printSummary(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  const auto parsed = vpk::Value::fromJSONString(content.str());
  const vpk::ValueDictionary* report = parsed ? parsed->getDictionary() : nullptr;
  if (!report) {
    std::fprintf(stderr, "vemra diagnostics: the report %s cannot be read back\n", file.c_str());
    return false;
  }
  std::printf("firmware: %s\n", text(report->find("firmware")).c_str());
  std::string battery = "-";
  if (const auto* queries = report->find("systemQueries"); queries && queries->getList() && !queries->getList()->empty()) {
    if (const auto* last = queries->getList()->back().getDictionary()) {
      const vpk::Value* level = last->find("batteryVoltage");
      if (level && level->isNumber()) battery = fmt::format("{:.0f}%", level->doubleValue() * 100);
    }
  }
  std::printf("battery: %s\n", battery.c_str());
  std::printf("link: %s\n", text(report->find("connectionState"), "disconnecting").c_str());
  const vpk::Value* noise = report->find("noiseSamples");
  for (const char* hz : {"50hz", "60hz"}) {
    auto side = [&](const char* s) -> const vpk::Value* {
      const vpk::Value* d = noise && noise->getDictionary() ? noise->getDictionary()->find(s) : nullptr;
      return d && d->getDictionary() ? d->getDictionary()->find(hz) : nullptr;
    };
    std::printf("noise at %.2s Hz: left %s, right %s\n", hz, noiseText(side("left")).c_str(),
                noiseText(side("right")).c_str());
  }
  const vpk::Value* electrodes = report->find("electrodeStatus");
  const vpk::ValueDictionary* e = electrodes ? electrodes->getDictionary() : nullptr;
  std::printf("electrodes: left %s, right %s\n", text(e ? e->find("left") : nullptr).c_str(),
              text(e ? e->find("right") : nullptr).c_str());
  return true;
}

int runDiagnostics(const DiagnosticsOptions& options) {
  const bool terminal = isatty(STDOUT_FILENO) == 1;
  vemra::RadioSession radio(options.radio);
  std::printf("vemra diagnostics: %s\n", radio.description().c_str());
  auto manager = VPKBluetoothManager::sharedManager();
  vemra::HeadbandConnector connector(manager, radio, options.name,
                                     [](const std::string& line) { std::printf("%s\n", line.c_str()); });
  manager->setUpdateHandler([&](VPKDeviceUpdateReason reason, const VPKDeviceHandlePtr& device) {
    if (connector.handleUpdate(reason, device)) std::printf("connected %s\n", device->name().c_str());
  }, "vemra.diagnostics");
  manager->setUpdateNotificationReasons(VPKDeviceUpdateDidConnect | VPKDeviceUpdateDiscovered, "vemra.diagnostics");

  gStop = false;
  auto previousInt = std::signal(SIGINT, [](int) { gStop = true; });
  auto previousTerm = std::signal(SIGTERM, [](int) { gStop = true; });
  int rc = 1;
  const auto device = connector.run([] { return gStop.load(); });
  if (device) {
    std::printf("running diagnostics on %s for %.0f s: keep the headband on\n", device->name().c_str(),
                VPKPeripheral::kDiagnosticsSeconds);
    bool done = false;
    std::optional<std::filesystem::path> report;
    const double start = vpk::Clock::timestamp();
    manager->generateDiagnosticsReportForConnectedDevice(
        [&](const std::optional<std::filesystem::path>& file, const std::optional<VPKError>&) {
          report = file;
          done = true;
        });
    while (!done && !gStop) {
      radio.runUntil([&] { return done || gStop.load(); }, 1.0);
      const double left = VPKPeripheral::kDiagnosticsSeconds - (vpk::Clock::timestamp() - start);
      if (terminal && !done) std::printf("\r%.0f s left\033[K", std::max(0.0, std::ceil(left)));
      std::fflush(stdout);
    }
    if (terminal) std::printf("\r\033[K");
    if (!done) {
      std::printf("interrupted: no report\n");
    } else if (!report) {
      std::fprintf(stderr, "vemra diagnostics: the report could not be written (-v shows why)\n");
    } else {
      std::printf("report: %s\n", report->c_str());
      if (printSummary(*report)) rc = 0;
    }
    bool disconnected = false;
    device->disconnectWithHandler(
        [&](const VPKDeviceHandlePtr&, const std::optional<VPKError>&) { disconnected = true; });
    radio.runUntil([&] { return disconnected; }, 3.0);
  }
  std::signal(SIGINT, previousInt);
  std::signal(SIGTERM, previousTerm);
  manager->stopSearchingForDevices();
  manager->saveDeviceInfo();
  manager->removeUpdateHandlerForKey("vemra.diagnostics");
  return rc;
}

const vemra::VemraCommand kDiagnostics{{
    "diagnostics",
    "Connect a headband (NAME, the preferred one, or the strongest), run a 30 s diagnostics run and write "
    "its JSON report",
    19,
    [](CLI::App& sub) {
      vemra::addHeadbandOptions(sub, gOptions.name, gOptions.radio);
      sub.callback([] { vemra::exitStatus() = runDiagnostics(gOptions); });
    },
}};

}  // namespace
