// The user's home directory and the XDG base directories, by one rule for
// every program and service:
//
// - HOME must be set to an absolute path. Unset, empty or relative, there
//   is no home directory: `home` stays empty and `home_error` says why, in
//   the words every caller reports ("no home directory: HOME is not set",
//   "no home directory: HOME is not an absolute path: <value>"). There is no
//   fallback to the password database: a broken environment is reported,
//   not guessed around, so that no two services disagree about it.
// - XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_CACHE_HOME and XDG_STATE_HOME are
//   used when absolute; empty or relative values are ignored, as the XDG
//   rules say, and the directory falls back below the home directory (none
//   without one).
// - XDG_CONFIG_DIRS and XDG_DATA_DIRS keep their absolute entries; with
//   none the standard defaults apply.
// - XDG_RUNTIME_DIR is used when absolute; it has no fallback.
//
// Every path is absolute with no trailing slash, or empty when unknown.
// Pure apart from the lookup it is given; safe from any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kelvo {

// An environment variable's value, or nullopt when unset.
using EnvironmentLookup = std::function<std::optional<std::string>(const std::string& name)>;

// The process environment, read at every call.
EnvironmentLookup ProcessEnvironment();

struct XdgBaseDirs {
  std::string home;        // HOME
  std::string home_error;  // why `home` is empty; empty when it is known
  std::string config_home;  // XDG_CONFIG_HOME, else home/.config
  std::string data_home;    // XDG_DATA_HOME, else home/.local/share
  std::string cache_home;   // XDG_CACHE_HOME, else home/.cache
  std::string state_home;   // XDG_STATE_HOME, else home/.local/state
  std::vector<std::string> config_dirs;  // XDG_CONFIG_DIRS, else /etc/xdg
  std::vector<std::string> data_dirs;    // XDG_DATA_DIRS, else /usr/local/share, /usr/share
  std::string runtime_dir;               // XDG_RUNTIME_DIR

  static XdgBaseDirs FromEnvironment(const EnvironmentLookup& env);
  static XdgBaseDirs FromProcess() { return FromEnvironment(ProcessEnvironment()); }

  // `dir` (one of the fields above) when known; else nullopt with `*error`
  // (when given) set to why: the home directory's problem.
  std::optional<std::string> Known(const std::string& dir, std::string* error) const;
};

// `suffix` ("/x") below `dir`; a `dir` of "/" does not make "//x".
std::string Below(const std::string& dir, const std::string& suffix);

}  // namespace kelvo
