#include <VemraPlatformKit/numeric/VPKFloatBuffer.h>
#include <VemraPlatformKit/frame/VPKDispatch.h>
#include <VemraPlatformKit/numeric/VPKNumericExceptions.h>
#include <VemraPlatformKit/platform/values/KeyedArchiver.h>
#include <VemraPlatformKit/platform/values/KeyedUnarchiver.h>

#include "numeric/FloatMath.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>

namespace {

constexpr float kLargestFloat = std::numeric_limits<float>::max();  // 3.4028235e38
constexpr float kEpsilon = std::numeric_limits<float>::epsilon();    // 1.1920929e-7
constexpr float kDecibelOffset = 1.5849e-13f;                         // 10^-12.8: 0 -> -128 dB

[[noreturn]] void throwImmutablePush() {
  throw VPKInternalInconsistencyException("Attempting to push to an VPKFloatBuffer marked immutable");
}

void copyFloats(float* dest, const float* source, uint64_t n) {
  if (n > 0) std::memcpy(dest, source, n * sizeof(float));
}

}  // namespace

bool __flcmp(const float* a, const float* b, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) {
    if (!(std::fabs(a[i] - b[i]) <= kEpsilon)) return false;
  }
  return true;
}

// ==================================================================== creation

VPKFloatBuffer::VPKFloatBuffer(ConstructionKey, uint64_t size)
    : ring_(size, 0.0f), size_(size), backingCache_(vpk::detail::allocateZeroedArray<float>(size)) {}

VPKFloatBuffer::VPKFloatBuffer(ConstructionKey, float* values, uint64_t size, bool copy)
    : size_(size), immutable_(true) {
  if (copy || (values == nullptr && size > 0)) {
    if (values) {
      backingCache_ = vpk::detail::allocateArray<float>(size);
      copyFloats(backingCache_, values, size);
    } else {
      backingCache_ = vpk::detail::allocateZeroedArray<float>(size);
    }
  } else {
    backingCache_ = values;
  }
}

VPKFloatBuffer::~VPKFloatBuffer() {
  if (freeWhenDone_) std::free(backingCache_);
}

VPKFloatBuffer::Ptr VPKFloatBuffer::adopt(std::shared_ptr<VPKFloatBuffer> buffer) {
  buffer->weakSelf_ = buffer;
  return buffer;
}

VPKFloatBuffer::Ptr VPKFloatBuffer::self() const { return weakSelf_.lock(); }

VPKFloatBuffer::Ptr VPKFloatBuffer::createWithSize(uint64_t n) {
  return adopt(std::make_shared<VPKFloatBuffer>(ConstructionKey{}, n));
}

VPKFloatBuffer::Ptr VPKFloatBuffer::createWithFloats(const float* values, uint64_t n) {
  return adopt(std::make_shared<VPKFloatBuffer>(ConstructionKey{}, const_cast<float*>(values), n, true));
}

VPKFloatBuffer::Ptr VPKFloatBuffer::createWithFloats(float* values, uint64_t n, bool copy) {
  return adopt(std::make_shared<VPKFloatBuffer>(ConstructionKey{}, values, n, copy));
}

VPKFloatBuffer::Ptr VPKFloatBuffer::copy() const {
  Ptr result;
  if (immutable_) {
    result = createWithFloats(backingCache_, size_);
  } else {
    result = createWithSize(size_);
    result->ring_ = ring_;
    result->head_ = head_;
    result->hasBackingCache_ = hasBackingCache_;
    if (hasBackingCache_) copyFloats(result->backingCache_, backingCache_, size_);
  }
  result->inserts_ = inserts_;
  result->hasCachedMean_ = hasCachedMean_;
  result->cachedMean_ = cachedMean_;
  result->hasCachedMedian_ = hasCachedMedian_;
  result->cachedMedian_ = cachedMedian_;
  result->hasCachedStdDev_ = hasCachedStdDev_;
  result->cachedStdDev_ = cachedStdDev_;
  result->cachedNSArray_ = cachedNSArray_;
  result->hasMinMax_ = hasMinMax_;
  result->minFloatValue_ = minFloatValue_;
  result->maxFloatValue_ = maxFloatValue_;
  return result;
}

