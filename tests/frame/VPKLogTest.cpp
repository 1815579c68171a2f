#include "support/LogCapture.h"

#include <VemraPlatformKit/frame/VPKLog.h>

#include <gtest/gtest.h>

#include <regex>
#include <thread>

namespace {

struct VerboseReset {
  ~VerboseReset() { VPKLogSetEnabled(false); }
};

TEST(VPKLog, QuietModeWritesLevelOneOnlyVerboseModeBothWithTheMainThreadFlag) {
  VerboseReset reset;
  vpk::test::LogCapture capture;
  VPKLogSetEnabled(false);
  VPKLog(0, "hidden {}", 1);
  VPKLog(1, "shown {}", 2);
  VPKLogSetEnabled(true);
  std::thread([] { VPKLog(0, "from worker"); }).join();
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(VemraPlatformKit\(\d\d:\d\d:\d\d\): shown 2\n)"))) << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(VPK\(\d\d:\d\d:\d\d\)\(M:0\): from worker\n)"))) << lines[1];
}

}  // namespace
