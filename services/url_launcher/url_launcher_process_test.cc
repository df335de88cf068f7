// The URL launcher through a real `kelvo` process: the desktop's defaults
// come from the test's own XDG tree, and launching runs a stub xdg-open
// (first in PATH) that records its arguments instead of opening anything.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/testing/kelvo_process.h"
#include "services/url_launcher/url_launcher_api.h"

namespace kelvo {
namespace {

using testing::HostEnvironment;
using testing::KelvoProcess;

const UrlLauncherBoolResult kYes{true, std::nullopt};
const UrlLauncherBoolResult kNo{false, std::nullopt};
const UrlLauncherBoolResult kInvalid{false, UrlLauncherError::kInvalidUrl};

void WriteFile(const std::string& path, const std::string& text, int mode = 0644) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::trunc) << text;
  ::chmod(path.c_str(), mode);
}

class UrlLauncherProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(env_.config_home() + "/mimeapps.list",
              "[Default Applications]\nx-scheme-handler/kelvo-e2e=kelvo-e2e-handler.desktop\n");
    WriteFile(env_.data_home() + "/applications/kelvo-e2e-handler.desktop",
              "[Desktop Entry]\nType=Application\nName=Handler\nExec=/bin/true %u\n");
  }

  std::optional<UrlLauncherBoolResult> Call(const char* channel, const std::string& url) {
    EngineCallResult r = kelvo_.client().SendAndWait(
        channel, UrlLauncherCodec().Encode(Value(ValueList{url})), std::chrono::seconds(10));
    if (!r.ok() || !r.reply) {
      ADD_FAILURE() << channel << ": " << r.error.value_or("no handler");
      return std::nullopt;
    }
    Result<Value> reply = UrlLauncherCodec().Decode(*r.reply);
    if (!reply.ok() || !reply.value().is_list() || reply.value().as_list().size() != 1) {
      ADD_FAILURE() << channel << ": unexpected reply";
      return std::nullopt;
    }
    return UrlLauncherBoolResult::FromValue(reply.value().as_list()[0]);
  }

  HostEnvironment env_;
  KelvoProcess kelvo_{env_};
};

TEST_F(UrlLauncherProcessTest, AnswersFromTheDesktopsDefaults) {
  ASSERT_EQ(kelvo_.Start(), std::nullopt);
  EXPECT_EQ(Call(kUrlLauncherCanLaunchChannel, "kelvo-e2e://connect?x=1"), kYes);
  EXPECT_EQ(Call(kUrlLauncherCanLaunchChannel, "kelvo-e2e-nobody:thing"), kNo);
  EXPECT_EQ(Call(kUrlLauncherCanLaunchChannel, "no es una url"), kInvalid);
  EXPECT_EQ(Call(kUrlLauncherLaunchChannel, "no es una url"), kInvalid);
  EXPECT_EQ(Call(kUrlLauncherLaunchChannel, "kelvo-e2e-nobody:thing"), kNo);
  EXPECT_EQ(kelvo_.Stop(SIGTERM), 0);
}

TEST_F(UrlLauncherProcessTest, LaunchesThroughXdgOpen) {
  const std::string argv_file = env_.root() + "/opener-argv";
  WriteFile(env_.root() + "/bin/xdg-open",
            "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" > " + argv_file + "\n", 0755);
  const char* path = ::getenv("PATH");
  const std::string saved = path ? path : "/usr/bin:/bin";
  ::setenv("PATH", (env_.root() + "/bin:" + saved).c_str(), 1);  // read when kelvo starts
  std::optional<std::string> started = kelvo_.Start();
  ::setenv("PATH", saved.c_str(), 1);
  ASSERT_EQ(started, std::nullopt);

  EXPECT_EQ(Call(kUrlLauncherLaunchChannel, "kelvo-e2e://connect?x=1"), kYes);
  std::ifstream in(argv_file);
  std::stringstream recorded;
  recorded << in.rdbuf();
  EXPECT_EQ(recorded.str(), "1\nkelvo-e2e://connect?x=1\n");
  EXPECT_EQ(kelvo_.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace kelvo
