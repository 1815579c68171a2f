#pragma once
/// @file VPKFloatBuffer.h
/// The container of 32-bit float samples: every signal window, spectrum, frequency axis
/// and focus series of the library lives in one.
///
/// A buffer has two modes of life:
///   - mutable: a fixed-length sliding window. `size` is fixed at creation; pushing n
///     values drops the n oldest and appends the new ones, so the buffer always holds
///     exactly `size` values, oldest first. Pushing is O(1) per value and never allocates
///     (the window is a ring of `size` slots).
///   - immutable: a snapshot in one contiguous array. It cannot be pushed to, but it can be
///     transformed in place (scale, absolute, filter).
///
/// Next to its values a buffer keeps a contiguous copy (the "flat copy", what floatArray()
/// returns) refreshed only when someone asks for a contiguous view, and a set of derived
/// results (extremes, mean, median, standard deviation, sorted copy, has-NaN flag, number
/// array), each computed on first request and kept until the values change. Reads are
/// `const`: they only fill caches.
///
/// Extremes are running extremes: after pushes, minFloatValue()/maxFloatValue() cover every
/// value pushed since they were last invalidated, including values that have since slid out
/// of the window, and not the zeros a new buffer starts with. They are invalidated by the
/// in-place transforms, clearCaches() and processDirectMutations(); while invalid they are
/// computed from the current values on request.
///
/// Ownership: buffers are held by std::shared_ptr and made by the static create... factories.
/// A buffer owns its flat array, except a reference copy (immutableReferenceCopy()), which
/// shares its source's flat array and keeps the source alive. Arrays returned by the
/// create...Array operations belong to the caller and are released with std::free(); an
/// array made that way can be handed back to createWithFloats(values, n, false), which adopts
/// it. Pointers returned by floatArray(), mutableFloatArray() and sortedFloatArray() stay
/// owned by the buffer and remain valid for its lifetime.
///
/// Threads: a buffer has no lock; use it from one thread at a time (its owner's queue).
/// Only enumerateConcurrent() calls its callback on several threads at once (the parallel-for
/// of the dispatch layer); that callback must not touch the buffer except through its
/// arguments.
///
/// Misuse throws (see VPKNumericExceptions.h):
///   - push into an immutable buffer: VPKInternalInconsistencyException
///     "Attempting to push to an VPKFloatBuffer marked immutable";
///   - mutableFloatArray() on a mutable buffer: VPKInternalInconsistencyException
///     "Attempting to access mutableFloatArray when the VPKFloatBuffer is still mutable is prohibited";
///   - a range past the end (checkRange, enumerateInRange, the range and index reads and
///     sub-buffers): VPKRangeException "Range {location, length} out of bounds for
///     VPKFloatBuffer with size N" (an index i is reported as the range {i, 1}).
///
/// Names: creation `initWithSize:` -> createWithSize(n), `initWithFloats:size:[copy:]` ->
/// createWithFloats(values, n[, copy]), `copyWithZone:` -> copy(); `pushValues:size:` ->
/// pushValues(values, n); `getFloatArray:…` -> getFloatArray(dest, …) overloads;
/// `enumerateInRange:withBlock:` -> enumerateInRange(location, length, block);
/// `isEqual:` -> isEqual(other); `encodeWithCoder:` / `initWithCoder:` -> encodeWithCoder(coder) /
/// createWithCoder(coder).
///
/// Keyed archiving (class "VPKFloatBuffer"): "cache" (size × 4 bytes, the values as native
/// 32-bit IEEE-754 floats), "size" (integer), "immutable" (bool), "minFloatValue",
/// "maxFloatValue" (reals). A decoded buffer has the archived values, size and mode of life;
/// its archived extremes are kept but not trusted (the first request recomputes them). An
/// archive whose "cache" holds fewer than size × 4 bytes, or whose size is negative, is
/// refused as damaged.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/numeric/VPKNumberArray.h>
#include <VemraPlatformKit/numeric/VPKPoint.h>
#include <VemraPlatformKit/platform/values/Archivable.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

class VPKFloatBuffer;

/// Callback of the enumerations: the value, its index, and a stop flag the callback may set.
using VPKFloatBufferEnumerationBlock = std::function<void(float value, uint64_t index, bool& stop)>;
/// Callback of indexesOfValuesPassingTest(): returns whether the value passes.
using VPKFloatBufferTestBlock = std::function<bool(float value, uint64_t index, bool& stop)>;
// VPKIndexSet (VPKNumberArray.h): operations that take one accept any order and treat it as
// the set of the indexes it names.

