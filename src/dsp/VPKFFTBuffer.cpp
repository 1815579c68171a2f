#include <VemraPlatformKit/dsp/VPKFFTBuffer.h>

#include <VemraPlatformKit/frame/VPKLog.h>

#include "dsp/FourierKernels.h"
#include "dsp/RealFFT240.h"

#include <kiss_fftr.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// kissfft's real transform needs an even length, and is fast only when half of it
// splits into factors 2, 3 and 5 (240 = 2 * 120 = 2 * 2^3 * 3 * 5).
bool suitsRealFFT(int n) {
  if (n < 2 || n % 2 != 0) return false;
  int half = n / 2;
  for (int f : {2, 3, 5}) {
    while (half % f == 0) half /= f;
  }
  return half == 1;
}

constexpr float kDecibelFloor = 1.5849e-13f;  // 10^-12.8: an empty bin reads -128 dB

// magnitude[k] = (re/n)^2 + (im/n)^2 and amplitude[k] = sqrt(magnitude[k]) for
// 1 <= k < bins, from kissfft's interleaved output. Four bins at a time where the
// processor has SSE2; division and square root are correctly rounded either way, so
// both paths give the same bits.
void binsFromInterleaved(const kiss_fft_cpx* x, std::size_t bins, float n, float* magnitude,
                         float* amplitude) {
  std::size_t k = 1;
#if defined(__SSE2__)
  const __m128 vn = _mm_set1_ps(n);
  for (; k + 4 <= bins; k += 4) {
    const __m128 a = _mm_loadu_ps(&x[k].r);      // r0 i0 r1 i1
    const __m128 b = _mm_loadu_ps(&x[k + 2].r);  // r2 i2 r3 i3
    const __m128 re = _mm_div_ps(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)), vn);
    const __m128 im = _mm_div_ps(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)), vn);
    const __m128 m = _mm_add_ps(_mm_mul_ps(re, re), _mm_mul_ps(im, im));
    _mm_storeu_ps(magnitude + k, m);
    _mm_storeu_ps(amplitude + k, _mm_sqrt_ps(m));
  }
#endif
  for (; k < bins; ++k) {
    const float re = x[k].r / n;
    const float im = x[k].i / n;
    const float m = re * re + im * im;
    magnitude[k] = m;
    amplitude[k] = std::sqrt(m);
  }
}

// The same from separate real and imaginary parts.
void binsFromParts(const float* xr, const float* xi, std::size_t bins, float n, float* magnitude,
                   float* amplitude) {
  std::size_t k = 1;
#if defined(__SSE2__)
  const __m128 vn = _mm_set1_ps(n);
  for (; k + 4 <= bins; k += 4) {
    const __m128 re = _mm_div_ps(_mm_loadu_ps(xr + k), vn);
    const __m128 im = _mm_div_ps(_mm_loadu_ps(xi + k), vn);
    const __m128 m = _mm_add_ps(_mm_mul_ps(re, re), _mm_mul_ps(im, im));
    _mm_storeu_ps(magnitude + k, m);
    _mm_storeu_ps(amplitude + k, _mm_sqrt_ps(m));
  }
#endif
  for (; k < bins; ++k) {
    const float re = xr[k] / n;
    const float im = xi[k] / n;
    const float m = re * re + im * im;
    magnitude[k] = m;
    amplitude[k] = std::sqrt(m);
  }
}

constexpr int kHeadbandWindow = 240;

}  // namespace

// The prepared real-input transform: the library's own for the 240-sample window the
// analyzer uses where the build chooses it, kissfft's for other lengths it handles well, the library's own
// double-precision transform for every other length.
struct VPKFFTBuffer::Transform {
  bool window240 = false;
  kiss_fftr_cfg real = nullptr;
  std::vector<kiss_fft_cpx> bins;
  std::vector<double> re, im;
  std::vector<float> binsRe, binsIm;

  ~Transform() {
    if (real != nullptr) kiss_fftr_free(real);
  }
};