VPKFloatBuffer::Ptr VPKFloatBuffer::immutableCopy() const {
  refresh();
  return createWithFloats(backingCache_, size_);
}

VPKFloatBuffer::Ptr VPKFloatBuffer::immutableReferenceCopy() const {
  Ptr source = self();
  if (!source) return immutableCopy();  // not shared-owned: nothing could keep it alive
  refresh();
  auto result = createWithFloats(nullptr, 0, false);
  result->size_ = size_;
  result->backingCache_ = backingCache_;
  result->freeWhenDone_ = false;
  result->hasBackingCache_ = true;
  result->referenceBuffer_ = source;
  result->arrayOwner_ = freeWhenDone_ ? std::shared_ptr<const VPKFloatBuffer>(source) : arrayOwner_;
  return result;
}

VPKFloatBuffer::Ptr VPKFloatBuffer::subBufferInRange(uint64_t location, uint64_t length) const {
  checkRange(location, length);
  refresh();
  auto result = createWithSize(length);
  copyFloats(result->ring_.data(), backingCache_ + location, length);
  copyFloats(result->backingCache_, backingCache_ + location, length);
  return result;
}

VPKFloatBuffer::Ptr VPKFloatBuffer::immutableSubBufferInRange(uint64_t location, uint64_t length) const {
  checkRange(location, length);
  refresh();
  return createWithFloats(backingCache_ + location, length);
}

namespace {
// The indexes as a set: ascending, no repeats (copied only when the caller's are not).
const VPKIndexSet& normalizedIndexes(const VPKIndexSet& indexes, VPKIndexSet& storage) {
  if (std::adjacent_find(indexes.begin(), indexes.end(), std::greater_equal<>()) == indexes.end()) return indexes;
  storage = indexes;
  std::sort(storage.begin(), storage.end());
  storage.erase(std::unique(storage.begin(), storage.end()), storage.end());
  return storage;
}
}  // namespace

VPKFloatBuffer::Ptr VPKFloatBuffer::bufferWithValuesAtIndexes(const VPKIndexSet& indexes) const {
  VPKIndexSet storage;
  const VPKIndexSet& set = normalizedIndexes(indexes, storage);
  auto result = createWithFloats(nullptr, set.size(), true);
  getFloatArray(result->backingCache_, set);
  float lo = kLargestFloat, hi = -kLargestFloat;
  for (uint64_t i = 0; i < set.size(); ++i) {
    const float v = result->backingCache_[i];
    lo = v < lo ? v : lo;
    hi = v > hi ? v : hi;
  }
  result->minFloatValue_ = set.empty() ? 0.0f : lo;
  result->maxFloatValue_ = set.empty() ? 0.0f : hi;
  result->hasMinMax_ = true;
  return result;
}

VPKFloatBuffer::Ptr VPKFloatBuffer::scaledBuffer(float factor) const {
  auto result = immutableCopy();
  result->scale(factor);
  return result;
}

VPKFloatBuffer::Ptr VPKFloatBuffer::absoluteBuffer() const {
  auto result = immutableCopy();
  result->absolute();
  return result;
}

VPKFloatBuffer::Ptr VPKFloatBuffer::decibelBuffer() const {
  if (size_ == 0) return createWithSize(0);
  refresh();
  float* out = vpk::detail::allocateArray<float>(size_);
  for (uint64_t i = 0; i < size_; ++i) out[i] = 10.0f * std::log10(backingCache_[i] + kDecibelOffset);
  return createWithFloats(out, size_, false);
}

// ==================================================================== pushing

void VPKFloatBuffer::push(float value) {
  if (immutable_) throwImmutablePush();
  float lo = minFloatValue_, hi = maxFloatValue_;
  if (inserts_ == 0 || !hasMinMax_) {
    lo = kLargestFloat;
    hi = -kLargestFloat;
  }
  if (size_ > 0) {
    ring_[head_] = value;
    head_ = head_ + 1 == size_ ? 0 : head_ + 1;
  }
  inserts_ += 1;
  minFloatValue_ = value < lo ? value : lo;
  maxFloatValue_ = value > hi ? value : hi;
  hasMinMax_ = true;
  hasBackingCache_ = false;
  clearValueCaches();
}

