#include "services/paths/search_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "services/paths/user_dirs.h"

namespace kelvo {
namespace {

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// `suffix` ("/x") under `home`; a home of "/" must not make "//x".
std::string Below(const std::string& home, const char* suffix) {
  return (home == "/" ? std::string() : home) + suffix;
}

std::string PasswordHome() {
  std::vector<char> buffer(16384);
  struct passwd pw;
  struct passwd* found = nullptr;
  if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir) {
    return found->pw_dir;
  }
  return std::string();
}

// An absolute value of `name`, else `fallback_below_home` under the home
// directory (none without one).
std::string BaseDirectory(const EnvironmentLookup& env, const char* name, const std::string& home,
                          const char* fallback_below_home) {
  std::optional<std::string> value = env(name);
  if (value && !value->empty() && value->front() == '/') return WithoutTrailingSlashes(*value);
  return home.empty() ? std::string() : Below(home, fallback_below_home);
}

// The user directory `name` of user-dirs.dirs, else `fallback_below_home`.
std::optional<std::string> UserDirectory(const XdgDirectories& dirs, const char* name,
                                         const char* fallback_below_home) {
  if (!dirs.config_home.empty()) {
    if (auto dir = ReadUserDir(dirs.config_home + "/user-dirs.dirs", name, dirs.home)) return dir;
  }
  if (dirs.home.empty()) return std::nullopt;
  return Below(dirs.home, fallback_below_home);
}

std::optional<std::string> NonEmpty(const std::string& path) {
  if (path.empty()) return std::nullopt;
  return path;
}

}  // namespace

EnvironmentLookup ProcessEnvironment() {
  return [](const std::string& name) -> std::optional<std::string> {
    if (const char* v = std::getenv(name.c_str())) return std::string(v);
    if (name == "HOME") {
      std::string home = PasswordHome();
      if (!home.empty()) return home;
    }
    return std::nullopt;
  };
}

XdgDirectories XdgDirectories::FromEnvironment(const EnvironmentLookup& env) {
  XdgDirectories dirs;
  std::optional<std::string> home = env("HOME");
  if (home && !home->empty() && home->front() == '/') dirs.home = WithoutTrailingSlashes(*home);
  dirs.config_home = BaseDirectory(env, "XDG_CONFIG_HOME", dirs.home, "/.config");
  dirs.data_home = BaseDirectory(env, "XDG_DATA_HOME", dirs.home, "/.local/share");
  dirs.cache_home = BaseDirectory(env, "XDG_CACHE_HOME", dirs.home, "/.cache");
  return dirs;
}

std::optional<std::string> UserDomainPath(SearchPathDirectory directory,
                                          const XdgDirectories& dirs) {
  switch (directory) {
    case SearchPathDirectory::kDocuments:
      return UserDirectory(dirs, "DOCUMENTS", "/Documents");
    case SearchPathDirectory::kDownloads:
      return UserDirectory(dirs, "DOWNLOAD", "/Downloads");
    case SearchPathDirectory::kApplicationSupport:
      return NonEmpty(dirs.data_home);
    case SearchPathDirectory::kCaches:
      return NonEmpty(dirs.cache_home);
    case SearchPathDirectory::kLibrary:
      if (dirs.home.empty()) return std::nullopt;
      return Below(dirs.home, "/.local");
  }
  return std::nullopt;
}

}  // namespace kelvo
