#include "services/preferences/legacy_shared_preferences_plugin.h"

#include <memory>
#include <utility>

#include "services/preferences/preferences_store.h"

namespace kelvo {

LegacySharedPreferencesPlugin::LegacySharedPreferencesPlugin(UserDefaultsSystem* defaults,
                                                             std::string bundle_id)
    : defaults_(defaults), bundle_id_(std::move(bundle_id)) {}

void LegacySharedPreferencesPlugin::Remove(const std::string& key) {
  RemoveValue(*defaults_->Standard(), key);
}

void LegacySharedPreferencesPlugin::SetBool(const std::string& key, bool value) {
  StoreValue(*defaults_->Standard(), key, Value(value));
}

void LegacySharedPreferencesPlugin::SetDouble(const std::string& key, double value) {
  StoreValue(*defaults_->Standard(), key, Value(value));
}

void LegacySharedPreferencesPlugin::SetValue(const std::string& key, const Value& value) {
  StoreValue(*defaults_->Standard(), key, value);
}

ValueMap LegacySharedPreferencesPlugin::GetAll(const std::string& prefix,
                                               const AllowList& allow_list) {
  ValueMap out;
  for (const auto& [key, value] : GetAllPrefs(*defaults_, bundle_id_, allow_list, {})) {
    if (key.as_string().starts_with(prefix)) out.append(key, value);
  }
  return out;
}

bool LegacySharedPreferencesPlugin::Clear(const std::string& prefix, const AllowList& allow_list) {
  std::unique_ptr<UserDefaults> store = defaults_->Standard();
  std::vector<std::string> keys;
  for (const auto& [key, value] : GetAll(prefix, allow_list)) keys.push_back(key.as_string());
  RemoveValues(*store, keys);
  return true;
}

}  // namespace kelvo
