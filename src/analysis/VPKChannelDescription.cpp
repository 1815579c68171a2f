#include <VemraPlatformKit/analysis/VPKChannelDescription.h>

#include <VemraPlatformKit/analysis/VPKChannelSet.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// First requests of flat arrays are rare (once per array); one lock for all of them keeps
// each description small.
std::mutex& flatArrayCreationLock() {
  static std::mutex lock;
  return lock;
}

// Calls fn(values, count) with a buffer's values without changing the buffer: an immutable
// buffer's flat array is its values; a mutable one is copied out of its window, because
// refreshing its flat copy would write to a buffer other threads may be reading.
template <class Fn>
void withValues(const VPKFloatBuffer& buffer, Fn&& fn) {
  if (buffer.isImmutable()) {
    fn(buffer.floatArray(), buffer.count());
    return;
  }
  std::vector<float> values(buffer.count());
  buffer.getFloatArray(values.data());
  fn(values.data(), values.size());
}

// Walks the bins of `dft` whose frequency f satisfies min <= f <= max, in bin order.
template <class Fn>
void forEachBinInRange(const VPKDFT* dft, VPKFrequencyRange range, Fn&& fn) {
  if (!dft || !dft->amplitude() || !dft->frequencies()) return;
  withValues(*dft->amplitude(), [&](const float* amplitude, uint64_t amplitudes) {
    withValues(*dft->frequencies(), [&](const float* frequencies, uint64_t bins) {
      const uint64_t n = amplitudes < bins ? amplitudes : bins;
      uint64_t i = 0;
#if defined(__SSE2__)
      // Four bins tested at once (the same ordered comparisons: a NaN frequency is never
      // in range); the chosen bins are still visited one by one in bin order.
      const __m128 lo = _mm_set1_ps(range.min), hi = _mm_set1_ps(range.max);
      for (; i + 4 <= n; i += 4) {
        const __m128 f = _mm_loadu_ps(frequencies + i);
        int in = _mm_movemask_ps(_mm_and_ps(_mm_cmple_ps(lo, f), _mm_cmple_ps(f, hi)));
        for (; in != 0; in &= in - 1) fn(amplitude[i + static_cast<uint64_t>(__builtin_ctz(static_cast<unsigned>(in)))]);
      }
#endif
      for (; i < n; ++i) {
        const float f = frequencies[i];
        if (range.min <= f && f <= range.max) fn(amplitude[i]);
      }
    });
  });
}

std::shared_ptr<VPKFloatBuffer> amplitudeInRange(const VPKDFT* dft, VPKFrequencyRange range) {
  std::vector<float> selected;
  forEachBinInRange(dft, range, [&](float a) { selected.push_back(a); });
  if (selected.empty()) return nullptr;
  return VPKFloatBuffer::createWithFloats(selected.data(), selected.size());
}

}  // namespace

// ---------------------------------------------------------------------------- flat arrays

VPKChannelDescription::FlatArray::~FlatArray() { drop(); }

const float* VPKChannelDescription::FlatArray::get(const VPKFloatBuffer* buffer) const {
  float* array = array_.load(std::memory_order_acquire);
  if (array || !buffer || buffer->count() == 0) return array;
  std::lock_guard<std::mutex> guard(flatArrayCreationLock());
  array = array_.load(std::memory_order_relaxed);
  if (!array) {
    array = buffer->createFloatArray();
    array_.store(array, std::memory_order_release);
  }
  return array;
}

void VPKChannelDescription::FlatArray::drop() { std::free(array_.exchange(nullptr, std::memory_order_acq_rel)); }

// ---------------------------------------------------------------------------- life

VPKChannelDescription::VPKChannelDescription() = default;
VPKChannelDescription::~VPKChannelDescription() = default;

VPKChannelDescription::Ptr VPKChannelDescription::create() { return std::make_shared<VPKChannelDescription>(); }

void VPKChannelDescription::setRawSignal(std::shared_ptr<VPKFloatBuffer> v) {
  flatRaw_.drop();
  rawSignal_ = std::move(v);
}

void VPKChannelDescription::setFilteredSignal(std::shared_ptr<VPKFloatBuffer> v) {
  flatFiltered_.drop();
  filteredSignal_ = std::move(v);
}

