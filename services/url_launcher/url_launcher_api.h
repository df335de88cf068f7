// The URL launcher's typed message API, as the user interface calls it:
//   dev.flutter.pigeon.url_launcher_macos.UrlLauncherApi.canLaunchUrl
//   dev.flutter.pigeon.url_launcher_macos.UrlLauncherApi.launchUrl
// (each + "." + suffix when the suffix is not empty). Request [url
// (string)], reply [UrlLauncherBoolResult], on basic message channels with
// UrlLauncherCodec(). A request without a string url is answered with the
// error "bad-request"; an implementation may throw FlutterErrorException to
// answer with its own error.
//
// Ownership: the handlers share ownership of `api`. Threading: handlers run
// where the messenger delivers (the main queue) and answer synchronously.
#pragma once

#include <memory>
#include <string>

#include "platform/engine/binary_messenger.h"
#include "services/url_launcher/url_launcher_messages.h"

namespace kelvo {

inline constexpr const char* kUrlLauncherCanLaunchChannel =
    "dev.flutter.pigeon.url_launcher_macos.UrlLauncherApi.canLaunchUrl";
inline constexpr const char* kUrlLauncherLaunchChannel =
    "dev.flutter.pigeon.url_launcher_macos.UrlLauncherApi.launchUrl";

class UrlLauncherApi {
 public:
  virtual ~UrlLauncherApi() = default;
  virtual UrlLauncherBoolResult CanLaunchUrl(const std::string& url) = 0;
  virtual UrlLauncherBoolResult LaunchUrl(const std::string& url) = 0;
};

// Installs both handlers on `messenger`; a null `api` removes them.
void SetUpUrlLauncherApi(BinaryMessenger* messenger, std::shared_ptr<UrlLauncherApi> api,
                         const std::string& suffix = "");

}  // namespace kelvo
