// The diagnostics run of a headband and its JSON report (docs/diagnostics.md).
#include <VemraPlatformKit/device/VPKPeripheral.h>

#include <VemraPlatformKit/analysis/VPKChannelSet.h>
#include <VemraPlatformKit/analysis/VPKSignalAnalyzer.h>
#include <VemraPlatformKit/dsp/VPKDFT.h>
#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/frame/VPKTimer.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>
#include <VemraPlatformKit/platform/files/Folders.h>

#include "device/DiagnosticsReport.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <system_error>

namespace fs = std::filesystem;
using vpk::Value;
using vpk::ValueDictionary;
using vpk::ValueList;

namespace {

constexpr double kPreparationSeconds = 5.0;
constexpr double kStreamingSeconds = 2.0 + 23.0;
constexpr double kRunStatusRate = 1.0;
constexpr int kCountdownStart = 30;
static_assert(kPreparationSeconds + kStreamingSeconds == VPKPeripheral::kDiagnosticsSeconds);

// The analyzer of a run: a cycle every 1/60 s, raw spectra as well, the validity monitor's
// flat-line verdicts copied to the headband, processor types 1 and 4 on both channels.
constexpr double kRunAnalysisRate = 1.0 / 60.0;
constexpr uint64_t kRunProcessorTypes = 5;

constexpr float kMainsTargets[2] = {50.0f, 60.0f};

// The amplitudes a channel's raw spectrum shows at 50 and 60 Hz (none where no bin is
// close enough, or the amplitude is not a number JSON can hold). None either while the
// spectrum's window (two samples a bin) still holds the zeros the analyzer started with:
// the step onto the amplifier's offset shows in every bin, a thousand times the mains.
std::array<std::optional<float>, 2> noiseOf(const VPKChannelDescription::Ptr& channel) {
  std::array<std::optional<float>, 2> out;
  if (!channel || !channel->rawDFT()) return out;
  const auto& frequencies = channel->rawDFT()->frequencies();
  const auto& amplitude = channel->rawDFT()->amplitude();
  if (!frequencies || !amplitude) return out;
  const float* f = frequencies->floatArray();
  const float* a = amplitude->floatArray();
  const size_t bins = static_cast<size_t>(std::min(frequencies->count(), amplitude->count()));
  if (channel->cycles() < 2 * bins) return out;
  for (size_t k = 0; k < 2; ++k) {
    const auto bin = vpk::detail::noiseBinIndex(f, bins, kMainsTargets[k]);
    if (bin && std::isfinite(a[*bin])) out[k] = a[*bin];
  }
  return out;
}

const char* electrodeVerdict(std::optional<bool> failure) {
  if (!failure) return "Unknown";
  return *failure ? "Failed" : "Pass";
}

}  // namespace

struct VPKPeripheral::DiagnosticsRun : std::enable_shared_from_this<DiagnosticsRun> {
  std::shared_ptr<VPKPeripheral> device;
  DiagnosticsCompletion callback;
  std::shared_ptr<VPKTimer> countdown;
  int remaining = kCountdownStart;
  double startedAt = 0;
  ValueDictionary localInfo;
  ValueDictionary report;
  fs::path file;
  std::shared_ptr<VPKSignalAnalyzer> analyzer;
  // [side][50 Hz, 60 Hz]; touched on the shared queue only, as is `collecting`.
  ValueList noise[2][2];
  bool collecting = false;

  void start();
  void prepare();
  void stream();
  void collect(const std::array<std::optional<float>, 2>& left, const std::array<std::optional<float>, 2>& right);
  void finish();
  void end(bool success);
};

void VPKPeripheral::generateDiagnosticsReport(DiagnosticsCompletion callback) {
  if (generatingDiagnostics_) {
    VPKLog(1, "WARNING: Device({}) is already generating a diagnostics report", name_);
    if (callback) vpk::DispatchQueue::main()->async([callback] { callback(false, std::nullopt); });
    return;
  }
  generatingDiagnostics_ = true;
  auto run = std::make_shared<DiagnosticsRun>();
  run->device = shared_from_this();
  run->callback = std::move(callback);
  run->start();
}

void VPKPeripheral::DiagnosticsRun::start() {
  startedAt = vpk::Clock::timestamp();
  std::weak_ptr<DiagnosticsRun> weak = weak_from_this();
  countdown = VPKTimer::create(VPKResourceManager::sharedQueue(), 1.0, [weak](const std::shared_ptr<VPKTimer>&) {
    auto self = weak.lock();
    if (!self) return;
    if (self->remaining > 0) --self->remaining;
    VPKLog(0, "Diagnostics time remaining {}s", self->remaining);
  });
  countdown->setName("diagnostics countdown");
  countdown->activateAndFire();

  device->setPerformingDiagnostics(true);
  device->updateSystemQueryRate();
  // The host's facts are gathered on the main thread; the report starts 5 s after the call.
  vpk::DispatchQueue::main()->async([self = shared_from_this()] {
    self->localInfo = vpk::detail::localDeviceInfo("/");
    const double left = self->startedAt + kPreparationSeconds - vpk::Clock::timestamp();
    VPKResourceManager::performBlock([self] { self->prepare(); }, std::max(0.0, left));
  });
}

