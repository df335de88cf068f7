#include "platform/store/os_version.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace kelvo {
namespace {

TEST(OsVersionTest, ParsesOneToThreeComponentsAndNothingElse) {
  struct Case {
    const char* text;
    int major, minor, patch;
  };
  for (const Case& c : {Case{"12", 12, 0, 0}, Case{"14.4", 14, 4, 0}, Case{"15.0.1", 15, 0, 1},
                        Case{"0.0", 0, 0, 0}}) {
    std::optional<OperatingSystemVersion> v = ParseOperatingSystemVersion(c.text);
    ASSERT_TRUE(v) << c.text;
    EXPECT_EQ(v->major, c.major);
    EXPECT_EQ(v->minor, c.minor);
    EXPECT_EQ(v->patch, c.patch);
  }
  for (const char* bad : {"", ".", "14.", ".4", "14..4", "1.2.3.4", "v14", "14.4 ", "-1", "14.x", "99999"}) {
    EXPECT_FALSE(ParseOperatingSystemVersion(bad)) << bad;
  }
}

TEST(OsVersionTest, ComparesComponentByComponent) {
  OperatingSystemVersion v{14, 4, 0};
  EXPECT_TRUE(v.AtLeast(12));
  EXPECT_TRUE(v.AtLeast(14, 4));
  EXPECT_FALSE(v.AtLeast(14, 4, 1));
  EXPECT_FALSE(v.AtLeast(15));
  EXPECT_TRUE((OperatingSystemVersion{15, 0, 0}).AtLeast(14, 10));  // not a decimal number
  EXPECT_FALSE((OperatingSystemVersion{11, 99, 99}).AtLeast(12));
}

TEST(OsVersionTest, EnvironmentLowersTheVersionAndNonsenseIsIgnored) {
  unsetenv("KELVO_OS_VERSION");
  EXPECT_TRUE(CurrentOperatingSystemVersion().AtLeast(15));
  setenv("KELVO_OS_VERSION", "11.6", 1);
  EXPECT_FALSE(CurrentOperatingSystemVersion().AtLeast(12));
  setenv("KELVO_OS_VERSION", "twelve", 1);
  OperatingSystemVersion fallback = CurrentOperatingSystemVersion();
  EXPECT_EQ(fallback.major, 15);
  EXPECT_EQ(fallback.minor, 0);
  unsetenv("KELVO_OS_VERSION");
}

}  // namespace
}  // namespace kelvo
