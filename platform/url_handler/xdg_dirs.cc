#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "platform/url_handler/system_url_handler.h"

namespace kelvo {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

bool IsAbsolute(const std::string& path) { return !path.empty() && path[0] == '/'; }

// "/usr/share/" -> "/usr/share", so the paths built from it stay clean.
std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(sep, start);
    if (end == std::string::npos) end = text.size();
    if (end > start) parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::vector<std::string> AbsoluteDirs(const std::string& list, const std::string& fallback) {
  std::vector<std::string> dirs;
  for (const std::string& d : Split(list, ':')) {
    if (IsAbsolute(d)) dirs.push_back(WithoutTrailingSlash(d));
  }
  return dirs.empty() ? Split(fallback, ':') : dirs;
}

std::string HomeDirectory() {
  std::string home = Env("HOME");
  if (IsAbsolute(home)) return home;
  struct passwd pw;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::getuid(), &pw, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return "/";
}

std::string HomeOr(const char* name, const std::string& home_relative) {
  std::string value = Env(name);
  if (IsAbsolute(value)) return WithoutTrailingSlash(value);
  std::string home = WithoutTrailingSlash(HomeDirectory());
  if (home == "/") home.clear();
  return home + "/" + home_relative;
}

}  // namespace

XdgDirs XdgDirs::FromEnvironment() {
  XdgDirs dirs;
  dirs.config_home = HomeOr("XDG_CONFIG_HOME", ".config");
  dirs.config_dirs = AbsoluteDirs(Env("XDG_CONFIG_DIRS"), "/etc/xdg");
  dirs.data_home = HomeOr("XDG_DATA_HOME", ".local/share");
  dirs.data_dirs = AbsoluteDirs(Env("XDG_DATA_DIRS"), "/usr/local/share:/usr/share");
  for (std::string desktop : Split(Env("XDG_CURRENT_DESKTOP"), ':')) {
    std::transform(desktop.begin(), desktop.end(), desktop.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    dirs.desktops.push_back(desktop);
  }
  return dirs;
}

}  // namespace kelvo
