#include <VemraPlatformKit/numeric/VPKFloatBuffer.h>
#include <VemraPlatformKit/numeric/VPKNumericExceptions.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace {

std::vector<float> values(const VPKFloatBuffer& b) {
  const float* p = b.floatArray();
  return std::vector<float>(p, p + b.count());
}

// The message of the exception of type E that `action` throws ("" when none).
template <class E, class F>
std::string messageOf(F&& action) {
  try {
    action();
  } catch (const E& e) {
    return e.what();
  }
  return "";
}

VPKFloatBuffer::Ptr mutableWith(std::vector<float> v) {
  auto b = VPKFloatBuffer::createWithSize(v.size());
  b->pushValues(v.data(), v.size());
  return b;
}

TEST(VPKFloatBuffer, SlidingWindowKeepsRunningExtremes) {
  auto b = VPKFloatBuffer::createWithSize(4);
  b->push(5);
  b->push(7);
  EXPECT_EQ(values(*b), (std::vector<float>{0, 0, 5, 7}));
  EXPECT_EQ(b->minFloatValue(), 5);  // the initial zeros do not count
  EXPECT_EQ(b->maxFloatValue(), 7);

  auto s = VPKFloatBuffer::createWithSize(4);
  const float ones[] = {1, 1, 1, 1};
  s->push(9);
  s->pushValues(ones, 4);
  EXPECT_EQ(values(*s), (std::vector<float>{1, 1, 1, 1}));
  EXPECT_EQ(s->maxFloatValue(), 9);  // slid out, still counts
  EXPECT_EQ(s->inserts(), 5u);

  s->scale(2);  // a transform recomputes extremes from the current values
  EXPECT_EQ(s->maxFloatValue(), 2);
  EXPECT_EQ(s->minFloatValue(), 2);
  s->clearCaches();
  s->push(-3);  // invalid extremes restart from the pushed values only
  EXPECT_EQ(s->minFloatValue(), -3);
  EXPECT_EQ(s->maxFloatValue(), -3);
}

TEST(VPKFloatBuffer, BulkPushesMatchSinglePushesAcrossTheRingBoundary) {
  auto single = VPKFloatBuffer::createWithSize(5);
  auto bulk = VPKFloatBuffer::createWithSize(5);
  std::vector<float> stream(5, 0.0f);  // the window's initial zeros
  for (int i = 0; i < 23; ++i) stream.push_back(static_cast<float>(i * i % 17) - 8.0f);
  for (size_t i = 5; i < stream.size(); ++i) single->push(stream[i]);
  // chunks of 3, 7 (longer than the window), 1, 12
  size_t at = 5;
  for (size_t chunk : {3u, 7u, 1u, 12u}) {
    bulk->pushValues(stream.data() + at, chunk);
    at += chunk;
    EXPECT_EQ(values(*bulk), std::vector<float>(stream.begin() + static_cast<long>(at) - 5, stream.begin() + static_cast<long>(at)))
        << "after " << at;
  }
  EXPECT_TRUE(single->isEqual(*bulk));
  EXPECT_EQ(single->minFloatValue(), -8);
  EXPECT_EQ(bulk->maxFloatValue(), single->maxFloatValue());

  auto empty = VPKFloatBuffer::createWithSize(0);  // accepts values and keeps none
  empty->push(4);
  EXPECT_EQ(empty->count(), 0u);
  EXPECT_EQ(empty->maxFloatValue(), 4);
  EXPECT_EQ(empty->meanFloatValue(), 0);
  EXPECT_EQ(empty->medianFloatValue(), 0);
  EXPECT_EQ(empty->standardDeviation(), 0);
  EXPECT_EQ(empty->createFloatArray(), nullptr);
}