/// Compares n floats of two arrays: true when every pair differs by at most 1.1920929e-7
/// (single-precision epsilon); true for n = 0.
VPK_EXPORT bool __flcmp(const float* a, const float* b, uint64_t n);

class VPK_EXPORT VPKFloatBuffer : public vpk::Archivable {
 protected:
  struct ConstructionKey {
    explicit ConstructionKey() = default;
  };

 public:
  using Ptr = std::shared_ptr<VPKFloatBuffer>;

  // ------------------------------------------------------------------ creation

  /// Mutable buffer of n zeros (extremes 0 but not valid, flat copy current).
  static Ptr createWithSize(uint64_t n);
  /// Immutable buffer holding a copy of n values.
  static Ptr createWithFloats(const float* values, uint64_t n);
  /// Immutable buffer of n values. copy true: the values are copied. copy false: the buffer
  /// adopts `values`, which must come from std::malloc (e.g. createFloatArray()), and frees
  /// it when destroyed.
  static Ptr createWithFloats(float* values, uint64_t n, bool copy);

  VPKFloatBuffer(ConstructionKey, uint64_t size);
  VPKFloatBuffer(ConstructionKey, float* values, uint64_t size, bool copy);
  ~VPKFloatBuffer() override;
  VPKFloatBuffer(const VPKFloatBuffer&) = delete;
  VPKFloatBuffer& operator=(const VPKFloatBuffer&) = delete;

  /// A new buffer of the same size and mode of life with the same values; the current flat
  /// copy, cached mean, median, standard deviation, number array (shared), extremes (with
  /// their valid flag) and the insert count carry over; `mode` and `referenceBuffer` do not.
  Ptr copy() const;
  /// A new immutable buffer holding a copy of the current values.
  Ptr immutableCopy() const;
  /// A new immutable buffer sharing (not copying) this buffer's flat array, which it sees
  /// change; it keeps this buffer alive (referenceBuffer()). Writing into a reference copy
  /// (a transform, mutableFloatArray(), convertToMutable()) first gives it its own copy of
  /// the values, so the source is never written through it.
  Ptr immutableReferenceCopy() const;
  /// A new mutable buffer of `length` values copied from [location, location + length).
  Ptr subBufferInRange(uint64_t location, uint64_t length) const;
  /// A new immutable buffer of the values in [location, location + length).
  Ptr immutableSubBufferInRange(uint64_t location, uint64_t length) const;
  /// A new immutable buffer of the values at `indexes` in ascending index order, with its
  /// extremes computed from those values.
  Ptr bufferWithValuesAtIndexes(const VPKIndexSet& indexes) const;
  /// Immutable copy scaled by `factor`.
  Ptr scaledBuffer(float factor) const;
  /// Immutable copy of the magnitudes.
  Ptr absoluteBuffer() const;
  /// Immutable buffer of 10 * log10(x + 1.5849e-13) per value (0 maps to -128 dB);
  /// an empty buffer gives a new mutable buffer of size 0.
  Ptr decibelBuffer() const;
  /// The filter's filteredFloatBuffer() of this buffer (filter state advances). `filter` is a
  /// filter object or a (smart) pointer to one.
  template <class Filter>
  Ptr bufferByApplyingFilter(Filter&& filter);

  // ------------------------------------------------------------------ pushing (mutable only)

  void push(float value);
  /// Pushes n values in array order (n may exceed size: the window keeps the last ones, the
  /// extremes see all of them). A buffer of size 0 accepts values and keeps none.
  void pushValues(const float* values, uint64_t n);
  /// Pushes every value of `other` (its floatArray()); `other` may be this buffer.
  void pushBuffer(const VPKFloatBuffer& other);

  // ------------------------------------------------------------------ reading values

