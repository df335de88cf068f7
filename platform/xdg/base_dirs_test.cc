#include "platform/xdg/base_dirs.h"

#include <gtest/gtest.h>

#include <map>

namespace kelvo {
namespace {

XdgBaseDirs From(std::map<std::string, std::string> vars) {
  return XdgBaseDirs::FromEnvironment([vars](const std::string& name) -> std::optional<std::string> {
    auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  });
}

TEST(XdgBaseDirs, RelativeXdgValuesAreIgnoredAndAbsoluteOnesTrimmed) {
  XdgBaseDirs dirs = From({{"HOME", "/home/ana/"},
                           {"XDG_CONFIG_HOME", "relative/config"},
                           {"XDG_DATA_HOME", "/data//"},
                           {"XDG_CACHE_HOME", ""},
                           {"XDG_STATE_HOME", "./state"},
                           {"XDG_CONFIG_DIRS", "/etc/a/:rel::/etc/b"},
                           {"XDG_DATA_DIRS", "rel"},
                           {"XDG_RUNTIME_DIR", "run"}});
  EXPECT_EQ(dirs.home, "/home/ana");
  EXPECT_EQ(dirs.home_error, "");
  EXPECT_EQ(dirs.config_home, "/home/ana/.config");
  EXPECT_EQ(dirs.data_home, "/data");
  EXPECT_EQ(dirs.cache_home, "/home/ana/.cache");
  EXPECT_EQ(dirs.state_home, "/home/ana/.local/state");
  EXPECT_EQ(dirs.config_dirs, (std::vector<std::string>{"/etc/a", "/etc/b"}));
  EXPECT_EQ(dirs.data_dirs, (std::vector<std::string>{"/usr/local/share", "/usr/share"}));
  EXPECT_EQ(dirs.runtime_dir, "");
  // A home of "/" gives "/.config", not "//.config".
  EXPECT_EQ(From({{"HOME", "/"}}).config_home, "/.config");
}

TEST(XdgBaseDirs, ARelativeOrMissingHomeIsOneErrorAndNoDirectoryBelowIt) {
  for (const auto& [vars, error] :
       std::vector<std::pair<std::map<std::string, std::string>, std::string>>{
           {{}, "no home directory: HOME is not set"},
           {{{"HOME", ""}}, "no home directory: HOME is not set"},
           {{{"HOME", "home/ana"}},
            "no home directory: HOME is not an absolute path: home/ana"}}) {
    XdgBaseDirs dirs = From(vars);
    EXPECT_EQ(dirs.home, "");
    EXPECT_EQ(dirs.home_error, error);
    EXPECT_EQ(dirs.config_home + dirs.data_home + dirs.cache_home + dirs.state_home, "");
    std::string why;
    EXPECT_EQ(dirs.Known(dirs.data_home, &why), std::nullopt);
    EXPECT_EQ(why, error);
  }
  // What an absolute XDG value names is still known without a home.
  XdgBaseDirs dirs = From({{"HOME", "rel"}, {"XDG_DATA_HOME", "/d"}});
  EXPECT_EQ(dirs.Known(dirs.data_home, nullptr), "/d");
  EXPECT_EQ(dirs.config_home, "");
}

}  // namespace
}  // namespace kelvo