void VPKFloatBuffer::pushValues(const float* values, uint64_t n) {
  if (immutable_) throwImmutablePush();
  if (n == 0) return;

  float lo = minFloatValue_, hi = maxFloatValue_;
  if (inserts_ == 0 || !hasMinMax_) {
    lo = kLargestFloat;
    hi = -kLargestFloat;
  }
  for (uint64_t i = 0; i < n; ++i) {
    const float v = values[i];
    lo = v < lo ? v : lo;
    hi = v > hi ? v : hi;
  }

  if (size_ > 0) {
    // Only the last `size_` values stay in the window.
    const float* source = values;
    uint64_t count = n;
    if (count >= size_) {
      source += count - size_;
      count = size_;
    }
    const uint64_t first = std::min(count, size_ - head_);
    copyFloats(ring_.data() + head_, source, first);
    copyFloats(ring_.data(), source + first, count - first);
    head_ += count;
    if (head_ >= size_) head_ -= size_;
  }

  inserts_ += n;
  minFloatValue_ = lo;
  maxFloatValue_ = hi;
  hasMinMax_ = true;
  hasBackingCache_ = false;
  clearValueCaches();
}

void VPKFloatBuffer::pushBuffer(const VPKFloatBuffer& other) {
  if (immutable_) throwImmutablePush();
  pushValues(other.floatArray(), other.count());
}

// ==================================================================== reading

void VPKFloatBuffer::copyWindowTo(float* dest) const {
  const uint64_t first = size_ - head_;
  copyFloats(dest, ring_.data() + head_, first);
  copyFloats(dest + first, ring_.data(), head_);
}

void VPKFloatBuffer::refresh() const {
  if (hasBackingCache_ || immutable_) return;
  copyWindowTo(backingCache_);
  hasBackingCache_ = true;
}

void VPKFloatBuffer::loadWindowFromFlat() {
  ring_.resize(size_);
  copyFloats(ring_.data(), backingCache_, size_);
  head_ = 0;
}

const float* VPKFloatBuffer::floatArray() const {
  refresh();
  return backingCache_;
}

float* VPKFloatBuffer::mutableFloatArray() {
  if (!immutable_) {
    throw VPKInternalInconsistencyException(
        "Attempting to access mutableFloatArray when the VPKFloatBuffer is still mutable is prohibited");
  }
  detachSharedArray();
  return backingCache_;
}

void VPKFloatBuffer::getFloatArray(float* dest) const {
  if (hasBackingCache_ || immutable_)
    copyFloats(dest, backingCache_, size_);
  else
    copyWindowTo(dest);
}

void VPKFloatBuffer::getFloatArray(float* dest, bool rebuild) const {
  if (rebuild) refresh();
  getFloatArray(dest);
}

void VPKFloatBuffer::getFloatArray(float* dest, uint64_t location, uint64_t length) const {
  checkRange(location, length);
  refresh();
  copyFloats(dest, backingCache_ + location, length);
}

void VPKFloatBuffer::getFloatArray(float* dest, const VPKIndexSet& indexes) const {
  VPKIndexSet storage;
  const VPKIndexSet& set = normalizedIndexes(indexes, storage);
  if (!set.empty() && set.back() >= size_) checkRange(set.back(), 1);
  const bool flat = hasBackingCache_ || immutable_;
  for (uint64_t i = 0; i < set.size(); ++i) {
    const uint64_t index = set[i];
    dest[i] = flat ? backingCache_[index] : ring_[(head_ + index) % size_];
  }
}

float* VPKFloatBuffer::createFloatArray() const {
  if (size_ == 0) return nullptr;
  float* result = vpk::detail::allocateArray<float>(size_);
  getFloatArray(result);
  return result;
}

float* VPKFloatBuffer::createFloatArrayAndrebuildBackingCache(bool rebuild) const {
  if (rebuild) refresh();
  return createFloatArray();
}

