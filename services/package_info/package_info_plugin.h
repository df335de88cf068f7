// The package information service: the application's name, identifier,
// version, build and install and update times, on the method channel
// "dev.fluttercommunity.plus/package_info".
//
// Method "getAll" (arguments ignored) replies with a map of exactly these
// keys, in this order; what cannot be obtained is null:
//   appName         CFBundleDisplayName, else CFBundleName
//   packageName     CFBundleIdentifier
//   version         CFBundleShortVersionString
//   buildNumber     CFBundleVersion
//   installerStore  always null
//   installTime     the install date, else the update date
//   updateTime      the update date
// Times are the decimal milliseconds since the epoch ("1500" for 1.5 s).
// The bundle information (services/package_info/bundle_info.h) is read at
// every call; when it cannot be read or is malformed the reply is the
// error "bundle-info-unreadable" with a message saying why and the file's
// path as details. Any other method: not implemented.
//
// Dates:
// - update date: the modification date of the bundle path (the directory
//   holding bundle.json, beside the executable).
// - install date: only in an application sandbox (the environment holds
//   APP_SANDBOX_CONTAINER_ID), the creation date of the user's documents
//   directory (services/paths/path_provider_plugin.h has where it is);
//   outside one there is none, so installTime equals updateTime.
//
// Threading: the handler runs on the main queue and answers synchronously.
// Ownership: the registrar keeps the plugin; the channel's handler shares it.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/engine/channels.h"
#include "platform/engine/plugin_registry.h"
#include "services/package_info/file_dates.h"
#include "services/paths/search_paths.h"

namespace kelvo {

inline constexpr const char* kPackageInfoChannel = "dev.fluttercommunity.plus/package_info";
inline constexpr const char* kSandboxVariable = "APP_SANDBOX_CONTAINER_ID";
inline constexpr const char* kBundleInfoUnreadable = "bundle-info-unreadable";

class FPPPackageInfoPlusPlugin {
 public:
  // Everything is read through `environment` at each call: the sandbox
  // variable, KELVO_BUNDLE_INFO and the XDG directories.
  explicit FPPPackageInfoPlusPlugin(EnvironmentLookup environment);

  // Registration key "FPPPackageInfoPlusPlugin": creates the channel on the
  // registrar's messenger and the plugin on the process environment, makes
  // the plugin the channel's call handler and publishes it.
  static void Register(PluginRegistrar* registrar);

  void HandleMethodCall(const MethodCall& call, std::shared_ptr<MethodResult> result) const;

  bool IsRunningInSandbox() const;
  std::optional<FileDate> GetInstallDate() const;
  std::optional<FileDate> GetUpdateDate(const std::string& bundle_path) const;
  static std::optional<std::string> GetTimeMillisStringFromDate(std::optional<FileDate> date) {
    return TimeMillisString(date);
  }

 private:
  EnvironmentLookup environment_;
};

}  // namespace kelvo
