#include "services/paths/user_dirs.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

using Dirs = std::map<std::string, std::string>;

TEST(PathsUserDirs, ReadsTheFileAsXdgUserDirsUpdateWritesIt) {
  const char* text =
      "# This file is written by xdg-user-dirs-update\n"
      "# If you want to change or add directories, just edit the line you're\n"
      "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
      "XDG_DOWNLOAD_DIR=\"$HOME/Téléchargements\"\n"
      "XDG_DOCUMENTS_DIR=\"/srv/docs/\"\n"
      "XDG_PUBLICSHARE_DIR=\"$HOME/\"\n"
      "XDG_MUSIC_DIR=\"$HOME\"\n";
  EXPECT_EQ(ParseUserDirs(text, "/home/ana"),
            (Dirs{{"DESKTOP", "/home/ana/Desktop"},
                  {"DOWNLOAD", "/home/ana/Téléchargements"},
                  {"DOCUMENTS", "/srv/docs"},
                  {"PUBLICSHARE", "/home/ana"},
                  {"MUSIC", "/home/ana"}}));
}

TEST(PathsUserDirs, QuotingAndHomeExpansionFollowTheShell) {
  const std::string home = "/home/ana";
  auto one = [&](const std::string& value) -> std::optional<std::string> {
    auto dirs = ParseUserDirs("XDG_DOCUMENTS_DIR=" + value + "\n", home);
    auto it = dirs.find("DOCUMENTS");
    if (it == dirs.end()) return std::nullopt;
    return it->second;
  };
  // Double quotes: backslash escapes only $ ` " and backslash.
  EXPECT_EQ(one(R"("$HOME/My \"Docs\"")"), "/home/ana/My \"Docs\"");
  EXPECT_EQ(one(R"("$HOME/a\\b\$c\`d")"), "/home/ana/a\\b$c`d");
  EXPECT_EQ(one(R"("$HOME/a\nb")"), "/home/ana/a\\nb");
  EXPECT_EQ(one(R"("${HOME}/Docs")"), "/home/ana/Docs");
  EXPECT_EQ(one(R"("$HOME/with space")"), "/home/ana/with space");
  // An escaped $HOME is literal, so the path is relative: skipped.
  EXPECT_EQ(one(R"("\$HOME/Docs")"), std::nullopt);
  // Single quotes are literal: $HOME is not expanded there.
  EXPECT_EQ(one("'/srv/a\\b $x'"), "/srv/a\\b $x");
  EXPECT_EQ(one("'$HOME/Docs'"), std::nullopt);
  // Bare words: backslash escapes anything, a blank or a comment ends it.
  EXPECT_EQ(one(R"($HOME/a\ b  # mine)"), "/home/ana/a b");
  EXPECT_EQ(one("/srv/docs"), "/srv/docs");
  // Spaces around "=" and a trailing comment are tolerated.
  EXPECT_EQ(ParseUserDirs("  XDG_DOCUMENTS_DIR = \"/d\"  # x\r\n", home),
            (Dirs{{"DOCUMENTS", "/d"}}));
}

TEST(PathsUserDirs, SkipsWhatItCannotReadFaithfully) {
  for (const char* value : {
           "\"Documents\"",          // relative
           "\"\"",                   // empty
           "\"$HOMEDIR/Docs\"",      // another variable
           "\"$HOME$USER\"",         // another variable after $HOME
           "\"$XDG_DATA_HOME/d\"",   // another variable
           "\"$(pwd)/d\"",           // command substitution
           "\"`pwd`/d\"",            // command substitution
           "\"$HOME/Docs",           // unterminated
           "'/srv/docs",             // unterminated
           "\"$HOME/a\"b",           // text after the value
           "/srv/a\"b\"",            // quote inside a bare word
           "\"$HOMEDocs\"",          // not $HOME followed by a slash
       }) {
    EXPECT_EQ(ParseUserDirs(std::string("XDG_DOCUMENTS_DIR=") + value, "/home/ana"), Dirs{})
        << value;
  }
  for (const char* line : {"XDG__DIR=\"/a\"", "XDG_DOCUMENTS=\"/a\"", "DOCUMENTS_DIR=\"/a\"",
                           "export XDG_DOCUMENTS_DIR=\"/a\"", "XDG_DOCUMENTS_DIR \"/a\""}) {
    EXPECT_EQ(ParseUserDirs(line, "/home/ana"), Dirs{}) << line;
  }
}

TEST(PathsUserDirs, LastLineWinsAndUnknownHomeSkipsRelativeEntries) {
  const char* text =
      "XDG_DOCUMENTS_DIR=\"$HOME/one\"\n"
      "XDG_DOCUMENTS_DIR=\"$HOME/two\"\n"
      "XDG_DOWNLOAD_DIR=\"/srv/dl\"\n"
      "XDG_DOWNLOAD_DIR=\"relative\"\n";  // a broken later line keeps the earlier one
  EXPECT_EQ(ParseUserDirs(text, "/h"), (Dirs{{"DOCUMENTS", "/h/two"}, {"DOWNLOAD", "/srv/dl"}}));
  EXPECT_EQ(ParseUserDirs(text, ""), (Dirs{{"DOWNLOAD", "/srv/dl"}}));
  EXPECT_EQ(ParseUserDirs("XDG_DOCUMENTS_DIR=\"$HOME/d\"", "/"), (Dirs{{"DOCUMENTS", "/d"}}));
  EXPECT_EQ(ReadUserDir("/nonexistent/user-dirs.dirs", "DOCUMENTS", "/h"), std::nullopt);
}

}  // namespace
}  // namespace kelvo