const float* VPKFloatBuffer::sortedFloatArray() const {
  if (hasSortedBackingCache_) return sortedBackingCache_.data();
  refresh();
  sortedBackingCache_.resize(size_);
  copyFloats(sortedBackingCache_.data(), backingCache_, size_);
  vpk::detail::sortNaNsLast(sortedBackingCache_.data(), sortedBackingCache_.data() + size_);
  hasSortedBackingCache_ = true;
  return sortedBackingCache_.data();
}

std::shared_ptr<const VPKNumberArray> VPKFloatBuffer::allObjects() const {
  if (cachedNSArray_ && cachedNSArray_->count() == size_) return cachedNSArray_;
  refresh();
  cachedNSArray_ = std::make_shared<const VPKNumberArray>(VPKNumberArray::arrayWithFloats(backingCache_, size_));
  return cachedNSArray_;
}

std::vector<VPKPoint> VPKFloatBuffer::indexPoints() const {
  refresh();
  std::vector<VPKPoint> points(size_);
  const double last = size_ > 1 ? static_cast<double>(size_ - 1) : 1.0;
  for (uint64_t i = 0; i < size_; ++i) {
    const float v = backingCache_[i];
    points[i] = {static_cast<double>(i) / last, std::isfinite(v) ? static_cast<double>(v) : 0.0};
  }
  return points;
}

// ==================================================================== statistics

void VPKFloatBuffer::computeExtremes() const {
  refresh();
  float lo = kLargestFloat, hi = -kLargestFloat;
  for (uint64_t i = 0; i < size_; ++i) {
    const float v = backingCache_[i];
    lo = v < lo ? v : lo;
    hi = v > hi ? v : hi;
  }
  minFloatValue_ = size_ == 0 ? 0.0f : lo;
  maxFloatValue_ = size_ == 0 ? 0.0f : hi;
  hasMinMax_ = true;
}

float VPKFloatBuffer::minFloatValue() const {
  if (!hasMinMax_) computeExtremes();
  return minFloatValue_;
}

float VPKFloatBuffer::maxFloatValue() const {
  if (!hasMinMax_) computeExtremes();
  return maxFloatValue_;
}

float VPKFloatBuffer::medianFloatValue() const {
  if (hasCachedMedian_) return cachedMedian_;
  float median = 0.0f;
  if (size_ > 0) {
    const uint64_t middle = size_ / 2;
    if (hasSortedBackingCache_) {
      median = sortedBackingCache_[middle];
    } else {
      // Selection instead of a full sort; the scratch space is the sorted copy's array,
      // which is left marked unsorted.
      refresh();
      sortedBackingCache_.resize(size_);
      float* first = sortedBackingCache_.data();
      copyFloats(first, backingCache_, size_);
      float* numbers = vpk::detail::partitionNaNsLast(first, first + size_);
      if (first + middle < numbers) {
        std::nth_element(first, first + middle, numbers);
      }
      median = first[middle];
    }
  }
  cachedMedian_ = median;
  hasCachedMedian_ = true;
  return median;
}

float VPKFloatBuffer::meanFloatValue() const {
  if (hasCachedMean_) return cachedMean_;
  refresh();
  cachedMean_ = vpk::detail::meanFloat(backingCache_, size_);
  hasCachedMean_ = true;
  return cachedMean_;
}

float VPKFloatBuffer::standardDeviation() const {
  if (hasCachedStdDev_) return cachedStdDev_;
  refresh();
  const float mean = hasCachedMean_ ? cachedMean_ : vpk::detail::meanFloat(backingCache_, size_);
  cachedStdDev_ = vpk::detail::deviationFloat(backingCache_, size_, mean);
  hasCachedStdDev_ = true;
  return cachedStdDev_;
}

bool VPKFloatBuffer::containsNaNs() const {
  if (hasCachedNaNs_) return cachedHasNaNs_;
  bool found = false;
  if (hasBackingCache_ || immutable_) {
    for (uint64_t i = 0; i < size_ && !found; ++i) found = std::isnan(backingCache_[i]);
  } else {
    for (float v : ring_) {
      if (std::isnan(v)) {
        found = true;
        break;
      }
    }
  }
  cachedHasNaNs_ = found;
  hasCachedNaNs_ = true;
  return found;
}

// ==================================================================== transforms