std::shared_ptr<VPKFFTBuffer> VPKFFTBuffer::create(int size, int samplingRate) {
  if (size < 2 || size > kMaxSize) {
    VPKLog(1, "VPKFFTBuffer: cannot make a window of {} samples (2 to {})", size, kMaxSize);
    return nullptr;
  }
  try {
    std::shared_ptr<VPKFFTBuffer> buffer(new VPKFFTBuffer(size, samplingRate));
    auto t = std::make_unique<Transform>();
    if (size == kHeadbandWindow && vpk::detail::usesRealFFT240()) {
      t->window240 = true;
      t->binsRe.resize(kHeadbandWindow / 2);
      t->binsIm.resize(kHeadbandWindow / 2);
    } else if (suitsRealFFT(size)) {
      t->real = kiss_fftr_alloc(size, 0, nullptr, nullptr);
      if (t->real == nullptr) throw std::bad_alloc();
      t->bins.resize(static_cast<std::size_t>(size / 2 + 1));
    } else {
      t->re.resize(static_cast<std::size_t>(size));
      t->im.resize(static_cast<std::size_t>(size));
    }
    buffer->transform_ = std::move(t);
    return buffer;
  } catch (const std::bad_alloc&) {
    VPKLog(1, "VPKFFTBuffer: out of memory for a window of {} samples", size);
    return nullptr;
  }
}

std::shared_ptr<VPKFFTBuffer> VPKFFTBuffer::create(const VPKFFTBuffer& other) {
  return create(other.size_, other.sampleRate_);
}

VPKFFTBuffer::VPKFFTBuffer(int size, int samplingRate)
    : buf_(static_cast<std::size_t>(size), 0.0f), size_(size), sampleRate_(samplingRate) {
  const auto bins = static_cast<std::size_t>(size / 2);
  amplitude_.assign(bins, 0.0f);
  magnitude_.assign(bins, 0.0f);
  decibels_.assign(bins, 0.0f);
  frequencies_.resize(bins);
  roundFrequencies_.resize(bins);
  const auto n = static_cast<float>(size);
  const float rate = static_cast<float>(samplingRate);
  for (std::size_t k = 0; k < bins; ++k) {
    const float f = static_cast<float>(k) * rate / n;
    frequencies_[k] = f;
    roundFrequencies_[k] = std::ceil(f - 2.0f / n) + 0.0f;  // + 0 turns -0 into 0
  }
}

VPKFFTBuffer::~VPKFFTBuffer() = default;

void VPKFFTBuffer::add(float value) {
  // The ring discipline shared with the moving average: `next` counts writes and
  // stays in [N, 2N) once the window is full, `start` is the oldest sample.
  const int before = next_;
  buf_[static_cast<std::size_t>(before % size_)] = value;
  ++next_;
  if (before >= size_) {
    ++start_;
    if (next_ % size_ == 0) next_ = start_;
    if (start_ == size_) start_ = 0;
  }
}

void VPKFFTBuffer::addData(const float* values, std::size_t count) {
  // The same window and ring state as add() for each value, written in at most two
  // copies: the analyzer feeds six windows per cycle this way.
  const auto n = static_cast<std::size_t>(size_);
  const bool wasFull = next_ >= size_;
  const std::size_t position = static_cast<std::size_t>(wasFull ? next_ - size_ : next_);
  const std::size_t kept = std::min(count, n);
  std::size_t at = (position + (count - kept) % n) % n;  // values that would be overwritten are skipped
  const float* from = values + (count - kept);
  for (std::size_t left = kept; left > 0;) {
    const std::size_t chunk = std::min(left, n - at);
    std::copy_n(from, chunk, buf_.begin() + static_cast<std::ptrdiff_t>(at));
    from += chunk;
    left -= chunk;
    at = (at + chunk) % n;
  }
  if (!wasFull && position + count < n) {
    next_ += static_cast<int>(count);
  } else {
    const auto r = static_cast<int>((position + count % n) % n);
    next_ = size_ + r;
    start_ = r;
  }
  count_ += count;
}

void VPKFFTBuffer::setData(const float* values, std::size_t count) {
  if (count != buf_.size()) {
    addData(values, count);
    return;
  }
  std::copy_n(values, count, buf_.begin());
  start_ = 0;
  next_ = size_;
  count_ += count;
}

void VPKFFTBuffer::getData(float* dest) const {
  const auto start = static_cast<std::size_t>(start_);
  std::copy(buf_.begin() + static_cast<std::ptrdiff_t>(start), buf_.end(), dest);
  std::copy_n(buf_.begin(), start, dest + (buf_.size() - start));
}

