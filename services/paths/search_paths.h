// The platform's search-path directories in the user domain, on Linux: the
// XDG base and user directories, read from the environment (and the
// user-dirs file) at every lookup, never cached. The mapping is tabled in
// services/paths/path_provider_plugin.h.
//
// Pure apart from reading the user-dirs file; safe from any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace kelvo {

// An environment variable's value, or nullopt when unset.
using EnvironmentLookup = std::function<std::optional<std::string>(const std::string& name)>;

// The process environment; an unset HOME falls back to the password
// database, as the platform's own lookups do.
EnvironmentLookup ProcessEnvironment();

// The XDG base directories; every field is an absolute path without
// trailing slashes, or empty when it cannot be known (no home directory).
struct XdgDirectories {
  std::string home;         // HOME (absolute only)
  std::string config_home;  // XDG_CONFIG_HOME, else home/.config
  std::string data_home;    // XDG_DATA_HOME, else home/.local/share
  std::string cache_home;   // XDG_CACHE_HOME, else home/.cache

  // Relative XDG_* values are ignored, as the base-directory rules say.
  static XdgDirectories FromEnvironment(const EnvironmentLookup& env);
};

// The platform's numbering of the directories this system uses.
enum class SearchPathDirectory : int {
  kLibrary = 5,
  kDocuments = 9,
  kCaches = 13,
  kApplicationSupport = 14,
  kDownloads = 15,
};

// The first (on Linux, only) user-domain path of `directory`; nullopt when
// there is none. Documents and downloads read user-dirs.dirs now.
std::optional<std::string> UserDomainPath(SearchPathDirectory directory,
                                          const XdgDirectories& dirs);

}  // namespace kelvo
