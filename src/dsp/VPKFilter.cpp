#include <VemraPlatformKit/dsp/VPKFilter.h>

#include <algorithm>
#include <cmath>
#include <functional>

VPKFilter::~VPKFilter() = default;

std::vector<float> VPKFilter::filteredArray(std::span<const float> values) {
  std::vector<float> out(values.begin(), values.end());
  filter(out.data(), out.size());
  return out;
}

std::vector<float> VPKFilter::filteredArray(std::span<const float> values, std::size_t location,
                                            std::size_t length) {
  std::vector<float> out(values.begin(), values.end());
  if (location < out.size()) {
    length = std::min(length, out.size() - location);
    filter(out.data() + location, length);
  }
  return out;
}

VPKNumberArray VPKFilter::filteredArray(const VPKNumberArray& values) {
  std::vector<float> floats(values.count());
  values.getFloatArray(floats.data());
  filter(floats.data(), floats.size());
  return VPKNumberArray::arrayWithFloats(floats.data(), floats.size());
}

VPKNumberArray VPKFilter::filteredArray(const VPKNumberArray& values, std::size_t location,
                                        std::size_t length) {
  std::vector<float> floats(values.count());
  values.getFloatArray(floats.data());
  VPKNumberArray out = values;
  if (location < floats.size()) {
    length = std::min(length, floats.size() - location);
    filter(floats.data() + location, length);
    for (std::size_t i = location; i < location + length; ++i) out[i] = floats[i];
  }
  return out;
}

std::shared_ptr<VPKFloatBuffer> VPKFilter::filteredFloatBuffer(const VPKFloatBuffer& buffer) {
  float* values = buffer.createFloatArray();  // nullptr for an empty buffer
  const std::uint64_t n = values != nullptr ? buffer.count() : 0;
  filter(values, n);
  return VPKFloatBuffer::createWithFloats(values, n, false);
}

float VPKFilter::filteredValue(float value) {
  filter(&value, 1);
  return value;
}

bool VPKFilter::isEqual(const VPKFilter& other) const { return this == &other; }

std::size_t VPKFilter::hash() const { return std::hash<const void*>{}(this); }

float VPKFilter::calculateQFactorForSamplingRate(std::uint64_t /*rate*/, VPKFrequencyRange range) {
  const float q = std::sqrt(range.min * range.max) / (range.max - range.min);
  // A NaN quotient (an empty or inverted band) also falls back to the floor.
  return q > 0.5f ? q : 0.5f;
}