  uint64_t count() const { return size_; }
  uint64_t size() const { return size_; }
  /// Values pushed since creation.
  uint64_t inserts() const { return inserts_; }
  /// The current values, contiguous (refreshes the flat copy). Read-only by contract; after
  /// writing into it call processDirectMutations().
  const float* floatArray() const;
  /// Immutable buffers only: the flat array for writing (then call processDirectMutations()).
  float* mutableFloatArray();
  /// Copies all values into dest (from the flat copy when current, else from the window
  /// without refreshing the flat copy).
  void getFloatArray(float* dest) const;
  /// As getFloatArray(dest); with rebuild true a stale flat copy is refreshed first.
  void getFloatArray(float* dest, bool rebuild) const;
  /// Copies [location, location + length) into dest.
  void getFloatArray(float* dest, uint64_t location, uint64_t length) const;
  /// Copies the values at `indexes` (ascending) into consecutive places of dest.
  void getFloatArray(float* dest, const VPKIndexSet& indexes) const;
  /// A new std::malloc'ed array of all values (caller frees); nullptr when empty.
  float* createFloatArray() const;
  /// As createFloatArray(), filled by getFloatArray(dest, rebuild).
  float* createFloatArrayAndrebuildBackingCache(bool rebuild) const;
  /// The values sorted ascending (NaNs last), in an array owned by the buffer.
  const float* sortedFloatArray() const;
  /// The values as numbers, cached (shared with copies).
  std::shared_ptr<const VPKNumberArray> allObjects() const;
  /// One point per value: x = index / (count - 1) (0 for a single value), y = the value, or 0
  /// for NaN and infinities.
  std::vector<VPKPoint> indexPoints() const;

  // ------------------------------------------------------------------ statistics (cached)

  float minFloatValue() const;
  float maxFloatValue() const;
  /// Value at position floor(size / 2) of the sorted values (upper median); 0 when empty.
  float medianFloatValue() const;
  /// Sum / size in single precision, summed in index order; 0 when empty.
  float meanFloatValue() const;
  double meanDoubleValue() const { return static_cast<double>(meanFloatValue()); }
  /// Population standard deviation in single precision; 0 when empty.
  float standardDeviation() const;
  bool containsNaNs() const;

  // ------------------------------------------------------------------ in-place transforms

  void scale(float factor);
  void absolute();
  /// Runs filter.filter(values, n) in place over the values. `filter` is a filter object or
  /// a (smart) pointer to one.
  template <class Filter>
  void applyFilter(Filter&& filter);
  /// Runs `transform(values, n)` in place over the contiguous values; the primitive under
  /// scale(), absolute() and applyFilter(). Afterwards every derived result is cleared.
  void applyInPlace(const std::function<void(float* values, uint64_t n)>& transform);

  // ------------------------------------------------------------------ mode of life

  bool isImmutable() const { return immutable_; }
  void setImmutable(bool immutable);
  /// Immutable -> mutable: the window is rebuilt from the flat array. A reference copy first
  /// takes its own copy of the values and lets go of its source.
  void convertToMutable();
  /// Mutable -> immutable: refreshes the flat copy and drops the window.
  void convertToImmutable();

  // ------------------------------------------------------------------ direct edits, caches

  /// After writing into floatArray()/mutableFloatArray(): the flat array becomes the values
  /// (copied back into the window of a mutable buffer) and every derived result is cleared.
  void processDirectMutations();
  /// Copies a current flat copy back into the window and clears the derived results;
  /// nothing when the flat copy is stale.
  void synchronize();
  /// Refreshes a stale flat copy from the window.
  void rebuildBackingCache() const;
  /// Drops every derived result and marks the flat copy of a mutable buffer stale (an
  /// immutable buffer's flat array is its values and stays current).
  void clearCaches();

  // ------------------------------------------------------------------ enumeration, selection

  /// Visits every value in index order until the callback sets stop. On a stale flat copy
  /// the visited values are also written into it; it counts as current only after a walk
  /// that was not stopped. The callbacks of every enumeration must not change the buffer.
  void enumerate(const VPKFloatBufferEnumerationBlock& block) const;
  /// Visits [location, location + length) in order until stop; throws VPKRangeException when
  /// the range passes the end.
  void enumerateInRange(uint64_t location, uint64_t length, const VPKFloatBufferEnumerationBlock& block) const;
  /// Calls the callback for every index on the dispatch layer's parallel-for; once a call
  /// sets stop, calls that start afterwards are skipped. The flat copy is current afterwards.
  /// The callback runs on several threads at once and on the calling thread.
  void enumerateConcurrent(const VPKFloatBufferEnumerationBlock& block) const;
  /// Ascending indexes of the values that pass `test` (walking as enumerate()).
  VPKIndexSet indexesOfValuesPassingTest(const VPKFloatBufferTestBlock& test) const;
  /// Throws VPKRangeException when location + length exceeds size.
  void checkRange(uint64_t location, uint64_t length) const;
  /// Same size and the same values: within 1.1920929e-7 when both flat copies are current,
  /// exactly otherwise.
  bool isEqual(const VPKFloatBuffer& other) const;
  bool isEqual(const std::shared_ptr<const VPKFloatBuffer>& other) const { return other && isEqual(*other); }
  uint64_t hash() const { return size_; }
  /// "<VPKFloatBuffer:0x…> count = N\n\t{\n\tv0,\n\tv1…\n\t}", values in shortest
  /// round-trip decimal form.
  std::string description() const override;