void VPKFFTBuffer::update() {
  // Magnitudes and the mean do not depend on where the window starts, so the ring is
  // transformed as it is stored.
  const std::size_t bins = amplitude_.size();
  const auto n = static_cast<float>(size_);
  Transform& t = *transform_;
  if (t.window240) {
    vpk::detail::realFFT240(buf_.data(), t.binsRe.data(), t.binsIm.data());
    DCOffset_ = t.binsRe[0] / n;
    binsFromParts(t.binsRe.data(), t.binsIm.data(), bins, n, magnitude_.data(), amplitude_.data());
  } else if (t.real != nullptr) {
    kiss_fftr(t.real, buf_.data(), t.bins.data());
    DCOffset_ = t.bins[0].r / n;
    binsFromInterleaved(t.bins.data(), bins, n, magnitude_.data(), amplitude_.data());
  } else {
    std::copy(buf_.begin(), buf_.end(), t.re.begin());
    std::fill(t.im.begin(), t.im.end(), 0.0);
    try {
      vpk::detail::fft(t.re.data(), t.im.data(), buf_.size());
    } catch (const std::bad_alloc&) {
      VPKLog(1, "VPKFFTBuffer: out of memory for the transform; the spectrum is unchanged");
      return;
    }
    DCOffset_ = static_cast<float>(t.re[0]) / n;
    for (std::size_t k = 1; k < bins; ++k) {
      const float re = static_cast<float>(t.re[k]) / n;
      const float im = static_cast<float>(t.im[k]) / n;
      const float m = re * re + im * im;
      magnitude_[k] = m;
      amplitude_[k] = std::sqrt(m);
    }
  }
  magnitude_[0] = DCOffset_ * DCOffset_;
  amplitude_[0] = 0.0f;
  if (generateDecibels_) computeDecibels();
  emptied_ = false;
  cachedAmplitudeBuffer_.reset();
  cachedDecibelBuffer_.reset();
  cachedMagnitudeBuffer_.reset();
}

namespace {

std::shared_ptr<VPKFloatBuffer>& snapshot(std::shared_ptr<VPKFloatBuffer>& cache,
                                          const std::vector<float>& values) {
  if (!cache) cache = VPKFloatBuffer::createWithFloats(values.data(), values.size());
  return cache;
}

}  // namespace

std::shared_ptr<VPKFloatBuffer> VPKFFTBuffer::amplitudeFloatBuffer() {
  return snapshot(cachedAmplitudeBuffer_, amplitude_);
}

std::shared_ptr<VPKFloatBuffer> VPKFFTBuffer::magnitudeFloatBuffer() {
  return snapshot(cachedMagnitudeBuffer_, magnitude_);
}

std::shared_ptr<VPKFloatBuffer> VPKFFTBuffer::frequenciesFloatBuffer() {
  return snapshot(cachedFrequencyBuffer_, frequencies_);
}

std::shared_ptr<VPKFloatBuffer> VPKFFTBuffer::roundedFrequenciesFloatBuffer() {
  return snapshot(cachedRoundFrequencyBuffer_, roundFrequencies_);
}

std::shared_ptr<VPKFloatBuffer> VPKFFTBuffer::decibelFloatBuffer() {
  if (!cachedDecibelBuffer_ && !generateDecibels_ && !emptied_) computeDecibels();
  return snapshot(cachedDecibelBuffer_, decibels_);
}

void VPKFFTBuffer::computeDecibels() {
  for (std::size_t k = 0; k < magnitude_.size(); ++k) {
    decibels_[k] = 10.0f * std::log10(magnitude_[k] + kDecibelFloor);
  }
}

void VPKFFTBuffer::getAmplitude(float* amplitude, float* frequencies,
                                float* roundedFrequencies) const {
  getAmplitudeWithSize(amplitude_.size(), amplitude, frequencies, roundedFrequencies);
}

void VPKFFTBuffer::getAmplitudeWithSize(std::size_t count, float* amplitude, float* frequencies,
                                        float* roundedFrequencies) const {
  count = std::min(count, amplitude_.size());
  if (amplitude != nullptr) std::copy_n(amplitude_.begin(), count, amplitude);
  if (frequencies != nullptr) std::copy_n(frequencies_.begin(), count, frequencies);
  if (roundedFrequencies != nullptr) std::copy_n(roundFrequencies_.begin(), count, roundedFrequencies);
}

void VPKFFTBuffer::reset() {
  std::fill(buf_.begin(), buf_.end(), 0.0f);
  std::fill(amplitude_.begin(), amplitude_.end(), 0.0f);
  // The decibels of the emptied spectrum (amplitude 0), not of the magnitudes kept from
  // the last update.
  std::fill(decibels_.begin(), decibels_.end(), 10.0f * std::log10(kDecibelFloor));
  emptied_ = true;
  cachedAmplitudeBuffer_.reset();
  cachedDecibelBuffer_.reset();
  start_ = 0;
  next_ = 0;
}

void VPKFFTBuffer::print() const {
  std::printf("\n--- %d-%d\n", start_, next_);
  for (float v : buf_) std::printf("%.0f\n", static_cast<double>(v));
  std::fflush(stdout);
}
