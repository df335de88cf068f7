#include "services/preferences/shared_preferences_plugin.h"

#include <cstdio>
#include <memory>
#include <utility>

#include "services/preferences/legacy_shared_preferences_plugin.h"
#include "services/preferences/preferences_store.h"

namespace kelvo {

SharedPreferencesPlugin::SharedPreferencesPlugin(UserDefaultsSystem* defaults,
                                                 std::string bundle_id)
    : defaults_(defaults), bundle_id_(std::move(bundle_id)) {}

void SharedPreferencesPlugin::Register(PluginRegistrar* registrar) {
  const HostContext& context = registrar->context();
  if (context.defaults == nullptr) {
    std::fprintf(stderr, "kelvo preferences: no user-defaults store; channels not installed\n");
    return;
  }
  const std::string& bundle_id = context.defaults_config.bundle_id;
  auto current = std::make_shared<SharedPreferencesPlugin>(context.defaults, bundle_id);
  SetUpUserDefaultsApi(registrar->messenger(), current);
  auto legacy = std::make_shared<LegacySharedPreferencesPlugin>(context.defaults, bundle_id);
  SetUpLegacyUserDefaultsApi(registrar->messenger(), legacy);
  registrar->Publish(std::move(current));
  registrar->Publish(std::move(legacy));
}

void SharedPreferencesPlugin::Set(const std::string& key, const Value& value,
                                  const SharedPreferencesPigeonOptions& options) {
  StoreValue(*OpenUserDefaults(*defaults_, options), key, value);
}

void SharedPreferencesPlugin::Clear(const AllowList& allow_list,
                                    const SharedPreferencesPigeonOptions& options) {
  std::unique_ptr<UserDefaults> store = OpenUserDefaults(*defaults_, options);
  if (allow_list) {
    RemoveValues(*store, *allow_list);
    return;
  }
  // Every key the store sees; removal touches only its own domain, so
  // global and registered values stay visible afterwards.
  std::vector<std::string> keys;
  for (const auto& [key, value] : store->Dictionary()) {
    if (const auto* name = key.get_if<std::string>()) keys.push_back(*name);
  }
  RemoveValues(*store, keys);
}

ValueMap SharedPreferencesPlugin::GetAll(const AllowList& allow_list,
                                         const SharedPreferencesPigeonOptions& options) {
  return GetAllPrefs(*defaults_, bundle_id_, allow_list, options);
}

Value SharedPreferencesPlugin::GetValue(const std::string& key,
                                        const SharedPreferencesPigeonOptions& options) {
  std::optional<Value> value = OpenUserDefaults(*defaults_, options)->Get(key);
  return value && IsCompatible(*value) ? *value : Value();
}

std::vector<std::string> SharedPreferencesPlugin::GetKeys(
    const AllowList& allow_list, const SharedPreferencesPigeonOptions& options) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : GetAllPrefs(*defaults_, bundle_id_, allow_list, options)) {
    keys.push_back(key.as_string());
  }
  return keys;
}

}  // namespace kelvo
