#include "tunnel/app_group_settings.h"

#include <utility>

#include "platform/defaults/user_defaults.h"

namespace kelvo {
namespace {

// Opens the suite at every access, so nothing read earlier can go stale and
// a container that appears later is picked up.
class SuiteSettings : public AppGroupSettings {
 public:
  SuiteSettings(UserDefaultsSystem* system, std::string suite_name)
      : system_(system), suite_name_(std::move(suite_name)) {}

  bool Available() const override { return system_->Suite(suite_name_) != nullptr; }

  std::optional<std::string> ReadString(const std::string& key) const override {
    std::unique_ptr<UserDefaults> suite = system_->Suite(suite_name_);
    if (!suite) return std::nullopt;
    std::optional<Value> value = suite->Get(key);
    if (!value || !value->is_string()) return std::nullopt;
    return value->as_string();
  }

  void WriteString(const std::string& key, const std::string& value) override {
    std::unique_ptr<UserDefaults> suite = system_->Suite(suite_name_);
    // A failed write has been logged by the store; the caller carries on,
    // as it does when the suite does not open.
    if (suite) suite->Set(key, Value(value));
  }

 private:
  UserDefaultsSystem* const system_;
  const std::string suite_name_;
};

}  // namespace

bool AppGroupSettings::Flag(const std::string& key) const {
  std::optional<std::string> value = ReadString(key);
  return value && *value == "1";
}

std::unique_ptr<AppGroupSettings> MakeAppGroupSettings(UserDefaultsSystem* system,
                                                       std::string suite_name) {
  return std::make_unique<SuiteSettings>(system, std::move(suite_name));
}

}  // namespace kelvo
