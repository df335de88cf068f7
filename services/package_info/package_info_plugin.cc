#include "services/package_info/package_info_plugin.h"

#include "services/package_info/bundle_info.h"

namespace kelvo {
namespace {

Value OrNull(const std::optional<std::string>& s) { return s ? Value(*s) : Value(); }

}  // namespace

FPPPackageInfoPlusPlugin::FPPPackageInfoPlusPlugin(EnvironmentLookup environment)
    : environment_(environment ? std::move(environment) : ProcessEnvironment()) {}

void FPPPackageInfoPlusPlugin::Register(PluginRegistrar* registrar) {
  MethodChannel channel(registrar->messenger(), kPackageInfoChannel);
  auto plugin = std::make_shared<FPPPackageInfoPlusPlugin>(ProcessEnvironment());
  channel.SetMethodCallHandler(
      [plugin](const MethodCall& call, std::shared_ptr<MethodResult> result) {
        plugin->HandleMethodCall(call, std::move(result));
      });
  registrar->Publish(plugin);
}

void FPPPackageInfoPlusPlugin::HandleMethodCall(const MethodCall& call,
                                                std::shared_ptr<MethodResult> result) const {
  if (call.method != "getAll") {
    result->NotImplemented();
    return;
  }
  std::optional<std::string> path = BundleInfoPath(environment_);
  if (!path) {
    result->Error(kBundleInfoUnreadable,
                  "cannot locate the bundle information: the executable's directory is unknown "
                  "and " + std::string(kBundleInfoVariable) + " is not set");
    return;
  }
  std::string error;
  std::optional<BundleInfo> info = LoadBundleInfo(*path, &error);
  if (!info) {
    result->Error(kBundleInfoUnreadable, error, Value(*path));
    return;
  }
  std::optional<FileDate> install = GetInstallDate();
  std::optional<FileDate> update = GetUpdateDate(BundlePath(*path));
  ValueMap map;
  map.append("appName", OrNull(info->display_name ? info->display_name : info->name));
  map.append("packageName", OrNull(info->identifier));
  map.append("version", OrNull(info->short_version));
  map.append("buildNumber", OrNull(info->version));
  map.append("installerStore", Value());
  map.append("installTime", OrNull(GetTimeMillisStringFromDate(install ? install : update)));
  map.append("updateTime", OrNull(GetTimeMillisStringFromDate(update)));
  result->Success(Value(std::move(map)));
}

bool FPPPackageInfoPlusPlugin::IsRunningInSandbox() const {
  return environment_(kSandboxVariable).has_value();
}

std::optional<FileDate> FPPPackageInfoPlusPlugin::GetInstallDate() const {
  if (!IsRunningInSandbox()) return std::nullopt;
  std::optional<std::string> documents = UserDomainPath(
      SearchPathDirectory::kDocuments, XdgBaseDirs::FromEnvironment(environment_));
  if (!documents) return std::nullopt;
  return CreationDate(*documents);
}

std::optional<FileDate> FPPPackageInfoPlusPlugin::GetUpdateDate(
    const std::string& bundle_path) const {
  return ModificationDate(bundle_path);
}

}  // namespace kelvo
