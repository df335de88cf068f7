// The package information through a real kelvo process, over its engine
// socket, with the bundle file the build wrote beside the executable.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "host/testing/kelvo_process.h"
#include "services/package_info/file_dates.h"
#include "services/package_info/package_info_plugin.h"

namespace kelvo {
namespace {

using testing::HostEnvironment;
using testing::KelvoProcess;

std::string BundleDirectoryMillis() {
  std::string dir = std::filesystem::path(KELVO_BUNDLE_INFO_FILE).parent_path().string();
  return TimeMillisString(ModificationDate(dir)).value_or("<no date>");
}

TEST(PackageInfoProcessTest, GetAllReportsTheBuildsBundle) {
  // The build writes the bundle file where the service looks: beside kelvo.
  ASSERT_EQ(std::filesystem::path(KELVO_BINARY).parent_path(),
            std::filesystem::path(KELVO_BUNDLE_INFO_FILE).parent_path());
  HostEnvironment env;
  KelvoProcess kelvo(env);
  ASSERT_EQ(kelvo.Start(), std::nullopt);

  // Someone rebuilding kelvo meanwhile may touch the directory.
  const std::string before = BundleDirectoryMillis();
  testing::CallReply reply = kelvo.Call("getAll", Value(), kPackageInfoChannel);
  const std::string after = BundleDirectoryMillis();
  ASSERT_TRUE(reply.value && reply.value->is_map()) << reply.Describe();
  const Value* update = reply.value->find("updateTime");
  ASSERT_TRUE(update && update->is_string()) << reply.Describe();
  EXPECT_TRUE(update->as_string() == before || update->as_string() == after)
      << update->as_string() << " not " << before;
  EXPECT_EQ(*reply.value, Value(ValueMap{{"appName", "Kelvo"},
                                         {"packageName", "net.kelvo.app"},
                                         {"version", KELVO_PROJECT_VERSION},
                                         {"buildNumber", KELVO_BUILD_NUMBER},
                                         {"installerStore", Value()},
                                         {"installTime", *update},
                                         {"updateTime", *update}}));

  testing::CallReply other = kelvo.Call("getVersion", Value(), kPackageInfoChannel);
  EXPECT_FALSE(other.answered) << other.Describe();
  EXPECT_EQ(kelvo.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace kelvo
