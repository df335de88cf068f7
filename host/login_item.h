// The application's login item: whether the desktop starts the application
// when the user logs in. The stand-in for the platform's login item service
// is the XDG autostart entry $XDG_CONFIG_HOME/autostart/net.kelvo.app.desktop
// (XDG_CONFIG_HOME defaults to ~/.config): a desktop entry that starts
// `kelvo` by its absolute path. The item is enabled while that entry exists
// as a regular file.
//
// Contract: failures come back as the system's description of the error
// (strerror). Register writes the entry whole or not at all (a temporary
// file renamed into place); Unregister of a missing entry succeeds.
// Threading: no state of its own; safe from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace kelvo {

// The platform's status values.
enum class LoginItemStatus : int {
  kNotRegistered = 0,
  kEnabled = 1,
  kRequiresApproval = 2,
  kNotFound = 3,
};

class LoginItem {
 public:
  virtual ~LoginItem() = default;
  virtual LoginItemStatus Status() const = 0;
  virtual std::optional<std::string> Register() = 0;
  virtual std::optional<std::string> Unregister() = 0;
};

inline constexpr const char* kAutostartEntryName = "net.kelvo.app.desktop";

// <config home>/autostart by the rules of platform/xdg/base_dirs.h; empty
// with `*error` (when given) set to why when there is no config home.
std::string DefaultAutostartDirectory(std::string* error = nullptr);
// This process's executable, by its absolute path (/proc/self/exe).
std::string CurrentExecutablePath();
// The desktop entry's text for `executable`, quoted as desktop entries
// require (the path may hold blanks, quotes, '$', '%' or backslashes).
std::string AutostartEntryText(const std::string& executable);

// With an empty `autostart_directory` the item is not registered and
// registering or unregistering fails with `why_no_directory`.
std::unique_ptr<LoginItem> MakeAutostartLoginItem(std::string autostart_directory,
                                                  std::string executable,
                                                  std::string why_no_directory = "");

}  // namespace kelvo