void VPKPeripheral::DiagnosticsRun::prepare() {
  VPKPeripheral& d = *device;
  const double now = vpk::Clock::timestamp();
  report.set("localDeviceInfo", localInfo);
  report.set("systemQueries", d.systemQueryResponses());
  report.set("reportTimestamp", timestampString(now));
  report.set("firmware", d.firmwareVersion() ? d.firmwareVersion()->stringValue() : std::string("Unknown"));
  report.set("commandLog", d.commandLog());

  const fs::path folder = vpk::temporaryFolder() / kDiagnosticsFolderName;
  std::error_code ec;
  fs::create_directories(folder, ec);
  const auto location =
      vpk::detail::diagnosticsReportFile(folder, d.hardwareIdentifier(), d.identifier(), timestampString(now));
  if (!location) VPKLog(1, "WARNING: Device({}) has no identifier that can name a report file", d.name());
  if (!location || !vpk::detail::isOwnFolder(folder)) {
    VPKLog(1, "Failed to generate diagnostics report");
    end(false);
    return;
  }
  file = *location;
  stream();
}

void VPKPeripheral::DiagnosticsRun::stream() {
  VPKPeripheral& d = *device;
  report.set("persistentHeadbandInfo", d.persistentDeviceInfo().value_or(ValueDictionary{}));
  if (const auto state = vpk::detail::connectionStateName(d.peripheral()->state())) report.set("connectionState", *state);

  analyzer = VPKSignalAnalyzer::analyzer();
  analyzer->setAnalysisRate(kRunAnalysisRate);
  analyzer->setRecordDiagnosticInformation(true);
  analyzer->setPerformFFTOnFilteredSignalOnly(false);
  analyzer->setLeftChannelEnabledDataProcesserTypes(kRunProcessorTypes);
  analyzer->setRightChannelEnabledDataProcesserTypes(kRunProcessorTypes);
  collecting = true;
  // The verdicts are this run's: flags left by an earlier run would outlive a mended electrode.
  d.setHasLeftElectrodeFailure(std::nullopt);
  d.setHasRightElectrodeFailure(std::nullopt);
  std::weak_ptr<DiagnosticsRun> weak = weak_from_this();
  // Processing thread: read the two spectra there, touch the lists on the shared queue.
  analyzer->setDiagnosticsHandler([weak](const std::shared_ptr<VPKChannelSet>& set) {
    if (!set) return;
    VPKResourceManager::performBlock(
        [weak, left = noiseOf(set->leftChannel()), right = noiseOf(set->rightChannel())] {
          if (auto self = weak.lock()) self->collect(left, right);
        });
  });
  d.stream()->addOutput(analyzer);
  d.openStream();
  d.setSystemQueryRate(kRunStatusRate);

  VPKResourceManager::performBlock([self = shared_from_this()] { self->collecting = false; },
                                   kDiagnosticsNoiseSeconds);
  VPKResourceManager::performBlock([self = shared_from_this()] { self->finish(); }, kStreamingSeconds);
}

void VPKPeripheral::DiagnosticsRun::collect(const std::array<std::optional<float>, 2>& left,
                                            const std::array<std::optional<float>, 2>& right) {
  if (!collecting) return;
  for (size_t k = 0; k < 2; ++k) {
    if (left[k]) noise[0][k].push_back(Value(static_cast<double>(*left[k])));
    if (right[k]) noise[1][k].push_back(Value(static_cast<double>(*right[k])));
  }
}

void VPKPeripheral::DiagnosticsRun::finish() {
  VPKPeripheral& d = *device;
  collecting = false;
  analyzer->setDiagnosticsHandler(nullptr);
  analyzer->removeFromSignalStream();
  analyzer.reset();
  d.closeStream();

  auto side = [&](int s) { return Value::dictionary({{"50hz", noise[s][0]}, {"60hz", noise[s][1]}}); };
  report.set("noiseSamples", Value::dictionary({{"left", side(0)}, {"right", side(1)}}));
  report.set("electrodeStatus", Value::dictionary({{"left", electrodeVerdict(d.hasLeftElectrodeFailure())},
                                                   {"right", electrodeVerdict(d.hasRightElectrodeFailure())}}));

  const std::optional<std::string> json = Value(report).toJSONString(2);
  if (!json) VPKLog(1, "Generated error wile creating diagnostics report:{}", "a value JSON cannot hold");
  bool written = false;
  if (json && !json->empty()) {
    written = vpk::detail::writeReportFile(file, *json);
    if (!written) VPKLog(1, "Failed to generate diagnostics report!");
  }
  end(written);
}

void VPKPeripheral::DiagnosticsRun::end(bool success) {
  countdown->invalidate();
  countdown.reset();
  device->setPerformingDiagnostics(false);
  device->updateSystemQueryRate();
  device->generatingDiagnostics_ = false;
  if (callback) {
    std::optional<fs::path> location;
    if (success) location = file;
    vpk::DispatchQueue::main()->async([callback = std::move(callback), success, location] { callback(success, location); });
  }
  callback = nullptr;
}
