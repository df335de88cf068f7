// A relative or missing HOME, and a relative App Group root, through a real
// kelvo: it refuses to start with one line that says why, and makes nothing
// relative to where it was started.
#include <gtest/gtest.h>

#include <filesystem>

#include "host/testing/kelvo_process.h"

namespace kelvo {
namespace {

using testing::HostEnvironment;
using testing::KelvoProcess;

TEST(HomeProcessTest, AnUnusableHomeOrAppGroupRootIsRefusedAtStartWithOneLine) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"HOME=relative/home"}, "no home directory: HOME is not an absolute path: relative/home"},
      {{"HOME"}, "no home directory: HOME is not set"},
      {{"HOME="}, "no home directory: HOME is not set"},
      // Absolute XDG directories do not make up for it: documents and
      // downloads still need the home directory.
      {{"HOME=relative/home", "XDG_STATE_HOME=/tmp"},
       "no home directory: HOME is not an absolute path: relative/home"},
      {{"KELVO_APP_GROUP_ROOT=app-groups"},
       "KELVO_APP_GROUP_ROOT is not an absolute path: app-groups"},
  };
  for (const auto& [variables, why] : cases) {
    SCOPED_TRACE(why);
    HostEnvironment env;
    env.extra_variables = variables;
    KelvoProcess kelvo(env);
    ASSERT_TRUE(kelvo.Start());
    EXPECT_EQ(kelvo.WaitForExit(std::chrono::seconds(10)), 1);
    EXPECT_EQ(kelvo.Stderr(), "kelvo: " + why + "\n");
    EXPECT_FALSE(std::filesystem::exists("relative"));
    EXPECT_FALSE(std::filesystem::exists("app-groups"));
  }
}

}  // namespace
}  // namespace kelvo