  // ------------------------------------------------------------------ keyed archiving

  std::string archiveClassName() const override { return "VPKFloatBuffer"; }
  /// Refreshes the flat copy and writes the keys above.
  void encodeWithCoder(vpk::KeyedArchiver& coder) const override;
  /// The buffer decoded from the object `coder` is reading; nullptr (and the archive
  /// refused) when the archived state is damaged.
  static Ptr createWithCoder(vpk::KeyedUnarchiver& coder);

  // ------------------------------------------------------------------ plain properties

  /// A tag for the owner's use; the buffer never reads it.
  uint64_t mode() const { return mode_; }
  void setMode(uint64_t mode) { mode_ = mode; }
  /// The buffer this one was made from by immutableReferenceCopy() (strong).
  std::shared_ptr<VPKFloatBuffer> referenceBuffer() const { return referenceBuffer_; }
  void setReferenceBuffer(std::shared_ptr<VPKFloatBuffer> buffer) { referenceBuffer_ = std::move(buffer); }

 private:
  template <class T>
  static decltype(auto) deref(T&& object) {
    if constexpr (requires { *object; } && !std::is_arithmetic_v<std::remove_cvref_t<T>>)
      return (*object);
    else
      return (std::forward<T>(object));
  }
  static Ptr adopt(std::shared_ptr<VPKFloatBuffer> buffer);
  Ptr self() const;

  void refresh() const;               // flat copy <- window when stale
  void copyWindowTo(float* dest) const;
  void loadWindowFromFlat();          // window <- flat copy
  void clearDerived();                // every derived result, extremes included
  void clearValueCaches() const;      // mean, median, sorted, sdev, NaN flag, number array
  void detachSharedArray();           // a reference copy takes its own array
  void computeExtremes() const;

  std::weak_ptr<VPKFloatBuffer> weakSelf_;
  // The window of a mutable buffer: a ring of size_ slots, head_ = oldest value.
  std::vector<float> ring_;
  uint64_t head_ = 0;
  uint64_t size_ = 0;
  uint64_t inserts_ = 0;
  float* backingCache_ = nullptr;
  bool freeWhenDone_ = true;
  mutable bool hasBackingCache_ = true;
  mutable std::vector<float> sortedBackingCache_;
  mutable bool hasSortedBackingCache_ = false;
  mutable bool hasCachedMedian_ = false;
  mutable float cachedMedian_ = 0;
  mutable bool hasCachedMean_ = false;
  mutable float cachedMean_ = 0;
  mutable bool hasCachedNaNs_ = false;
  mutable bool cachedHasNaNs_ = false;
  mutable bool hasCachedStdDev_ = false;
  mutable float cachedStdDev_ = 0;
  mutable std::shared_ptr<const VPKNumberArray> cachedNSArray_;
  mutable bool hasMinMax_ = false;
  bool immutable_ = false;
  mutable float minFloatValue_ = 0;
  mutable float maxFloatValue_ = 0;
  uint64_t mode_ = 0;
  std::shared_ptr<VPKFloatBuffer> referenceBuffer_;
  // The buffer that owns the shared flat array of a reference copy; independent of
  // referenceBuffer_, so resetting that property never frees the array under us.
  std::shared_ptr<const VPKFloatBuffer> arrayOwner_;
};

template <class Filter>
VPKFloatBuffer::Ptr VPKFloatBuffer::bufferByApplyingFilter(Filter&& filter) {
  auto&& f = deref(std::forward<Filter>(filter));
  if constexpr (requires { f.filteredFloatBuffer(*this); })
    return f.filteredFloatBuffer(*this);
  else
    return f.filteredFloatBuffer(self());
}

template <class Filter>
void VPKFloatBuffer::applyFilter(Filter&& filter) {
  auto&& f = deref(std::forward<Filter>(filter));
  applyInPlace([&f](float* values, uint64_t n) { f.filter(values, n); });
}