TEST(VPKFloatBuffer, StatisticsAreSinglePrecision) {
  auto b = mutableWith({2, 4, 4, 4, 5, 5, 7, 9});
  EXPECT_EQ(b->standardDeviation(), 2.0f);
  EXPECT_EQ(b->meanFloatValue(), 5.0f);
  EXPECT_EQ(b->meanDoubleValue(), static_cast<double>(b->meanFloatValue()));
  EXPECT_EQ(mutableWith({4, 1, 3, 2})->medianFloatValue(), 3.0f);  // upper median
  EXPECT_EQ(mutableWith({5, 1, 3})->medianFloatValue(), 3.0f);

  // Summed in float, in order: 1e8 + 1 is 1e8 in float, so the mean is 0 (1/3 in double).
  auto cancel = mutableWith({1e8f, 1.0f, -1e8f});
  EXPECT_EQ(cancel->meanFloatValue(), 0.0f);
  const float third = 0.1f;
  auto tenths = mutableWith(std::vector<float>(10, third));
  float expected = 0;
  for (int i = 0; i < 10; ++i) expected += third;
  EXPECT_EQ(tenths->meanFloatValue(), expected / 10.0f);

  auto withNaN = mutableWith({3, NAN, 1, 2});
  EXPECT_EQ(withNaN->medianFloatValue(), 3.0f);  // NaNs sort last
  const float* sorted = withNaN->sortedFloatArray();
  EXPECT_EQ(sorted[0], 1);
  EXPECT_EQ(sorted[2], 3);
  EXPECT_TRUE(std::isnan(sorted[3]));
}

TEST(VPKFloatBuffer, EveryKindOfChangeInvalidatesTheCaches) {
  auto b = mutableWith({1, 2, 3, 4});
  EXPECT_EQ(b->meanFloatValue(), 2.5f);
  EXPECT_FALSE(b->containsNaNs());
  auto objects = b->allObjects();
  EXPECT_EQ(b->allObjects(), objects);  // cached

  b->push(8);  // 2 3 4 8
  EXPECT_EQ(b->meanFloatValue(), 4.25f);
  EXPECT_EQ(b->medianFloatValue(), 4.0f);
  EXPECT_NE(b->allObjects(), objects);
  EXPECT_EQ((*b->allObjects())[3], 8.0);

  b->scale(-1);  // -2 -3 -4 -8
  EXPECT_EQ(b->meanFloatValue(), -4.25f);
  EXPECT_EQ(b->minFloatValue(), -8.0f);
  b->absolute();
  EXPECT_EQ(b->medianFloatValue(), 4.0f);
  EXPECT_EQ(b->minFloatValue(), 2.0f);
  b->applyInPlace([](float* v, uint64_t) { v[0] = 100; });
  EXPECT_EQ(b->maxFloatValue(), 100.0f);
  EXPECT_EQ(b->sortedFloatArray()[3], 100.0f);

  float* direct = const_cast<float*>(b->floatArray());
  direct[1] = 50;
  b->processDirectMutations();
  EXPECT_EQ(b->standardDeviation(), mutableWith({100, 50, 4, 8})->standardDeviation());
  b->push(1);  // the window took the direct edit
  EXPECT_EQ(values(*b), (std::vector<float>{50, 4, 8, 1}));

  b->push(NAN);
  EXPECT_TRUE(b->containsNaNs());

  auto snapshot = VPKFloatBuffer::createWithFloats(std::vector<float>{1, 2, 3}.data(), 3);
  EXPECT_EQ(snapshot->meanFloatValue(), 2.0f);
  snapshot->mutableFloatArray()[0] = 7;
  snapshot->processDirectMutations();
  EXPECT_EQ(snapshot->meanFloatValue(), 4.0f);
  EXPECT_EQ(snapshot->maxFloatValue(), 7.0f);
  snapshot->clearCaches();  // an immutable buffer's flat array stays its values
  EXPECT_EQ(values(*snapshot), (std::vector<float>{7, 2, 3}));
}

TEST(VPKFloatBuffer, StoppedEnumerationLeavesTheFlatCopyStale) {
  auto b = mutableWith({1, 2, 3, 4});
  b->floatArray();
  b->push(5);  // stale: 2 3 4 5
  int visited = 0;
  b->enumerate([&](float v, uint64_t i, bool& stop) {
    EXPECT_EQ(v, 2.0f);
    EXPECT_EQ(i, 0u);
    ++visited;
    stop = true;
  });
  EXPECT_EQ(visited, 1);
  EXPECT_EQ(values(*b), (std::vector<float>{2, 3, 4, 5}));

  b->push(6);
  std::vector<float> seen;
  b->enumerate([&](float v, uint64_t, bool&) { seen.push_back(v); });
  EXPECT_EQ(seen, (std::vector<float>{3, 4, 5, 6}));
  float out[4];
  b->getFloatArray(out);
  EXPECT_EQ(std::vector<float>(out, out + 4), seen);

  b->push(7);  // getFloatArray reads the window without refreshing
  b->getFloatArray(out);
  EXPECT_EQ(out[3], 7.0f);
  EXPECT_EQ(b->floatArray()[3], 7.0f);
}

