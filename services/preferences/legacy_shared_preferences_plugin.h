// The legacy preferences API: always the application's standard defaults,
// entries filtered by key prefix. It never names a suite, so it fails only
// when the store reports a write as not done ("Storage Error").
//
// Ownership: no state between requests; `defaults` is not owned and must
// outlive the plugin. Threading: main queue, replies before returning.
#pragma once

#include <string>

#include "platform/defaults/user_defaults.h"
#include "services/preferences/user_defaults_api.h"

namespace kelvo {

class LegacySharedPreferencesPlugin final : public LegacyUserDefaultsApi {
 public:
  LegacySharedPreferencesPlugin(UserDefaultsSystem* defaults, std::string bundle_id);

  void Remove(const std::string& key) override;
  void SetBool(const std::string& key, bool value) override;
  void SetDouble(const std::string& key, double value) override;
  void SetValue(const std::string& key, const Value& value) override;
  // The compatible entries of the application's own domain whose keys
  // begin with `prefix` (case-sensitive; "" keeps all).
  ValueMap GetAll(const std::string& prefix, const AllowList& allow_list) override;
  // Removes what GetAll would list; always true.
  bool Clear(const std::string& prefix, const AllowList& allow_list) override;

 private:
  UserDefaultsSystem* defaults_;
  std::string bundle_id_;
};

}  // namespace kelvo
