#include <VemraPlatformKit/platform/files/PathSafety.h>

#include <gtest/gtest.h>

using vpk::isSafePathComponent;

TEST(PathSafety, AcceptsOnlySingleHarmlessComponents) {
  for (const char* ok : {"params", "core", "auto_connected_device", "E621E1F8-C36C-495A-93FC-0C247A3E6E5F",
                         "..hidden", "a..b", "name with spaces", "ünïcødé"})
    EXPECT_TRUE(isSafePathComponent(ok)) << ok;
  for (std::string_view bad : {"", ".", "..", "a/b", "/etc", "../x", "x/..", "a\\b", "tab\there", "line\nfeed"})
    EXPECT_FALSE(isSafePathComponent(bad)) << bad;
  EXPECT_FALSE(isSafePathComponent(std::string_view("a\0b", 3)));
  EXPECT_FALSE(isSafePathComponent(std::string(256, 'a')));
  EXPECT_TRUE(isSafePathComponent(std::string(255, 'a')));
}

TEST(PathSafety, ChildPathsStayInsideTheRoot) {
  EXPECT_EQ(vpk::safeChildPath("/data/store", "info"), std::filesystem::path("/data/store/info"));
  EXPECT_FALSE(vpk::safeChildPath("/data/store", ".."));
  EXPECT_FALSE(vpk::safeChildPath("/data/store", "../../etc/passwd"));

  EXPECT_TRUE(vpk::isPathInside("/data/store", "/data/store"));
  EXPECT_TRUE(vpk::isPathInside("/data/store/", "/data/store/core/params"));
  EXPECT_TRUE(vpk::isPathInside("/data/store", "/data/store/core/../params"));
  EXPECT_FALSE(vpk::isPathInside("/data/store", "/data/store/../other"));
  EXPECT_FALSE(vpk::isPathInside("/data/store", "/data/storefront"));
  EXPECT_FALSE(vpk::isPathInside("/data/store", "/data"));
  EXPECT_FALSE(vpk::isPathInside("/data/store", "relative/store"));
}
