// The path provider service: standard directories and App Group containers
// for the user interface, as absolute paths, on two typed-message channels
// with the service's own codec:
//
//   dev.flutter.pigeon.path_provider_foundation.PathProviderApi.getDirectoryPath
//     request [type (DirectoryType)]           reply [path or null]
//   dev.flutter.pigeon.path_provider_foundation.PathProviderApi.getContainerPath
//     request [App Group identifier (string)]  reply [path or null]
//
// Where the directories are on Linux (B = the bundle identifier,
// "net.kelvo.app"; the platform's search-path directory in brackets):
//
//   DirectoryType             path
//   applicationDocuments (0)  [documents 9]  XDG_DOCUMENTS_DIR of
//                             $XDG_CONFIG_HOME/user-dirs.dirs, else ~/Documents
//   applicationSupport (1)    [application support 14]  $XDG_DATA_HOME/B
//                             ($XDG_DATA_HOME defaults to ~/.local/share)
//   downloads (2)             [downloads 15]  XDG_DOWNLOAD_DIR of the same
//                             file, else ~/Downloads
//   library (3)               [library 5]  ~/.local
//   temp (4)                  [caches 13]  $XDG_CACHE_HOME (default ~/.cache)
//   applicationCache (5)      [caches 13]  $XDG_CACHE_HOME/B
//
// Only application support and the application cache get B appended; temp
// is the per-user cache directory itself, not a temporary-files directory.
// library is ~/.local because that is the parent of the per-user data
// (~/.local/share) and state (~/.local/state) trees, as ~/Library is on the
// platform of origin. $XDG_CONFIG_HOME defaults to ~/.config; relative XDG
// values are ignored. Everything is read from the environment at each call;
// no directory is created.
//
// Answers:
// - No home directory (so no such path), or no bundle identifier for the
//   two types that need one: null.
// - A type the codec read as no value (an integer outside 0..5 after tag
//   129) or a null type: null.
// - An argument of another kind (a plain integer, a string), a missing
//   argument or a request that is not a list: an error reply
//   ["bad-request", message, null].
// - getContainerPath: the container of an App Group the application
//   belongs to (UserDefaultsSystem::AppGroupContainer), null for any other
//   identifier.
//
// Threading: handlers run on the main queue and answer synchronously.
// Ownership: the registrar keeps the plugin; the handlers share it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/engine/plugin_registry.h"
#include "platform/engine/standard_codec.h"
#include "services/paths/search_paths.h"

namespace kelvo {

enum class DirectoryType : int {
  kApplicationDocuments = 0,
  kApplicationSupport = 1,
  kDownloads = 2,
  kLibrary = 3,
  kTemp = 4,
  kApplicationCache = 5,
};

// The codec's type tag for DirectoryType, written as its integer value.
inline constexpr uint8_t kDirectoryTypeTag = 129;

// The standard codec plus DirectoryType. Reading tag 129 gives the custom
// value (129, integer) for 0..5 and null for anything else after the tag.
const StandardCodec& PathProviderCodec();
Value DirectoryTypeValue(DirectoryType type);

inline constexpr const char* kGetDirectoryPathChannel =
    "dev.flutter.pigeon.path_provider_foundation.PathProviderApi.getDirectoryPath";
inline constexpr const char* kGetContainerPathChannel =
    "dev.flutter.pigeon.path_provider_foundation.PathProviderApi.getContainerPath";

class PathProviderPlugin {
 public:
  struct Sources {
    std::string bundle_identifier;  // empty: the application has none
    EnvironmentLookup environment;  // read at each call
    // The container of an App Group of this application, else nullopt.
    std::function<std::optional<std::string>(const std::string& group)> app_group_container;
  };

  explicit PathProviderPlugin(Sources sources);

  // Registration key "PathProviderPlugin": creates the plugin on the
  // process environment, the host's bundle identifier and its App Group
  // containers, installs both handlers and publishes the plugin.
  static void Register(PluginRegistrar* registrar);
  // Installs both handlers on `messenger`; they keep `api` alive.
  static void SetUp(BinaryMessenger* messenger, std::shared_ptr<PathProviderPlugin> api);

  std::optional<std::string> GetDirectoryPath(DirectoryType type) const;
  std::optional<std::string> GetContainerPath(const std::string& app_group_identifier) const;

 private:
  Sources sources_;
};

}  // namespace kelvo
