#include "services/paths/search_paths.h"

#include "services/paths/user_dirs.h"

namespace kelvo {
namespace {

// The user directory `name` of user-dirs.dirs, else `fallback_below_home`.
std::optional<std::string> UserDirectory(const XdgBaseDirs& dirs, const char* name,
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

std::optional<std::string> UserDomainPath(SearchPathDirectory directory,
                                          const XdgBaseDirs& dirs) {
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
