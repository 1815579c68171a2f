#include <VemraPlatformKit/analysis/VPKSignalValidityMonitor.h>

#include <VemraPlatformKit/analysis/VPKChannelDescription.h>
#include <VemraPlatformKit/analysis/VPKSignalAnalyzer.h>
#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>

#include "analysis/InterferenceFrequency.h"

#include <cmath>

namespace {

constexpr float kSamplingRate = 250.0f;
constexpr float kQFactor = 3.0f;
constexpr int kSpectrumSize = 240;
// The interference measure looks this far either side of the mains frequency.
constexpr float kInterferenceHalfWidth = 2.0f;
constexpr float kAverageAlpha = 0.9f;

// The integer part of a sample. NaN and values outside the 32-bit range (which a plain
// conversion leaves undefined) all read as INT32_MIN, so a run of them counts as flat.
std::int32_t integerPart(float v) {
  if (v >= -2147483648.0f && v < 2147483648.0f) return static_cast<std::int32_t>(v);
  return INT32_MIN;
}

}  // namespace

std::shared_ptr<VPKSignalValidityMonitor> VPKSignalValidityMonitor::create() {
  return std::make_shared<VPKSignalValidityMonitor>();
}

VPKSignalValidityMonitor::VPKSignalValidityMonitor() {
  window_.reserve(512);
  fresh_.reserve(64);
  rebuild();
}

VPKSignalValidityMonitor::~VPKSignalValidityMonitor() = default;

unsigned VPKSignalValidityMonitor::mainsFrequency() const {
  const unsigned chosen = mains_.load(std::memory_order_relaxed);
  return chosen != 0 ? chosen : vpk::mainsInterferenceFrequency();
}

void VPKSignalValidityMonitor::setMainsFrequency(unsigned hz) { mains_.store(hz, std::memory_order_relaxed); }

void VPKSignalValidityMonitor::rebuild() {
  builtMains_ = static_cast<float>(mainsFrequency());
  const float m = builtMains_;
  auto chain = VPKCompoundFilter::create();
  chain->addFilter(VPKBasicFilter::create(VPKFilterTypeHighpass, m - 1.0f, kSamplingRate, kQFactor));
  chain->addFilter(VPKBasicFilter::create(VPKFilterTypeLowpass, m + 1.0f, kSamplingRate, kQFactor));
  chain->addFilter(VPKBasicFilter::create(VPKFilterTypeBandpass, kSamplingRate, VPKFrequencyRange{1.0f, 50.0f}, kQFactor));
  rightFilter_ = chain->copy();
  leftFilter_ = std::move(chain);
  leftFFT_ = VPKFFTBuffer::create(kSpectrumSize, static_cast<int>(kSamplingRate));
  rightFFT_ = VPKFFTBuffer::create(*leftFFT_);
}

void VPKSignalValidityMonitor::resetWithAnalyzer(VPKSignalAnalyzer* analyzer) {
  if (analyzer) setMainsFrequency(analyzer->mainsFrequency());
  leftAvg_ = VPKMovingAverage::averageWithAlpha(kAverageAlpha, VPKMovingAveragePeriodUnbounded);
  rightAvg_ = VPKMovingAverage::averageWithAlpha(kAverageAlpha, VPKMovingAveragePeriodUnbounded);
  rebuild();
}

bool VPKSignalValidityMonitor::prepareToUpdateChannelDescription(VPKChannelDescription& description) {
  return description.fftStatus() == 2;
}

std::optional<vpk::Date> VPKSignalValidityMonitor::idleChangeDate() const {
  if (!idleChangeDate_) return std::nullopt;
  return vpk::Date{*idleChangeDate_};
}

bool VPKSignalValidityMonitor::updateChannelDescription(VPKChannelDescription& description) {
  if (description.fftStatus() == 0) {
    description.setSignalStatus(0);
    return true;
  }
  const bool left = description.channel() == 0;
  updateChannel(left, description);
  (left ? processedLeft_ : processedRight_) = true;
  if (processedLeft_ && processedRight_) decide();
  return true;
}

