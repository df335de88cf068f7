#include "platform/defaults/fake_user_defaults.h"

#include <map>
#include <mutex>

#include "platform/defaults/domain_store.h"

namespace kelvo {
namespace {

class MemoryDomain : public DomainStore {
 public:
  explicit MemoryDomain(std::shared_ptr<FakeDefaultsControls> controls)
      : controls_(std::move(controls)) {}

  std::optional<Value> Get(const std::string& key) override {
    std::lock_guard lock(mu_);
    if (!values_) return std::nullopt;
    if (const Value* v = values_->find(std::string_view(key))) return *v;
    return std::nullopt;
  }

  std::optional<ValueMap> All() override {
    std::lock_guard lock(mu_);
    return values_;
  }

  bool Set(const std::string& key, const Value& value) override {
    if (controls_->writes_fail) {
      LogDefaults("not written: " + key + " (writes made to fail)");
      return false;
    }
    std::lock_guard lock(mu_);
    if (!values_) values_.emplace();
    values_->set(Value(key), value);
    return true;
  }

  bool Remove(const std::string& key) override {
    if (controls_->writes_fail) {
      LogDefaults("not removed: " + key + " (writes made to fail)");
      return false;
    }
    std::lock_guard lock(mu_);
    if (values_) values_->erase(Value(key));
    return true;
  }

 private:
  const std::shared_ptr<FakeDefaultsControls> controls_;
  std::mutex mu_;
  std::optional<ValueMap> values_;  // nullopt until the first write
};

class MemoryProvider : public DomainProvider {
 public:
  explicit MemoryProvider(std::shared_ptr<FakeDefaultsControls> controls)
      : controls_(std::move(controls)) {}

  std::shared_ptr<DomainStore> Domain(const std::string& name) override {
    std::lock_guard lock(mu_);
    std::shared_ptr<DomainStore>& slot = domains_[name];
    if (!slot) slot = std::make_shared<MemoryDomain>(controls_);
    return slot;
  }

  bool OpenSuite(const std::string&) override { return controls_->suites_available; }

 private:
  const std::shared_ptr<FakeDefaultsControls> controls_;
  std::mutex mu_;
  std::map<std::string, std::shared_ptr<DomainStore>> domains_;  // guarded by mu_
};

}  // namespace

std::unique_ptr<UserDefaultsSystem> MakeInMemoryUserDefaultsSystem(
    std::shared_ptr<FakeDefaultsControls> controls, DefaultsConfig config) {
  if (!controls) controls = std::make_shared<FakeDefaultsControls>();
  if (config.app_group_root.empty()) config.app_group_root = "/fake/app-groups";
  return MakeUserDefaultsSystem(std::move(config),
                                std::make_shared<MemoryProvider>(std::move(controls)));
}

}  // namespace kelvo
