#include <VemraPlatformKit/dsp/VPKFIRFilter.h>

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class VPKFIRFilterFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("vpk-fir-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& text) {
    const fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  }

  fs::path dir_;
};

std::vector<float> run(VPKFIRFilter& f, std::vector<float> v) {
  f.filter(v.data(), v.size());
  return v;
}

}  // namespace

TEST(VPKFIRFilterParsing, PiecesAreTrimmedAndReadByTheirLeadingNumber) {
  auto h = VPKFIRFilter::parseCoefficients(" 0.25,\t-1.5e1 ,\n\n, 2x , nan,+.5,3e, 1e-60,7\r\n");
  ASSERT_TRUE(h);
  EXPECT_EQ(*h, (std::vector<float>{0.25f, -15.0f, 2.0f, 0.0f, 0.5f, 3.0f, 0.0f, 7.0f}));

  EXPECT_FALSE(VPKFIRFilter::parseCoefficients("1,1e39"));  // not a float
  EXPECT_TRUE(VPKFIRFilter::parseCoefficients(",, \n")->empty());

  std::string many;
  for (std::size_t i = 0; i <= VPKFIRFilter::kMaxCoefficients; ++i) many += "1,";
  EXPECT_FALSE(VPKFIRFilter::parseCoefficients(many));
}

TEST_F(VPKFIRFilterFiles, FiltersEachBlockAsACentredConvolution) {
  auto smooth = VPKFIRFilter::create(write("smooth.txt", "0.25,0.5,0.25"));
  EXPECT_EQ(smooth->filterLength(), 3u);
  // An impulse stays where it was, spread over its neighbours.
  EXPECT_EQ(run(*smooth, {0, 0, 4, 0, 0}), (std::vector<float>{0, 1, 2, 1, 0}));
  // Values outside the block count as zero, and no state carries over.
  EXPECT_EQ(run(*smooth, {4, 4}), (std::vector<float>{3, 3}));
  EXPECT_EQ(run(*smooth, {4, 4}), (std::vector<float>{3, 3}));

  // An asymmetric kernel shows the direction: h[0] weighs the sample L/2 ahead.
  auto shift = VPKFIRFilter::create(write("shift.txt", "1,0,0"));
  EXPECT_EQ(run(*shift, {1, 2, 3, 4}), (std::vector<float>{2, 3, 4, 0}));
  auto even = VPKFIRFilter::create(write("even.txt", "0,0,1,0"));
  EXPECT_EQ(run(*even, {1, 2, 3, 4}), (std::vector<float>{1, 2, 3, 4}));

  // Blocks longer than the stack copy take the same path.
  std::vector<float> longBlock(1000);
  for (std::size_t i = 0; i < longBlock.size(); ++i) longBlock[i] = static_cast<float>(i % 7);
  std::vector<float> out = run(*smooth, longBlock);
  EXPECT_FLOAT_EQ(out[500], 0.25f * longBlock[499] + 0.5f * longBlock[500] + 0.25f * longBlock[501]);

  auto buffer = VPKFloatBuffer::createWithFloats(std::vector<float>{0, 0, 4, 0, 0}.data(), 5);
  auto filtered = smooth->filteredFloatBuffer(*buffer);
  EXPECT_TRUE(filtered->isImmutable());
  EXPECT_EQ(filtered->floatArray()[1], 1.0f);
  EXPECT_EQ(buffer->floatArray()[1], 0.0f);

  auto copy = smooth->copy();
  EXPECT_EQ(copy->coefficients(), smooth->coefficients());
  EXPECT_EQ(copy->filePath(), smooth->filePath());
}

TEST_F(VPKFIRFilterFiles, UnusableFilesLeaveAPassThroughFilter) {
  const std::vector<float> in{1, -2, 3, 0.5f};
  std::string huge(VPKFIRFilter::kMaxFileBytes + 10, ' ');
  huge[0] = '1';
  std::string binary(4096, '\0');
  for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 37);
  const std::vector<std::string> paths{
      (dir_ / "missing.txt").string(),
      dir_.string(),  // a folder
      write("huge.txt", huge),
      write("overflow.txt", "0.5,1e400,0.5"),
      write("empty.txt", " , \n"),
      "/dev/zero",  // never ends: must not be read
  };
  for (const auto& p : paths) {
    vpk::test::LogCapture log;
    VPKFIRFilter f(p);
    EXPECT_EQ(f.filterLength(), 0u) << p;
    EXPECT_EQ(run(f, in), in) << p;
    EXPECT_TRUE(log.contains("values pass through unchanged")) << p;
  }

  // Garbage that is not text still gives a filter that filters without failing.
  VPKFIRFilter garbage(write("garbage.bin", binary));
  std::vector<float> out = run(garbage, std::vector<float>(300, 1.0f));
  for (float v : out) EXPECT_TRUE(std::isfinite(v));

  // Reloading a bad file drops the coefficients of a good one.
  vpk::test::LogCapture log;
  VPKFIRFilter f(write("good.txt", "2"));
  EXPECT_EQ(run(f, in)[1], -4.0f);
  EXPECT_FALSE(f.setupWithFile((dir_ / "missing.txt").string()));
  EXPECT_EQ(run(f, in), in);
}