void VPKSignalValidityMonitor::updateChannel(bool left, VPKChannelDescription& description) {
  // The cycle's new raw samples. The range is cut to the signal, so a description that
  // claims more than it holds reads only what is there.
  fresh_.clear();
  if (const auto& raw = description.rawSignal()) {
    const std::uint64_t size = raw->count();
    const VPKRange range = description.analysisSampleRange();
    if (range.location < size) {
      const std::uint64_t length = range.length < size - range.location ? range.length : size - range.location;
      // An immutable buffer's values are its flat array; a mutable one is copied out of its
      // window, which reads without touching the buffer's caches.
      const float* values = nullptr;
      if (raw->isImmutable()) {
        values = raw->floatArray();
      } else {
        window_.resize(size);
        raw->getFloatArray(window_.data());
        values = window_.data();
      }
      fresh_.assign(values + range.location, values + range.location + length);
    }
  }

  std::int32_t& value = left ? leftFlatlineValue_ : rightFlatlineValue_;
  std::uint64_t& repeats = left ? leftFlatlineCycles_ : rightFlatlineCycles_;
  for (float v : fresh_) {
    const std::int32_t n = integerPart(v);
    repeats = n == value ? repeats + 1 : 0;
    value = n;
  }

  VPKCompoundFilter& chain = left ? *leftFilter_ : *rightFilter_;
  VPKFFTBuffer& spectrum = left ? *leftFFT_ : *rightFFT_;
  if (!fresh_.empty()) {
    chain.filter(fresh_.data(), fresh_.size());
    // A NaN or infinity would stay in the sections' state and silence the measure for
    // good; the chain starts afresh instead, and the spectrum recovers once the bad block
    // has slid out of its window.
    for (float v : fresh_) {
      if (!std::isfinite(v)) {
        chain.reset();
        break;
      }
    }
    spectrum.addData(fresh_.data(), fresh_.size());
  }
  spectrum.update();

  // The largest amplitude strictly within 2 Hz of the mains frequency the chain was built
  // for (58 to 62 Hz at 60 Hz); NaNs are skipped.
  const float low = builtMains_ - kInterferenceHalfWidth;
  const float high = builtMains_ + kInterferenceHalfWidth;
  float measure = 0.0f;
  const auto frequencies = spectrum.frequencies();
  const auto amplitude = spectrum.amplitude();
  for (size_t i = 0; i < frequencies.size() && i < amplitude.size(); ++i) {
    const float f = frequencies[i];
    if (f > high) break;
    if (f > low && f < high && !std::isnan(amplitude[i]) && amplitude[i] > measure)
      measure = amplitude[i];
  }
  (left ? leftDSGamma_ : rightDSGamma_) = measure;
  if (auto& average = left ? leftAvg_ : rightAvg_) average->addValue(measure);
}

void VPKSignalValidityMonitor::decide() {
  processedLeft_ = false;
  processedRight_ = false;

  const bool leftFlat = leftFlatlineCycles_ >= kFlatlineCycles;
  const bool rightFlat = rightFlatlineCycles_ >= kFlatlineCycles;
  const bool wasLeftFlat = leftFlatline_.exchange(leftFlat, std::memory_order_relaxed);
  const bool wasRightFlat = rightFlatline_.exchange(rightFlat, std::memory_order_relaxed);
  if (wasLeftFlat != leftFlat || wasRightFlat != rightFlat)
    VPKLog(0, "WARNING: Signal flat line values changed:({},{})", leftFlat ? 1 : 0, rightFlat ? 1 : 0);

  const float leftAverage = leftAvg_ ? leftAvg_->exponentialAverage() : 0.0f;
  const float rightAverage = rightAvg_ ? rightAvg_->exponentialAverage() : 0.0f;
  const bool idle = leftAverage > leftThreshold() || rightAverage > rightThreshold() || leftFlat || rightFlat;

  const double now = vpk::Clock::timestamp();
  if (idle != pendingIdle_) {
    pendingIdle_ = idle;
    idleChangeDate_ = now;
  }
  if (idleChangeDate_ && now - *idleChangeDate_ > kIdleConfirmationDelay) {
    idleChangeDate_.reset();
    detectedIdle_.store(pendingIdle_, std::memory_order_relaxed);
  }
}
