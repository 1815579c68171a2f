#include <VemraPlatformKit/analysis/VPKSignalAnalyzerSample.h>

void VPKSignalAnalyzerSample::setData(const float* values, std::uint64_t count, double timestamp) {
  if (!values) count = 0;
  if (count > kCapacity) count = kCapacity;
  for (std::uint64_t i = 0; i < kCapacity; ++i) data_[i] = i < count ? values[i] : 0.0f;
  count_ = count;
  timestamp_ = timestamp;
}
