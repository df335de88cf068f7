#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/defaults/user_defaults.h"

namespace kelvo {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string HomeDirectory() {
  std::string home = Env("HOME");
  if (!home.empty()) return home;
  std::vector<char> buffer(16384);
  struct passwd pw;
  struct passwd* found = nullptr;
  if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir) {
    return found->pw_dir;
  }
  return std::string();
}

}  // namespace

DefaultsConfig DefaultsConfig::FromEnvironment() {
  DefaultsConfig config;
  std::string root = Env("KELVO_APP_GROUP_ROOT");
  config.app_group_root = WithoutTrailingSlashes(root.empty() ? kDefaultAppGroupRoot : root);
  // A relative XDG_DATA_HOME is invalid and ignored, as the XDG rules say.
  std::string xdg = Env("XDG_DATA_HOME");
  if (!xdg.empty() && xdg.front() == '/') {
    config.data_home = WithoutTrailingSlashes(xdg);
  } else {
    std::string home = HomeDirectory();
    // Without a home directory there is no place for the user's domains;
    // the system then gives them no store rather than guessing one.
    if (!home.empty()) config.data_home = WithoutTrailingSlashes(home) + "/.local/share";
  }
  return config;
}

}  // namespace kelvo