// ---------------------------------------------------------------------------- copies

VPKChannelDescription::Ptr VPKChannelDescription::copy() const {
  auto c = copyWithoutPreservingCollections();
  c->rawSignal_ = rawSignal_;
  c->filteredSignal_ = filteredSignal_;
  c->filteredDFT_ = filteredDFT_;
  c->rawDFT_ = rawDFT_;
  c->customValues_ = customValues_;
  return c;
}

VPKChannelDescription::Ptr VPKChannelDescription::copyPreservingAnalysisResultsOnly() const {
  auto c = create();
  c->idle_ = idle_;
  c->alternateFocusScore_ = alternateFocusScore_;
  c->focusScore_ = focusScore_;
  c->customValues_ = customValues_;
  return c;
}

VPKChannelDescription::Ptr VPKChannelDescription::copyWithoutPreservingCollections() const {
  auto c = create();
  c->channelSet_ = channelSet_;
  c->includesRawSignalFFTResults_ = includesRawSignalFFTResults_;
  c->cycles_ = cycles_;
  c->channel_ = channel_;
  c->analysisSampleRange_ = analysisSampleRange_;
  c->samplingRate_ = samplingRate_;
  c->analysisRate_ = analysisRate_;
  c->timestamp_ = timestamp_;
  c->focusScore_ = focusScore_;
  c->fftStatus_ = fftStatus_;
  c->signalStatus_ = signalStatus_;
  c->idle_ = idle_;
  c->partialUpdate_ = partialUpdate_;
  c->sampleRange_ = sampleRange_;
  c->alternateFocusScore_ = alternateFocusScore_;
  for (const auto& [key, value] : customValues_) {
    if (value.isList() || value.object<VPKFloatBuffer>()) continue;
    c->customValues_.set(key, value);
  }
  return c;
}

// ---------------------------------------------------------------------------- range queries

std::shared_ptr<VPKFloatBuffer> VPKChannelDescription::filteredAmplitudeInFrequencyRange(VPKFrequencyRange range) const {
  return amplitudeInRange(filteredDFT_.get(), range);
}

std::shared_ptr<VPKFloatBuffer> VPKChannelDescription::rawAmplitudeInFrequencyRange(VPKFrequencyRange range) const {
  return amplitudeInRange(rawDFT_.get(), range);
}

std::optional<float> VPKChannelDescription::meanFilteredAmplitudeInFrequencyRange(VPKFrequencyRange range) const {
  // Summed in bin order in single precision and divided by the count, as the buffer's
  // meanFloatValue() does.
  float sum = 0.0f;
  uint64_t count = 0;
  forEachBinInRange(filteredDFT_.get(), range, [&](float a) {
    sum += a;
    ++count;
  });
  if (count == 0) return std::nullopt;
  return sum / static_cast<float>(count);
}

// ---------------------------------------------------------------------------- flat signal arrays

const float* VPKChannelDescription::filteredSignalFloatArray() const { return flatFiltered_.get(filteredSignal_.get()); }
const float* VPKChannelDescription::rawSignalFloatArray() const { return flatRaw_.get(rawSignal_.get()); }

namespace {
void copyAll(const float* flat, const VPKFloatBuffer* buffer, float* dest) {
  if (flat && dest) std::memcpy(dest, flat, buffer->count() * sizeof(float));
}
bool copyRange(const float* flat, const VPKFloatBuffer* buffer, float* dest, VPKRange range) {
  if (!flat || !dest || !range.fitsIn(buffer->count())) return false;
  std::memcpy(dest, flat + range.location, range.length * sizeof(float));
  return true;
}
}  // namespace

void VPKChannelDescription::getFilteredSignal(float* dest) const {
  copyAll(filteredSignalFloatArray(), filteredSignal_.get(), dest);
}
void VPKChannelDescription::getRawSignal(float* dest) const { copyAll(rawSignalFloatArray(), rawSignal_.get(), dest); }
bool VPKChannelDescription::getFilteredSignal(float* dest, VPKRange range) const {
  return copyRange(filteredSignalFloatArray(), filteredSignal_.get(), dest, range);
}
bool VPKChannelDescription::getRawSignal(float* dest, VPKRange range) const {
  return copyRange(rawSignalFloatArray(), rawSignal_.get(), dest, range);
}