TEST(VPKFloatBuffer, MisuseThrowsWithExactMessages) {
  auto snapshot = VPKFloatBuffer::createWithFloats(std::vector<float>{1, 2}.data(), 2);
  EXPECT_EQ(messageOf<std::logic_error>([&] { snapshot->push(3); }),
            "Attempting to push to an VPKFloatBuffer marked immutable");
  EXPECT_THROW(snapshot->pushBuffer(*snapshot), VPKInternalInconsistencyException);
  EXPECT_EQ(values(*snapshot), (std::vector<float>{1, 2}));
  snapshot->convertToMutable();  // keeps the values and takes pushes again
  snapshot->push(3);
  EXPECT_EQ(values(*snapshot), (std::vector<float>{2, 3}));

  auto b = VPKFloatBuffer::createWithSize(4);
  EXPECT_EQ(messageOf<VPKInternalInconsistencyException>([&] { b->mutableFloatArray(); }),
            "Attempting to access mutableFloatArray when the VPKFloatBuffer is still mutable is prohibited");
  EXPECT_EQ(messageOf<std::out_of_range>([&] { b->enumerateInRange(3, 2, [](float, uint64_t, bool&) {}); }),
            "Range {3, 2} out of bounds for VPKFloatBuffer with size 4");
  int visited = 0;
  b->enumerateInRange(2, 2, [&](float, uint64_t, bool&) { ++visited; });
  EXPECT_EQ(visited, 2);
  float out[4];
  EXPECT_THROW(b->getFloatArray(out, 1, 4), VPKRangeException);
  EXPECT_THROW(b->subBufferInRange(std::numeric_limits<uint64_t>::max(), 2), VPKRangeException);
  EXPECT_THROW(b->bufferWithValuesAtIndexes({1, 4}), VPKRangeException);
}

TEST(VPKFloatBuffer, CopiesAreIndependentAndCarryTheirCaches) {
  auto b = mutableWith({9, 1, 1, 1});
  b->push(1);  // running max 9, stale flat copy
  EXPECT_EQ(b->meanFloatValue(), 1.0f);
  auto objects = b->allObjects();
  b->setMode(3);
  auto c = b->copy();
  EXPECT_FALSE(c->isImmutable());
  EXPECT_EQ(c->maxFloatValue(), 9.0f);
  EXPECT_EQ(c->inserts(), 5u);
  EXPECT_EQ(c->mode(), 0u);
  EXPECT_EQ(c->allObjects(), objects);
  c->push(5);
  EXPECT_EQ(values(*b), (std::vector<float>{1, 1, 1, 1}));
  EXPECT_EQ(values(*c), (std::vector<float>{1, 1, 1, 5}));

  auto frozen = b->immutableCopy();
  b->push(2);
  EXPECT_TRUE(frozen->isImmutable());
  EXPECT_EQ(values(*frozen), (std::vector<float>{1, 1, 1, 1}));
  EXPECT_EQ(values(*b->subBufferInRange(2, 2)), (std::vector<float>{1, 2}));
  EXPECT_FALSE(b->subBufferInRange(2, 2)->isImmutable());
  EXPECT_TRUE(b->immutableSubBufferInRange(1, 3)->isImmutable());

  float* owned = b->createFloatArray();  // adoptable by a new buffer, freed by it
  auto adopted = VPKFloatBuffer::createWithFloats(owned, 4, false);
  EXPECT_EQ(adopted->floatArray(), owned);
  EXPECT_TRUE(adopted->isEqual(b));
}

TEST(VPKFloatBuffer, ReferenceCopiesShareButNeverWriteIntoTheSource) {
  auto source = mutableWith({1, 2, 3});
  auto ref = source->immutableReferenceCopy();
  EXPECT_EQ(ref->floatArray(), source->floatArray());
  EXPECT_EQ(ref->referenceBuffer(), source);
  source->push(4);
  source->floatArray();
  EXPECT_EQ(values(*ref), (std::vector<float>{2, 3, 4}));  // sees the source's flat array

  std::weak_ptr<VPKFloatBuffer> weakSource = source;
  source.reset();
  ref->setReferenceBuffer(nullptr);  // the shared array still stays alive
  EXPECT_FALSE(weakSource.expired());
  EXPECT_EQ(values(*ref), (std::vector<float>{2, 3, 4}));

  auto src2 = mutableWith({1, -2, 3});
  auto scaled = src2->immutableReferenceCopy();
  scaled->absolute();
  EXPECT_EQ(values(*src2), (std::vector<float>{1, -2, 3}));
  EXPECT_EQ(values(*scaled), (std::vector<float>{1, 2, 3}));

  auto chained = src2->immutableReferenceCopy()->immutableReferenceCopy();
  auto middle = chained->referenceBuffer();
  middle->convertToMutable();  // takes its own array: neither the source nor `chained` change
  middle->push(9);
  middle->floatArray();
  EXPECT_EQ(values(*src2), (std::vector<float>{1, -2, 3}));
  EXPECT_EQ(values(*chained), (std::vector<float>{1, -2, 3}));
  EXPECT_EQ(middle->referenceBuffer(), nullptr);
}

