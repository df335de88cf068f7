#include "host/generated_plugin_registrant.h"

#include "services/connectivity/connectivity_plus_plugin.h"
#include "services/package_info/package_info_plugin.h"
#include "services/paths/path_provider_plugin.h"
#include "services/preferences/shared_preferences_plugin.h"
#include "services/secure_storage/flutter_secure_storage_darwin_plugin.h"
#include "services/store/in_app_purchase_plugin.h"
#include "services/url_launcher/url_launcher_plugin.h"

namespace kelvo {
namespace {

// Components that live outside this system (local notifications, screen
// information, menu-bar tray, window management, the user interface's
// tunnel service): only their registration is ours, and it installs no
// channel.
void RegisterOutsideComponent(PluginRegistrar*) {}

// clang-format off
constexpr PluginRegistration kRegistrations[] = {
    {"ConnectivityPlusPlugin",           &ConnectivityPlusPlugin::Register},  // connectivity
    {"FlutterSecureStorageDarwinPlugin", &FlutterSecureStorageDarwinPlugin::Register},  // secure storage
    {"InAppPurchasePlugin",              &InAppPurchasePlugin::Register},  // store bridge
    {"LocalNotifierPlugin",              &RegisterOutsideComponent},  // local notifications
    {"FPPPackageInfoPlusPlugin",         &FPPPackageInfoPlusPlugin::Register},  // package information
    {"PathProviderPlugin",               &PathProviderPlugin::Register},  // paths
    {"ScreenRetrieverPlugin",            &RegisterOutsideComponent},  // screen information
    {"SharedPreferencesPlugin",          &SharedPreferencesPlugin::Register},  // preferences
    {"TrayManagerPlugin",                &RegisterOutsideComponent},  // menu-bar tray
    {"UrlLauncherPlugin",                &UrlLauncherPlugin::Register},  // URL launcher
    {"WindowManagerPlugin",              &RegisterOutsideComponent},  // window management
    {"WireguardDartPlugin",              &RegisterOutsideComponent},  // the interface's tunnel service
};
// clang-format on

}  // namespace

std::span<const PluginRegistration> GeneratedPluginRegistrations() { return kRegistrations; }

void RegisterGeneratedPlugins(PluginRegistry* registry) {
  for (const PluginRegistration& row : kRegistrations) {
    row.register_with(registry->RegistrarForPlugin(row.key));
  }
}

}  // namespace kelvo
