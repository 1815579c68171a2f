#pragma once
/// @file VPKFFTBuffer.h
/// A sliding window of the most recent N samples of one channel, with the amplitude
/// spectrum of that window.
///
/// Feed samples with `add`, `addData` or `setData`, then call `update` to recompute
/// the spectrum of the current window. Bin k (0 <= k < N/2) lies at
/// k * sampleRate / N Hz. After `update`:
///   - `DCOffset()` is the mean of the window;
///   - `magnitude()[k]` = |X[k] / N|^2, X being the plain DFT of the window (so
///     `magnitude()[0]` is the squared mean);
///   - `amplitude()[k]` = |X[k] / N| for k >= 1 and 0 for k = 0 (the mean is reported
///     by `DCOffset` instead), so a sine of amplitude A on bin k gives A / 2;
///   - with `generateDecibels` set, `decibels()[k]` = 10 log10(magnitude[k] +
///     1.5849e-13), power decibels in which an empty bin reads -128 dB.
///
/// Window order: until N samples have been added since creation or `reset`, the
/// window holds the samples added so far followed by zeros; from then on it is the
/// last N samples, oldest first. The spectrum's magnitudes do not depend on where
/// the window starts.
///
/// Memory: every array is allocated at creation and `update` allocates nothing. The
/// real-input transform is prepared once per buffer.
///
/// Snapshots: the `…FloatBuffer()` operations hand out immutable `VPKFloatBuffer`s
/// made on first request and handed out again until the values change (the next
/// `update`, or `reset` for amplitude and decibels). Every caller of one update gets
/// the same object, so transform a snapshot only after taking a copy of it.
///
/// Threads: a buffer has no lock; one thread at a time may use it (the analyzer
/// uses its buffers only on its processing thread). Snapshots already handed out are
/// never changed by the FFT buffer and may be passed to other threads.
///
/// Names: `initWithSize:samplingRate:` is `create(size, rate)`, `initWithFFT:` is
/// `create(other)`; `add:`, `addData:count:`, `setData:count:`, `getData:` keep their
/// first keyword; `getAmplitude:frequencies:roundedFrequencies:` is `getAmplitude`,
/// `getAmplitudeWithSize:…` is `getAmplitudeWithSize`.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/numeric/VPKFloatBuffer.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

class VPK_EXPORT VPKFFTBuffer {
 public:
  /// Largest window accepted by `create`.
  static constexpr int kMaxSize = 1 << 20;

  /// An empty window of `size` zeros for `samplingRate` samples per second, with its
  /// frequency tables filled and its transform prepared. Null (and a log line) for a
  /// size below 2 or above `kMaxSize`.
  static std::shared_ptr<VPKFFTBuffer> create(int size, int samplingRate);
  /// A new, empty buffer with `other`'s size and rate (data, spectra and
  /// `generateDecibels` are not copied).
  static std::shared_ptr<VPKFFTBuffer> create(const VPKFFTBuffer& other);

  ~VPKFFTBuffer();
  VPKFFTBuffer(const VPKFFTBuffer&) = delete;
  VPKFFTBuffer& operator=(const VPKFFTBuffer&) = delete;

  /// Appends one sample, dropping the oldest once N are held.
  void add(float value);
  /// `add` for each of the `count` values in order; `count()` grows by `count`.
  void addData(const float* values, std::size_t count);
  /// With `count` = N the values become the whole window, oldest first, and later
  /// samples slide on from it; any other count behaves as `addData`.
  void setData(const float* values, std::size_t count);
  /// Copies the N values of the window into `dest`, in window order.
  void getData(float* dest) const;

  /// Recomputes the spectrum of the current window.
  void update();

  /// Snapshots of N/2 values each (see the file comment).
  std::shared_ptr<VPKFloatBuffer> amplitudeFloatBuffer();
  std::shared_ptr<VPKFloatBuffer> magnitudeFloatBuffer();
  std::shared_ptr<VPKFloatBuffer> frequenciesFloatBuffer();
  std::shared_ptr<VPKFloatBuffer> roundedFrequenciesFloatBuffer();
  /// Power decibels of the last update. When `generateDecibels` is off they are
  /// computed here, from the magnitudes, with the same formula `update` uses.
  std::shared_ptr<VPKFloatBuffer> decibelFloatBuffer();

  /// Copies N/2 values of the amplitude, the bin frequencies and the rounded bin
  /// frequencies into each destination that is not null.
  void getAmplitude(float* amplitude, float* frequencies, float* roundedFrequencies) const;
  /// The same with `count` values each; a count above N/2 copies N/2 values.
  void getAmplitudeWithSize(std::size_t count, float* amplitude, float* frequencies,
                            float* roundedFrequencies) const;

  /// Zeroes the window and the amplitude and rewinds the window, as if nothing had
  /// been added; the decibels read -128 dB in every bin (those of amplitude 0) until
  /// the next `update`. `count`, `magnitude` and `DCOffset` keep the values of the
  /// last `update`.
  void reset();

  /// Debug output on standard output: "\n--- start-next\n", then each stored sample
  /// as "%.0f\n" in storage order.
  void print() const;

  int size() const { return size_; }
  int sampleRate() const { return sampleRate_; }
  float DCOffset() const { return DCOffset_; }
  /// Samples given through `addData` and `setData` since creation.
  std::uint64_t count() const { return count_; }
  bool generateDecibels() const { return generateDecibels_; }
  void setGenerateDecibels(bool on) { generateDecibels_ = on; }

  /// The spectrum arrays (N/2 values each) of the last `update`.
  std::span<const float> amplitude() const { return amplitude_; }
  std::span<const float> magnitude() const { return magnitude_; }
  /// Filled during `update` when `generateDecibels` is set, else by
  /// `decibelFloatBuffer`.
  std::span<const float> decibels() const { return decibels_; }
  /// k * sampleRate / N for each bin (single precision).
  std::span<const float> frequencies() const { return frequencies_; }
  /// ceil(f_k - 2/N): a bin within 2/N above a whole number rounds down to it.
  std::span<const float> roundFrequencies() const { return roundFrequencies_; }

 private:
  struct Transform;
  VPKFFTBuffer(int size, int samplingRate);
  void computeDecibels();

  std::vector<float> buf_;
  int size_;
  int sampleRate_;
  int next_ = 0;
  int start_ = 0;
  std::vector<float> amplitude_, magnitude_, decibels_;
  std::vector<float> frequencies_, roundFrequencies_;
  std::unique_ptr<Transform> transform_;
  std::shared_ptr<VPKFloatBuffer> cachedAmplitudeBuffer_, cachedMagnitudeBuffer_,
      cachedDecibelBuffer_, cachedFrequencyBuffer_, cachedRoundFrequencyBuffer_;
  bool generateDecibels_ = false;
  bool emptied_ = false;  // reset since the last update: the decibels are those of amplitude 0
  float DCOffset_ = 0.0f;
  std::uint64_t count_ = 0;
};
