#include <VemraPlatformKit/dsp/VPKDadeFocusAnalyzer.h>

#include <VemraPlatformKit/analysis/VPKChannelSet.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr float kEpsilon = 1.1920929e-7f;
constexpr VPKFrequencyRange kDeltaBand{2.0f, 4.0f};
constexpr VPKFrequencyRange kThetaBand{5.0f, 8.0f};
constexpr VPKFrequencyRange kBetaBand{16.0f, 21.0f};
constexpr VPKFrequencyRange kAlphaBand{10.0f, 15.0f};
constexpr int kBlockCycles = 5;

VPKFloatBuffer::Ptr filledBuffer(float value) {
  auto buffer = VPKFloatBuffer::createWithSize(10);
  for (int i = 0; i < 10; ++i) buffer->push(value);
  return buffer;
}

// Target-zone credit of one scored cycle by its focus score.
double targetZoneCredit(float focus) {
  if (focus >= 0.8) return 1.0;
  if (focus >= 0.7) return 0.9;
  if (focus >= 0.6) return 0.8;
  if (focus >= 0.55) return 0.6;
  if (focus >= 0.3) return 0.25;
  return 0.0;
}

}  // namespace

std::shared_ptr<VPKDadeFocusAnalyzer> VPKDadeFocusAnalyzer::create(std::uint64_t channel) {
  auto analyzer = std::make_shared<VPKDadeFocusAnalyzer>();
  analyzer->setChannel(channel);
  return analyzer;
}

VPKDadeFocusAnalyzer::VPKDadeFocusAnalyzer() = default;
VPKDadeFocusAnalyzer::~VPKDadeFocusAnalyzer() = default;

void VPKDadeFocusAnalyzer::resetWithAnalyzer(VPKSignalAnalyzer*) {
  relativeMaximum_ = 0.9;
  samplingPeriod_ = 10;
  dBuffer_ = filledBuffer(1.0f);
  tBuffer_ = filledBuffer(1.0f);
  aBuffer_ = filledBuffer(1.0f);
  bBuffer_ = filledBuffer(0.05f);
  dma_ = VPKMovingAverage::averageWithPeriod(16);
  tma_ = VPKMovingAverage::averageWithPeriod(4);
  ama_ = VPKMovingAverage::averageWithPeriod(10);
  bma_ = VPKMovingAverage::averageWithPeriod(4);
  bara_ = VPKMovingAverage::averageWithPeriod(8);
  sa_ = VPKMovingAverage::averageWithPeriod(samplingPeriod_);
  asa_ = VPKMovingAverage::averageWithPeriod(10);
  coefficients_ = kDefaultCoefficients;
}

float VPKDadeFocusAnalyzer::calculateMeanPower(const VPKChannelDescription& description, VPKFrequencyRange range) {
  return description.meanFilteredAmplitudeInFrequencyRange(range).value_or(0.0f);
}

bool VPKDadeFocusAnalyzer::updateChannelDescription(VPKChannelDescription& desc) {
  if (auto set = desc.channelSet(); set && set->isIdle()) {
    desc.setFocusScore(std::nullopt);
    desc.setAlternateFocusScore(std::nullopt);
    return false;
  }
  if (!dma_ || !tma_ || !bma_ || !bara_ || !sa_ || !asa_ || !bBuffer_) resetWithAnalyzer(nullptr);

  const float D = calculateMeanPower(desc, kDeltaBand);
  const float T = calculateMeanPower(desc, kThetaBand);
  // A spectrum holding a NaN or infinity (fftStatus 4) would stay in the running averages
  // for good; such a cycle is treated like one with too weak slow bands.
  if (std::fabs(T) < kEpsilon || std::fabs(D) < kEpsilon || !std::isfinite(D) || !std::isfinite(T)) {
    desc.setFocusScore(sa_->movingAverage());
    desc.setAlternateFocusScore(asa_->movingAverage());
    return false;
  }
  const float B = calculateMeanPower(desc, kBetaBand);
  const float A = calculateMeanPower(desc, kAlphaBand);
  if (!std::isfinite(B) || !std::isfinite(A)) {
    desc.setFocusScore(sa_->movingAverage());
    desc.setAlternateFocusScore(asa_->movingAverage());
    return false;
  }

  const float b = std::fabs(B) < kEpsilon ? 1e-8f : B;
  const float a = std::fabs(A) < kEpsilon ? b : A;
  const float r = b / a;
  bara_->addValue(std::min(r, 1.0f));
  const float R = bara_->movingAverage();
  bBuffer_->push(b);
  bma_->addValue(b);
  dma_->addValue(D);
  tma_->addValue(T);
  const double Dm = dma_->movingAverage();
  const double Tm = tma_->movingAverage();

  const auto& c = coefficients_;
  double x1 = (c[0] * Dm + c[1] * Tm) / c[2];
  x1 = std::max(x1, 0.0);
  const double x2 = x1 > 1.0 ? 0.0 : 1.0 - x1;
  const float rc3 = R * c[3];
  double x3 = (c[4] * x2 + static_cast<double>(rc3)) / c[5];
  x3 = std::max(x3, 0.0);
  const double x4 = std::min(x3, 1.0) / c[6] - c[7];
  const float s = x4 > 1.0 ? 1.0f : (x4 > 0.0 ? static_cast<float>(x4) : 0.0f);
  sa_->addValue(s);
  const float F = sa_->movingAverage();

  cycles_ += 1;
  cyclesSpentInTargetZone_ += targetZoneCredit(F);
  if (cycles_ >= kBlockCycles) {
    const float z = static_cast<float>(cyclesSpentInTargetZone_ / static_cast<double>(cycles_));
    cycles_ = 0;
    cyclesSpentInTargetZone_ = 0.0;
    asa_->addValue(z);
  }
  desc.setAlternateFocusScore(std::clamp(asa_->movingAverage(), 0.0f, 1.0f));
  desc.setFocusScore(F);
  return true;
}
