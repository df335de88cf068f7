// The desktop handler against a temporary XDG tree, opening through a stub
// opener script that records its arguments: nothing real is ever opened.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/url_handler/system_url_handler.h"
#include "platform/url_handler/xdg_tree_test_util.h"

namespace kelvo {
namespace {

class DesktopURLHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    browser_ = tree_.App("sys1", "browser.desktop", "MimeType=text/html;\n");
    files_ = tree_.App("sys1", "files.desktop");
    tree_.Write("config/mimeapps.list",
                "[Default Applications]\nx-scheme-handler/kelvo=browser.desktop\n"
                "inode/directory=files.desktop\ntext/plain=files.desktop\n");
    tree_.Write("sys1/mime/globs2", "50:text/plain:*.txt\n");
  }

  // A handler whose opener records its argv and exits with `exit_code`
  // after `delay` seconds.
  std::unique_ptr<SystemURLHandler> Handler(
      int exit_code, const std::string& delay = "0",
      std::chrono::milliseconds wait = std::chrono::seconds(10)) {
    DesktopURLHandlerOptions options;
    options.dirs = tree_.dirs();
    options.opener =
        tree_.Write("bin/opener",
                    "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" > " + Argv() + "\nsleep " + delay +
                        "\nexit " + std::to_string(exit_code) + "\n",
                    0755);
    options.opener_wait = wait;
    options.log = [this](const std::string& line) { log_.push_back(line); };
    return MakeDesktopURLHandler(options);
  }
  std::string Argv() const { return tree_.root() + "/argv"; }
  std::string RecordedArgv() const {
    std::ifstream in(Argv());
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::optional<std::string> AppFor(const std::string& text) {
    std::optional<Url> url = ParseUrl(text);
    EXPECT_TRUE(url) << text;
    return Handler(0)->URLForApplicationToOpenURL(*url);
  }

  XdgTree tree_;
  std::string browser_, files_;
  std::vector<std::string> log_;
};

TEST_F(DesktopURLHandlerTest, FindsTheApplicationByScheme) {
  EXPECT_EQ(AppFor("kelvo://connect?x=1"), "file://" + browser_);
  EXPECT_EQ(AppFor("KELVO:thing"), "file://" + browser_);
  EXPECT_EQ(AppFor("nobody-handles-this:thing"), std::nullopt);
  EXPECT_EQ(AppFor("relative/path"), std::nullopt);
  // Web pages fall back to the HTML viewer; mail has no such fallback.
  EXPECT_EQ(AppFor("https://kelvo.net/ayuda"), "file://" + browser_);
  EXPECT_EQ(AppFor("mailto:a@kelvo.net"), std::nullopt);
}

TEST_F(DesktopURLHandlerTest, FileUrlsGoByWhatTheyName) {
  std::string dir = tree_.root() + "/my docs";
  tree_.Write("my docs/notes.txt", "hola");
  tree_.Write("my docs/photo.raw", "");
  EXPECT_EQ(AppFor("file://" + tree_.root() + "/my%20docs"), "file://" + files_);
  EXPECT_EQ(AppFor("file://" + tree_.root() + "/my%20docs/notes.txt"), "file://" + files_);
  EXPECT_EQ(AppFor("file://" + tree_.root() + "/my%20docs/photo.raw"), std::nullopt);
  EXPECT_EQ(AppFor("file://" + tree_.root() + "/my%20docs/missing.txt"), std::nullopt);
  EXPECT_EQ(AppFor("file://elsewhere/x.txt"), std::nullopt);
}

TEST_F(DesktopURLHandlerTest, ApplicationUrlsArePercentEncoded) {
  std::string app = tree_.App("data", "my app.desktop");
  tree_.Write("config/mimeapps.list",
              "[Default Applications]\nx-scheme-handler/kelvo=my app.desktop\n");
  std::optional<std::string> found = AppFor("kelvo:x");
  ASSERT_TRUE(found);
  EXPECT_EQ(ParseUrl(*found)->file_path, app);
}

TEST_F(DesktopURLHandlerTest, OpensThroughTheOpenerWithTheUrlAsItsOnlyArgument) {
  const std::string text = "kelvo://connect?token=s3cr3t&x=$(id)";
  EXPECT_TRUE(Handler(0)->OpenURL(*ParseUrl(text)));
  EXPECT_EQ(RecordedArgv(), "1\n" + text + "\n");
  EXPECT_TRUE(log_.empty());
}

TEST_F(DesktopURLHandlerTest, ReportsWhatWasNotOpenedWithoutTheUrl) {
  EXPECT_FALSE(Handler(4)->OpenURL(*ParseUrl("kelvo://connect?token=s3cr3t")));
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_NE(log_[0].find("exited with status 4"), std::string::npos) << log_[0];
  EXPECT_EQ(log_[0].find("s3cr3t"), std::string::npos) << log_[0];

  // Nothing handles the scheme: the opener is not even started.
  std::remove(Argv().c_str());
  EXPECT_FALSE(Handler(0)->OpenURL(*ParseUrl("nobody-handles-this:x")));
  EXPECT_FALSE(std::filesystem::exists(Argv()));

  DesktopURLHandlerOptions options;
  options.dirs = tree_.dirs();
  options.opener = tree_.root() + "/bin/missing-opener";
  options.log = [this](const std::string& line) { log_.push_back(line); };
  EXPECT_FALSE(MakeDesktopURLHandler(options)->OpenURL(*ParseUrl("kelvo:x")));
  ASSERT_EQ(log_.size(), 2u);
  EXPECT_NE(log_[1].find("cannot start"), std::string::npos) << log_[1];
}

TEST_F(DesktopURLHandlerTest, AnOpenerStillRunningAfterTheWaitHasOpened) {
  // It stays with the application it started; its late failure is not ours.
  EXPECT_TRUE(Handler(1, "0.5", std::chrono::milliseconds(50))->OpenURL(*ParseUrl("kelvo:x")));
}

}  // namespace
}  // namespace kelvo
