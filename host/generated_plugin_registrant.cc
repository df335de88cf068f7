#include "host/generated_plugin_registrant.h"

namespace kelvo {
namespace {

// Components that live outside this system (local notifications, screen
// information, menu-bar tray, window management, the user interface's
// tunnel service): only their registration is ours, and it installs no
// channel.
void RegisterOutsideComponent(PluginRegistrar*) {}

// A service of this system whose implementation has not landed yet: it
// keeps its place in the order and installs nothing until it does. Replace
// the row's entry with the service's own static registration when it lands.
void RegisterPendingService(PluginRegistrar*) {}

// clang-format off
constexpr PluginRegistration kRegistrations[] = {
    {"ConnectivityPlusPlugin",           &RegisterPendingService},    // connectivity
    {"FlutterSecureStorageDarwinPlugin", &RegisterPendingService},    // secure storage
    {"InAppPurchasePlugin",              &RegisterPendingService},    // store bridge
    {"LocalNotifierPlugin",              &RegisterOutsideComponent},  // local notifications
    {"FPPPackageInfoPlusPlugin",         &RegisterPendingService},    // package information
    {"PathProviderPlugin",               &RegisterPendingService},    // paths
    {"ScreenRetrieverPlugin",            &RegisterOutsideComponent},  // screen information
    {"SharedPreferencesPlugin",          &RegisterPendingService},    // preferences
    {"TrayManagerPlugin",                &RegisterOutsideComponent},  // menu-bar tray
    {"UrlLauncherPlugin",                &RegisterPendingService},    // URL launcher
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
