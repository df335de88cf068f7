// The preferences service: the user interface's small settings in the
// user-defaults store, through the current API (this plugin, suites named
// per request) and the legacy API (LegacySharedPreferencesPlugin, the
// standard store, key prefixes), both set up by Register.
//
// Reads report only compatible values (IsCompatible); writes store what
// they are given. "getAll"/"getKeys" read only what was stored in the
// suite's own domain, while "getValue" looks through the whole search list
// (global domain and registered defaults too). A suite name the store
// refuses fails every current-API request with "Argument Error"; a write
// the store reports as not done fails with "Storage Error".
//
// Ownership: neither plugin keeps state between requests; each opens the
// store it needs. `defaults` is not owned and must outlive the plugins.
// Threading: requests run on the main queue and reply before returning.
#pragma once

#include <string>

#include "platform/defaults/user_defaults.h"
#include "platform/engine/plugin_registry.h"
#include "services/preferences/user_defaults_api.h"

namespace kelvo {

class SharedPreferencesPlugin final : public UserDefaultsApi {
 public:
  // `bundle_id` names the application's own domain (empty: none).
  SharedPreferencesPlugin(UserDefaultsSystem* defaults, std::string bundle_id);

  // Sets up the current and the legacy API on the registrar's messenger
  // (no channel suffix), on the host's store, and publishes both plugins.
  static void Register(PluginRegistrar* registrar);

  void Set(const std::string& key, const Value& value,
           const SharedPreferencesPigeonOptions& options) override;
  void Clear(const AllowList& allow_list, const SharedPreferencesPigeonOptions& options) override;
  ValueMap GetAll(const AllowList& allow_list,
                  const SharedPreferencesPigeonOptions& options) override;
  Value GetValue(const std::string& key, const SharedPreferencesPigeonOptions& options) override;
  std::vector<std::string> GetKeys(const AllowList& allow_list,
                                   const SharedPreferencesPigeonOptions& options) override;

 private:
  UserDefaultsSystem* defaults_;
  std::string bundle_id_;
};

}  // namespace kelvo
