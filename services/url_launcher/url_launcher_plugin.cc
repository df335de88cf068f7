#include "services/url_launcher/url_launcher_plugin.h"

#include "platform/log/system_log.h"

namespace kelvo {
namespace {

constexpr UrlLauncherBoolResult kInvalidUrl{false, UrlLauncherError::kInvalidUrl};

}  // namespace

UrlLauncherPlugin::UrlLauncherPlugin(std::shared_ptr<SystemURLHandler> workspace)
    : workspace_(std::move(workspace)) {}

void UrlLauncherPlugin::Register(PluginRegistrar* registrar) {
  std::shared_ptr<SystemLog> log =
      MakeSystemLog("net.kelvo.app", "url_launcher", LogOptions::ForProcess(false));
  DesktopURLHandlerOptions options;
  options.log = [log](const std::string& line) { log->Error(line); };
  auto plugin = std::make_shared<UrlLauncherPlugin>(MakeDesktopURLHandler(std::move(options)));
  SetUpUrlLauncherApi(registrar->messenger(), plugin);
  registrar->Publish(plugin);
}

UrlLauncherBoolResult UrlLauncherPlugin::CanLaunchUrl(const std::string& text) {
  std::optional<Url> url = ParseUrl(text);
  if (!url) return kInvalidUrl;
  return {workspace_->URLForApplicationToOpenURL(*url).has_value(), std::nullopt};
}

UrlLauncherBoolResult UrlLauncherPlugin::LaunchUrl(const std::string& text) {
  std::optional<Url> url = ParseUrl(text);
  if (!url) return kInvalidUrl;
  return {workspace_->OpenURL(*url), std::nullopt};
}

}  // namespace kelvo