void VPKFloatBuffer::detachSharedArray() {
  if (freeWhenDone_) return;
  float* own = vpk::detail::allocateArray<float>(size_);
  copyFloats(own, backingCache_, size_);
  backingCache_ = own;
  freeWhenDone_ = true;
  arrayOwner_.reset();
}

void VPKFloatBuffer::applyInPlace(const std::function<void(float* values, uint64_t n)>& transform) {
  detachSharedArray();
  refresh();
  transform(backingCache_, size_);
  if (!immutable_) loadWindowFromFlat();
  hasBackingCache_ = true;
  clearDerived();
}

void VPKFloatBuffer::scale(float factor) {
  applyInPlace([factor](float* values, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) values[i] *= factor;
  });
}

void VPKFloatBuffer::absolute() {
  applyInPlace([](float* values, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) values[i] = std::fabs(values[i]);
  });
}

// ==================================================================== mode of life

void VPKFloatBuffer::setImmutable(bool immutable) {
  if (immutable == immutable_) return;
  if (immutable)
    convertToImmutable();
  else
    convertToMutable();
}

void VPKFloatBuffer::convertToMutable() {
  if (!immutable_) return;
  if (!freeWhenDone_) {
    // A reference copy: from now on the window is written back into the flat array, which
    // must not be the source's.
    detachSharedArray();
    referenceBuffer_.reset();
  }
  loadWindowFromFlat();
  immutable_ = false;
  hasBackingCache_ = true;
}

void VPKFloatBuffer::convertToImmutable() {
  if (immutable_) return;
  refresh();
  std::vector<float>().swap(ring_);
  head_ = 0;
  immutable_ = true;
}

// ==================================================================== direct edits, caches

void VPKFloatBuffer::clearValueCaches() const {
  cachedNSArray_.reset();
  hasSortedBackingCache_ = false;
  hasCachedMedian_ = false;
  hasCachedMean_ = false;
  hasCachedNaNs_ = false;
  hasCachedStdDev_ = false;
}

void VPKFloatBuffer::clearDerived() {
  clearValueCaches();
  hasMinMax_ = false;
}

void VPKFloatBuffer::processDirectMutations() {
  if (!immutable_) {
    if (hasBackingCache_)
      loadWindowFromFlat();
    else
      refresh();  // nothing was written through a stale copy: the window holds the values
  }
  hasBackingCache_ = true;
  clearDerived();
}

void VPKFloatBuffer::synchronize() {
  if (!hasBackingCache_ && !immutable_) return;
  if (!immutable_) loadWindowFromFlat();
  clearDerived();
  hasBackingCache_ = true;
}

void VPKFloatBuffer::rebuildBackingCache() const { refresh(); }

void VPKFloatBuffer::clearCaches() {
  clearDerived();
  if (!immutable_) hasBackingCache_ = false;
}

// ==================================================================== enumeration, selection

void VPKFloatBuffer::enumerate(const VPKFloatBufferEnumerationBlock& block) const {
  bool stop = false;
  if (hasBackingCache_ || immutable_) {
    for (uint64_t i = 0; i < size_ && !stop; ++i) block(backingCache_[i], i, stop);
    return;
  }
  uint64_t slot = head_;
  for (uint64_t i = 0; i < size_ && !stop; ++i) {
    const float v = ring_[slot];
    slot = slot + 1 == size_ ? 0 : slot + 1;
    backingCache_[i] = v;
    block(v, i, stop);
  }
  if (!stop) hasBackingCache_ = true;
}

void VPKFloatBuffer::enumerateInRange(uint64_t location, uint64_t length,
                                      const VPKFloatBufferEnumerationBlock& block) const {
  checkRange(location, length);
  refresh();
  bool stop = false;
  for (uint64_t i = location; i < location + length && !stop; ++i) block(backingCache_[i], i, stop);
}

void VPKFloatBuffer::enumerateConcurrent(const VPKFloatBufferEnumerationBlock& block) const {
  refresh();
  const float* values = backingCache_;
  std::atomic<bool> stopped{false};
  __vpk_parallel(size_, [&](size_t index, bool& chunkStop) {
    if (stopped.load(std::memory_order_acquire)) {
      chunkStop = true;
      return;
    }
    bool stop = false;
    block(values[index], index, stop);
    if (stop) {
      stopped.store(true, std::memory_order_release);
      chunkStop = true;
    }
  });
}

