#include "platform/url_handler/mime_apps.h"

#include <gtest/gtest.h>

#include "platform/url_handler/key_file.h"
#include "platform/url_handler/xdg_tree_test_util.h"

namespace kelvo {
namespace {

constexpr const char* kMail = "x-scheme-handler/mailto";

class MimeAppsTest : public ::testing::Test {
 protected:
  std::optional<std::string> Default(const std::string& type) {
    return DefaultApplicationFor(tree_.dirs(), type);
  }
  XdgTree tree_;
};

TEST(KeyFileTest, ParsesGroupsKeysAndLists) {
  KeyFile f = KeyFile::Parse("ignored=1\n# comment\n[A]\n k = v \nk=second\n[B\nx=1\n[A]\nj=w\r\n");
  ASSERT_NE(f.Get("A", "k"), nullptr);
  EXPECT_EQ(*f.Get("A", "k"), "v");
  EXPECT_EQ(*f.Get("A", "j"), "w");  // the repeated group is merged
  EXPECT_EQ(f.Get("A", "ignored"), nullptr);
  EXPECT_EQ(f.Get("A", "x"), nullptr);  // under the broken header
  EXPECT_EQ(SplitKeyFileList(" a.desktop;;b.desktop ; "),
            (std::vector<std::string>{"a.desktop", "b.desktop"}));
}

TEST_F(MimeAppsTest, DefaultsFollowFilePrecedenceAndSkipWhatIsNotInstalled) {
  std::string mutt = tree_.App("sys1", "mutt.desktop");
  std::string thunder = tree_.App("sys2", "thunderbird.desktop");
  tree_.Write("sys1/applications/mimeapps.list",
              "[Default Applications]\nx-scheme-handler/mailto=mutt.desktop\n");
  EXPECT_EQ(Default(kMail), mutt);
  // A user's choice comes first; its uninstalled first pick is passed over.
  tree_.Write("config/mimeapps.list",
              "[Default Applications]\nX-Scheme-Handler/MailTo=gone.desktop;thunderbird.desktop\n");
  EXPECT_EQ(Default(kMail), thunder);
  // A desktop-specific list comes before the plain one of the same directory.
  tree_.Write("config/kde-mimeapps.list",
              "[Default Applications]\nx-scheme-handler/mailto=mutt.desktop\n");
  XdgDirs kde = tree_.dirs();
  kde.desktops = {"kde"};
  EXPECT_EQ(DefaultApplicationFor(kde, kMail), mutt);
  EXPECT_EQ(Default("x-scheme-handler/news"), std::nullopt);
}

TEST_F(MimeAppsTest, TheFirstFileOfAnIdDecidesWhetherItIsInstalled) {
  std::string system = tree_.App("sys1", "mutt.desktop");
  tree_.Write("config/mimeapps.list",
              "[Default Applications]\nx-scheme-handler/mailto=mutt.desktop\n");
  EXPECT_EQ(Default(kMail), system);
  tree_.App("data", "mutt.desktop", "Hidden=true\n");  // the user deleted it
  EXPECT_EQ(Default(kMail), std::nullopt);
  tree_.Write("data/applications/mutt.desktop", "[Desktop Entry]\nType=Link\nURL=x\n");
  EXPECT_EQ(Default(kMail), std::nullopt);
  // Dashes of an ID may stand for subdirectories, never for leaving them.
  std::string nested = tree_.App("sys2", "org/mail-client.desktop");
  EXPECT_EQ(FindDesktopEntry(tree_.dirs(), "org-mail-client.desktop"), nested);
  tree_.App("sys2", "evil.desktop");
  EXPECT_EQ(FindDesktopEntry(tree_.dirs(), "..-..-sys2-applications-evil.desktop"), std::nullopt);
  EXPECT_EQ(FindDesktopEntry(tree_.dirs(), "../evil.desktop"), std::nullopt);
  EXPECT_EQ(FindDesktopEntry(tree_.dirs(), "evil.txt"), std::nullopt);
}

TEST_F(MimeAppsTest, WithoutDefaultsAssociationsAndDeclaredTypesDecide) {
  std::string mutt =
      tree_.App("sys1", "mutt.desktop", "MimeType=text/plain;x-scheme-handler/mailto;\n");
  std::string evo = tree_.App("sys2", "evolution.desktop", "MimeType=X-Scheme-Handler/Mailto\n");
  std::string thunder = tree_.App("sys2", "thunderbird.desktop");
  // Declared types: directories in order.
  EXPECT_EQ(Default(kMail), mutt);
  tree_.Write("config/mimeapps.list",
              "[Removed Associations]\nx-scheme-handler/mailto=mutt.desktop\n");
  EXPECT_EQ(Default(kMail), evo);
  // An added association beats declared types, unless an earlier file removed it.
  tree_.Write("sys1/applications/mimeapps.list",
              "[Added Associations]\nx-scheme-handler/mailto=mutt.desktop;thunderbird.desktop;\n");
  EXPECT_EQ(Default(kMail), thunder);
}

TEST_F(MimeAppsTest, GlobsPickTheHeaviestThenLongestMatch) {
  tree_.Write("sys1/mime/globs2",
              "# comment\n50:text/plain:*.txt\n50:application/x-compressed-tar:*.tar.gz\n"
              "50:application/gzip:*.gz\n80:text/x-readme:README*:cs\nbad line\n");
  tree_.Write("data/mime/globs2", "40:text/x-log:*.TXT\n");
  const XdgDirs dirs = tree_.dirs();
  EXPECT_EQ(MimeTypeForFileName(dirs, "notes.TxT"), "text/plain");
  EXPECT_EQ(MimeTypeForFileName(dirs, "a.tar.gz"), "application/x-compressed-tar");
  EXPECT_EQ(MimeTypeForFileName(dirs, "README.txt"), "text/x-readme");
  EXPECT_EQ(MimeTypeForFileName(dirs, "readme"), std::nullopt);  // case-sensitive glob
  EXPECT_EQ(MimeTypeForFileName(dirs, "a.bin"), std::nullopt);
}

}  // namespace
}  // namespace kelvo
