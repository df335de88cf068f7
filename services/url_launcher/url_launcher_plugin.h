// The URL launcher service: tells whether an application can open a URL
// and asks the system to open it, through its `workspace`.
//
// Both operations first read the text as a URL (ParseUrl: an RFC 3986
// absolute URI or relative reference); one that does not parse gives
// { false, invalidUrl } and the workspace is not asked. Neither operation
// checks the scheme or asks the user.
//
// Ownership: the plugin shares its workspace. Threading: the operations
// run on the main queue and answer synchronously (launching blocks for as
// long as the workspace takes to open).
#pragma once

#include <memory>

#include "platform/engine/plugin_registry.h"
#include "platform/url_handler/system_url_handler.h"
#include "services/url_launcher/url_launcher_api.h"

namespace kelvo {

class UrlLauncherPlugin : public UrlLauncherApi {
 public:
  explicit UrlLauncherPlugin(std::shared_ptr<SystemURLHandler> workspace);

  // Creates the plugin with the desktop's handler and installs its API on
  // the registrar's messenger.
  static void Register(PluginRegistrar* registrar);

  UrlLauncherBoolResult CanLaunchUrl(const std::string& url) override;
  UrlLauncherBoolResult LaunchUrl(const std::string& url) override;

 private:
  std::shared_ptr<SystemURLHandler> workspace_;
};

}  // namespace kelvo