VPKIndexSet VPKFloatBuffer::indexesOfValuesPassingTest(const VPKFloatBufferTestBlock& test) const {
  VPKIndexSet result;
  enumerate([&](float value, uint64_t index, bool& stop) {
    if (test(value, index, stop)) result.push_back(index);
  });
  return result;
}

void VPKFloatBuffer::checkRange(uint64_t location, uint64_t length) const {
  if (location > size_ || length > size_ - location) {
    throw VPKRangeException(fmt::format("Range {{{}, {}}} out of bounds for VPKFloatBuffer with size {}", location,
                                        length, size_));
  }
}

bool VPKFloatBuffer::isEqual(const VPKFloatBuffer& other) const {
  if (&other == this) return true;
  if (other.size_ != size_) return false;
  const bool mineCurrent = hasBackingCache_ || immutable_;
  const bool theirsCurrent = other.hasBackingCache_ || other.immutable_;
  if (mineCurrent && theirsCurrent) return __flcmp(backingCache_, other.backingCache_, size_);
  auto valueAt = [](const VPKFloatBuffer& b, uint64_t i) {
    return b.immutable_ ? b.backingCache_[i] : b.ring_[(b.head_ + i) % b.size_];
  };
  for (uint64_t i = 0; i < size_; ++i) {
    if (!(valueAt(*this, i) == valueAt(other, i))) return false;
  }
  return true;
}

std::string VPKFloatBuffer::description() const {
  refresh();
  std::string values;
  for (uint64_t i = 0; i < size_; ++i) {
    if (i > 0) values += ",\n\t";
    values += fmt::format("{}", backingCache_[i]);
  }
  return fmt::format("<VPKFloatBuffer:{}> count = {}\n\t{{\n\t{}\n\t}}", fmt::ptr(this), size_, values);
}

// ==================================================================== keyed archiving

void VPKFloatBuffer::encodeWithCoder(vpk::KeyedArchiver& coder) const {
  refresh();
  coder.encodeBytes("cache", backingCache_, size_ * sizeof(float));
  coder.encodeInt("size", static_cast<int64_t>(size_));
  coder.encodeBool("immutable", immutable_);
  coder.encodeFloat("minFloatValue", minFloatValue());
  coder.encodeFloat("maxFloatValue", maxFloatValue());
}

VPKFloatBuffer::Ptr VPKFloatBuffer::createWithCoder(vpk::KeyedUnarchiver& coder) {
  const int64_t archivedSize = coder.decodeInt("size");
  const bool immutable = coder.decodeBool("immutable");
  const float maxValue = coder.decodeFloat("maxFloatValue");
  const float minValue = coder.decodeFloat("minFloatValue");
  const std::optional<std::vector<uint8_t>> cache = coder.decodeBytes("cache");
  const uint64_t bytes = cache ? cache->size() : 0;
  if (archivedSize < 0 || static_cast<uint64_t>(archivedSize) > bytes / sizeof(float)) {
    coder.refuse(fmt::format("VPKFloatBuffer of size {} with {} bytes of values", archivedSize, bytes));
    return nullptr;
  }
  const auto size = static_cast<uint64_t>(archivedSize);
  Ptr buffer = immutable ? createWithFloats(nullptr, size, true) : createWithSize(size);
  if (size > 0) {
    std::memcpy(buffer->backingCache_, cache->data(), size * sizeof(float));
    if (!immutable) copyFloats(buffer->ring_.data(), buffer->backingCache_, size);
  }
  buffer->minFloatValue_ = minValue;
  buffer->maxFloatValue_ = maxValue;
  return buffer;
}

namespace {
const bool kFloatBufferRegistered =
    vpk::registerArchivableClass("VPKFloatBuffer", {"VPKFloatBuffer", "NSObject"},
                                 [](vpk::KeyedUnarchiver& coder) -> std::shared_ptr<vpk::Archivable> {
                                   return VPKFloatBuffer::createWithCoder(coder);
                                 });
}  // namespace
