#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/url_handler/system_url_handler.h"

namespace kelvo {
namespace {

TEST(ParseUrlTest, AcceptsAbsoluteUrisAndRelativeReferences) {
  struct Case {
    const char* text;
    const char* scheme;
  };
  for (const Case& c :
       {Case{"https://example.com/a?b=1#c", "https"}, Case{"HTTPS://Example.com", "https"},
        Case{"mailto:soporte@kelvo.net?subject=Hola%20mundo", "mailto"},
        Case{"tel:+34600000000", "tel"}, Case{"x-custom.app+v1:thing", "x-custom.app+v1"},
        Case{"http://[::1]:8080/", "http"}, Case{"docs/a.html", ""}, Case{"//host/p", ""},
        Case{"?q", ""}, Case{"#frag", ""}}) {
    std::optional<Url> url = ParseUrl(c.text);
    ASSERT_TRUE(url) << c.text;
    EXPECT_EQ(url->text, c.text);
    EXPECT_EQ(url->scheme, c.scheme) << c.text;
    EXPECT_FALSE(url->file_path) << c.text;
  }
}

TEST(ParseUrlTest, RejectsWhatRfc3986Rejects) {
  for (std::string_view text :
       {std::string_view(""), std::string_view("not a url"), std::string_view("https://a.com/b c"),
        std::string_view(" https://a.com"), std::string_view("http://x/a[b"),
        std::string_view("http://[::1/"), std::string_view("http://a/%zz"),
        std::string_view("http://a/%4"), std::string_view("https://a.com/\xc3\xa9"),
        std::string_view("http://a/\tb"), std::string_view("https://a.com/\0x", 16),
        std::string_view("1http://a"), std::string_view("x:{y}"),
        std::string_view("http://a/\"")}) {
    EXPECT_FALSE(ParseUrl(text)) << text;
  }
}

TEST(ParseUrlTest, FileUrlsNameLocalPathsOnly) {
  EXPECT_EQ(ParseUrl("file:///tmp/a%20b/c.txt")->file_path, "/tmp/a b/c.txt");
  EXPECT_EQ(ParseUrl("file:/tmp/x")->file_path, "/tmp/x");
  EXPECT_EQ(ParseUrl("FILE://LocalHost/tmp/x")->file_path, "/tmp/x");
  EXPECT_FALSE(ParseUrl("file://server/share/x")->file_path);
  EXPECT_FALSE(ParseUrl("file:relative/x")->file_path);
  EXPECT_FALSE(ParseUrl("file:///tmp/a%00b")->file_path);
}

TEST(XdgDirsTest, ReadsTheEnvironmentAndIgnoresRelativeEntries) {
  const char* names[] = {"HOME",          "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS",
                         "XDG_DATA_HOME", "XDG_DATA_DIRS",   "XDG_CURRENT_DESKTOP"};
  std::vector<std::optional<std::string>> saved;
  for (const char* n : names) {
    const char* v = ::getenv(n);
    saved.push_back(v ? std::optional<std::string>(v) : std::nullopt);
  }
  ::setenv("HOME", "/home/ana", 1);
  ::setenv("XDG_CONFIG_HOME", "relative/config", 1);
  ::setenv("XDG_CONFIG_DIRS", "/etc/a/:rel:/etc/b", 1);
  ::unsetenv("XDG_DATA_HOME");
  ::setenv("XDG_DATA_DIRS", "rel", 1);
  ::setenv("XDG_CURRENT_DESKTOP", "ubuntu:GNOME", 1);
  XdgDirs dirs = XdgDirs::FromEnvironment();
  for (size_t i = 0; i < saved.size(); ++i) {
    if (saved[i])
      ::setenv(names[i], saved[i]->c_str(), 1);
    else
      ::unsetenv(names[i]);
  }
  EXPECT_EQ(dirs.config_home, "/home/ana/.config");
  EXPECT_EQ(dirs.config_dirs, (std::vector<std::string>{"/etc/a", "/etc/b"}));
  EXPECT_EQ(dirs.data_home, "/home/ana/.local/share");
  EXPECT_EQ(dirs.data_dirs, (std::vector<std::string>{"/usr/local/share", "/usr/share"}));
  EXPECT_EQ(dirs.desktops, (std::vector<std::string>{"ubuntu", "gnome"}));
}

}  // namespace
}  // namespace kelvo
