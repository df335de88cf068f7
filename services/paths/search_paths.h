// The platform's search-path directories in the user domain, on Linux: the
// XDG base and user directories, read from the environment (and the
// user-dirs file) at every lookup, never cached. The mapping is tabled in
// services/paths/path_provider_plugin.h.
//
// Pure apart from reading the user-dirs file; safe from any thread.
#pragma once

#include <optional>
#include <string>

#include "platform/xdg/base_dirs.h"

namespace kelvo {

// The platform's numbering of the directories this system uses.
enum class SearchPathDirectory : int {
  kLibrary = 5,
  kDocuments = 9,
  kCaches = 13,
  kApplicationSupport = 14,
  kDownloads = 15,
};

// The first (on Linux, only) user-domain path of `directory`; nullopt when
// there is none (no home directory; see base_dirs.h). Documents and
// downloads read user-dirs.dirs now.
std::optional<std::string> UserDomainPath(SearchPathDirectory directory,
                                          const XdgBaseDirs& dirs);

}  // namespace kelvo
