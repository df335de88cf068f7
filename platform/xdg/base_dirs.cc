#include "platform/xdg/base_dirs.h"

#include <cstdlib>

#include "platform/fs/files.h"

namespace kelvo {
namespace {

bool IsAbsolute(const std::string& path) { return !path.empty() && path.front() == '/'; }

std::vector<std::string> AbsoluteEntries(const std::optional<std::string>& list,
                                         std::vector<std::string> fallback) {
  std::vector<std::string> dirs;
  if (list) {
    size_t start = 0;
    while (start <= list->size()) {
      size_t end = list->find(':', start);
      if (end == std::string::npos) end = list->size();
      std::string entry = list->substr(start, end - start);
      if (IsAbsolute(entry)) dirs.push_back(WithoutTrailingSlashes(entry));
      start = end + 1;
    }
  }
  return dirs.empty() ? fallback : dirs;
}

}  // namespace

EnvironmentLookup ProcessEnvironment() {
  return [](const std::string& name) -> std::optional<std::string> {
    if (const char* v = std::getenv(name.c_str())) return std::string(v);
    return std::nullopt;
  };
}

std::string Below(const std::string& dir, const std::string& suffix) {
  return (dir == "/" ? std::string() : dir) + suffix;
}

XdgBaseDirs XdgBaseDirs::FromEnvironment(const EnvironmentLookup& env) {
  XdgBaseDirs dirs;
  std::optional<std::string> home = env("HOME");
  if (!home || home->empty()) {
    dirs.home_error = "no home directory: HOME is not set";
  } else if (!IsAbsolute(*home)) {
    dirs.home_error = "no home directory: HOME is not an absolute path: " + *home;
  } else {
    dirs.home = WithoutTrailingSlashes(*home);
  }
  auto base = [&](const char* name, const char* below_home) {
    std::optional<std::string> value = env(name);
    if (value && IsAbsolute(*value)) return WithoutTrailingSlashes(*value);
    return dirs.home.empty() ? std::string() : Below(dirs.home, below_home);
  };
  dirs.config_home = base("XDG_CONFIG_HOME", "/.config");
  dirs.data_home = base("XDG_DATA_HOME", "/.local/share");
  dirs.cache_home = base("XDG_CACHE_HOME", "/.cache");
  dirs.state_home = base("XDG_STATE_HOME", "/.local/state");
  dirs.config_dirs = AbsoluteEntries(env("XDG_CONFIG_DIRS"), {"/etc/xdg"});
  dirs.data_dirs = AbsoluteEntries(env("XDG_DATA_DIRS"), {"/usr/local/share", "/usr/share"});
  std::optional<std::string> runtime = env("XDG_RUNTIME_DIR");
  if (runtime && IsAbsolute(*runtime)) dirs.runtime_dir = WithoutTrailingSlashes(*runtime);
  return dirs;
}

std::optional<std::string> XdgBaseDirs::Known(const std::string& dir, std::string* error) const {
  if (!dir.empty()) return dir;
  if (error) *error = home_error;
  return std::nullopt;
}

}  // namespace kelvo