TEST(VPKFloatBuffer, DerivedBuffersAndSelections) {
  auto b = mutableWith({1, 0});
  auto db = b->decibelBuffer();
  EXPECT_TRUE(db->isImmutable());
  EXPECT_NEAR(db->floatArray()[0], 0.0f, 1e-5);
  EXPECT_NEAR(db->floatArray()[1], -128.0f, 1e-4);
  auto emptyDb = VPKFloatBuffer::createWithSize(0)->decibelBuffer();
  EXPECT_EQ(emptyDb->count(), 0u);
  EXPECT_FALSE(emptyDb->isImmutable());

  auto p = mutableWith({4, NAN, -1})->indexPoints();
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[1].x, 0.5);
  EXPECT_EQ(p[2].x, 1.0);
  EXPECT_EQ(p[1].y, 0.0);
  EXPECT_EQ(mutableWith({4})->indexPoints()[0].x, 0.0);

  auto s = mutableWith({5, -2, 8, 0, 3});
  auto idx = s->indexesOfValuesPassingTest([](float v, uint64_t, bool&) { return v > 1; });
  EXPECT_EQ(idx, (VPKIndexSet{0, 2, 4}));
  auto picked = s->bufferWithValuesAtIndexes({4, 0, 4});  // taken as the set {0, 4}
  EXPECT_EQ(values(*picked), (std::vector<float>{5, 3}));
  EXPECT_EQ(picked->minFloatValue(), 3.0f);
  EXPECT_EQ(values(*s->scaledBuffer(2)), (std::vector<float>{10, -4, 16, 0, 6}));
  EXPECT_EQ(values(*s), (std::vector<float>{5, -2, 8, 0, 3}));  // the source is untouched
}

struct Doubler {
  int calls = 0;
  void filter(float* v, uint64_t n) {
    ++calls;
    for (uint64_t i = 0; i < n; ++i) v[i] *= 2;
  }
  VPKFloatBuffer::Ptr filteredFloatBuffer(const VPKFloatBuffer& b) {
    auto copy = b.immutableCopy();
    copy->applyFilter(*this);
    return copy;
  }
};

TEST(VPKFloatBuffer, FiltersRunInPlaceOrOnACopy) {
  auto b = mutableWith({1, 2, 3});
  auto filter = std::make_shared<Doubler>();
  b->applyFilter(filter);
  EXPECT_EQ(values(*b), (std::vector<float>{2, 4, 6}));
  b->push(1);
  EXPECT_EQ(values(*b), (std::vector<float>{4, 6, 1}));
  auto filtered = b->bufferByApplyingFilter(*filter);
  EXPECT_EQ(values(*filtered), (std::vector<float>{8, 12, 2}));
  EXPECT_EQ(values(*b), (std::vector<float>{4, 6, 1}));
  EXPECT_EQ(filter->calls, 2);
}

TEST(VPKFloatBuffer, EqualityToleratesOneUnitInTheLastPlace) {
  auto a = mutableWith({1, 2, 3});
  auto b = mutableWith({1, 2, 3});
  a->push(4);
  b->push(4);
  EXPECT_TRUE(a->isEqual(b));  // both stale
  a->floatArray();
  EXPECT_TRUE(a->isEqual(b));  // one current
  b->floatArray();
  EXPECT_TRUE(a->isEqual(b));
  EXPECT_FALSE(a->isEqual(VPKFloatBuffer::createWithSize(4)));
  EXPECT_FALSE(a->isEqual(nullptr));

  const float x[] = {1.0f, 2.0f}, y[] = {1.0f + 1.1920929e-7f, 2.0f};
  EXPECT_TRUE(VPKFloatBuffer::createWithFloats(x, 2)->isEqual(VPKFloatBuffer::createWithFloats(y, 2)));
  EXPECT_FALSE(__flcmp(x, x + 1, 1));
  EXPECT_TRUE(__flcmp(nullptr, nullptr, 0));
}

}  // namespace
