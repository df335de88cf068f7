// The path provider through a real kelvo process, over its engine socket.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <fstream>

#include "host/testing/kelvo_process.h"
#include "services/paths/path_provider_plugin.h"

namespace kelvo {
namespace {

using testing::HostEnvironment;
using testing::KelvoProcess;

class PathsProcessTest : public ::testing::Test {
 protected:
  // The reply's value, or a description of what came instead.
  Value Ask(const std::string& channel, const Value& argument) {
    EngineCallResult r = kelvo_.client().SendAndWait(
        channel, PathProviderCodec().Encode(ValueList{argument}), std::chrono::seconds(10));
    if (!r.ok()) return Value("transport error: " + *r.error);
    if (!r.reply) return Value("no reply");
    auto decoded = PathProviderCodec().Decode(*r.reply);
    if (!decoded.ok()) return Value("undecodable: " + decoded.error().message);
    return decoded.value();
  }
  static Value Ok(Value v) { return Value(ValueList{std::move(v)}); }

  HostEnvironment env_;
  KelvoProcess kelvo_{env_};
};

TEST_F(PathsProcessTest, DirectoriesAndContainersFromTheHostsEnvironment) {
  std::ofstream(env_.config_home() + "/user-dirs.dirs")
      << "XDG_DOCUMENTS_DIR=\"$HOME/Mis documentos\"\n";
  ASSERT_EQ(kelvo_.Start(), std::nullopt);
  const std::string home = env_.home();

  EXPECT_EQ(Ask(kGetDirectoryPathChannel, DirectoryTypeValue(DirectoryType::kApplicationDocuments)),
            Ok(home + "/Mis documentos"));
  EXPECT_EQ(Ask(kGetDirectoryPathChannel, DirectoryTypeValue(DirectoryType::kApplicationSupport)),
            Ok(env_.data_home() + "/net.kelvo.app"));
  EXPECT_EQ(Ask(kGetDirectoryPathChannel, DirectoryTypeValue(DirectoryType::kDownloads)),
            Ok(home + "/Downloads"));
  EXPECT_EQ(Ask(kGetDirectoryPathChannel, DirectoryTypeValue(DirectoryType::kLibrary)),
            Ok(home + "/.local"));
  EXPECT_EQ(Ask(kGetDirectoryPathChannel, DirectoryTypeValue(DirectoryType::kTemp)),
            Ok(home + "/.cache"));
  EXPECT_EQ(Ask(kGetDirectoryPathChannel, DirectoryTypeValue(DirectoryType::kApplicationCache)),
            Ok(home + "/.cache/net.kelvo.app"));
  EXPECT_EQ(Ask(kGetDirectoryPathChannel, Value::Custom(kDirectoryTypeTag, Value(42))),
            Ok(Value()));
  Value wrong = Ask(kGetDirectoryPathChannel, Value(3));
  ASSERT_TRUE(wrong.is_list() && wrong.as_list().size() == 3) << wrong;
  EXPECT_EQ(wrong.as_list()[0], Value("bad-request"));

  EXPECT_EQ(Ask(kGetContainerPathChannel, Value("group.net.kelvo.app")),
            Ok(env_.app_group_container()));
  EXPECT_EQ(Ask(kGetContainerPathChannel, Value("group.not.ours")), Ok(Value()));
  // Nothing was created on the way.
  EXPECT_FALSE(std::filesystem::exists(home + "/.cache"));
  EXPECT_EQ(kelvo_.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace kelvo
