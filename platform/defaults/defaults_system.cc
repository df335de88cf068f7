// The part of the defaults system that does not depend on where domains are
// stored: suite names, the search list, the whole-dictionary view and the
// registered defaults.
#include <cstdio>
#include <mutex>
#include <unordered_set>
#include <utility>

#include "platform/defaults/domain_store.h"

namespace kelvo {
namespace {

// Longest suite name accepted; it becomes a file or directory name.
constexpr size_t kMaxSuiteNameBytes = 200;

bool IsSinglePathComponent(const std::string& name) {
  return !name.empty() && name.size() <= kMaxSuiteNameBytes && name != "." && name != ".." &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

// State every handle of one system shares; handles keep it alive.
struct Shared {
  DefaultsConfig config;
  std::shared_ptr<DomainProvider> provider;
  std::shared_ptr<DomainStore> global;

  std::mutex mu;
  ValueMap registered;  // guarded by mu; string keys only

  ValueMap Registered() {
    std::lock_guard lock(mu);
    return registered;
  }
  std::optional<Value> RegisteredValue(const std::string& key) {
    std::lock_guard lock(mu);
    if (const Value* v = registered.find(std::string_view(key))) return *v;
    return std::nullopt;
  }
};

class Handle : public UserDefaults {
 public:
  Handle(std::shared_ptr<Shared> shared, std::string domain, std::shared_ptr<DomainStore> own)
      : shared_(std::move(shared)), domain_(std::move(domain)), own_(std::move(own)) {}

  const std::string& domain() const override { return domain_; }

  std::optional<Value> Get(const std::string& key) const override {
    if (auto v = own_->Get(key)) return v;
    if (own_ != shared_->global) {
      if (auto v = shared_->global->Get(key)) return v;
    }
    return shared_->RegisteredValue(key);
  }

  ValueMap Dictionary() const override {
    ValueMap out;
    std::unordered_set<std::string> seen;
    auto add = [&](const ValueMap& map) {
      for (const auto& [key, value] : map) {
        const std::string* k = key.get_if<std::string>();
        if (k && seen.insert(*k).second) out.append(key, value);
      }
    };
    if (auto own = own_->All()) add(*own);
    if (own_ != shared_->global) {
      if (auto global = shared_->global->All()) add(*global);
    }
    add(shared_->Registered());
    return out;
  }

  bool Set(const std::string& key, const Value& value) override {
    // As on the platform, storing null removes the key.
    if (value.is_null()) return own_->Remove(key);
    return own_->Set(key, value);
  }

  bool Remove(const std::string& key) override { return own_->Remove(key); }
  bool RemoveKeys(const std::vector<std::string>& keys) override { return own_->RemoveKeys(keys); }

 private:
  std::shared_ptr<Shared> shared_;
  std::string domain_;
  std::shared_ptr<DomainStore> own_;
};

class System : public UserDefaultsSystem {
 public:
  explicit System(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

  std::unique_ptr<UserDefaults> Standard() override {
    const std::string& id = shared_->config.bundle_id;
    std::shared_ptr<DomainStore> own;
    if (IsSinglePathComponent(id) && id != kGlobalDomainName) {
      own = shared_->provider->Domain(id);
    } else {
      own = MakeNoDomain("the application has no usable bundle identifier");
    }
    return std::make_unique<Handle>(shared_, id, std::move(own));
  }

  std::unique_ptr<UserDefaults> GlobalDomain() override {
    return std::make_unique<Handle>(shared_, kGlobalDomainName, shared_->global);
  }

  std::unique_ptr<UserDefaults> Suite(const std::string& name) override {
    if (IsRefusedSuiteName(shared_->config, name)) return nullptr;
    if (!shared_->provider->OpenSuite(name)) return nullptr;
    return std::make_unique<Handle>(shared_, name, shared_->provider->Domain(name));
  }

  std::optional<ValueMap> PersistentDomain(const std::string& name) override {
    if (!IsSinglePathComponent(name)) return std::nullopt;
    return shared_->provider->Domain(name)->All();
  }

  void RegisterDefaults(const ValueMap& defaults) override {
    std::lock_guard lock(shared_->mu);
    for (const auto& [key, value] : defaults) {
      if (key.is_string()) shared_->registered.set(key, value);
    }
  }

  std::optional<std::string> AppGroupContainer(const std::string& group) const override {
    for (const std::string& g : shared_->config.app_groups) {
      if (g == group) return shared_->config.app_group_root + "/" + group;
    }
    return std::nullopt;
  }

 private:
  std::shared_ptr<Shared> shared_;
};

// Reads find nothing; writes fail loudly.
class NoDomain : public DomainStore {
 public:
  explicit NoDomain(std::string why) : why_(std::move(why)) {}
  std::optional<Value> Get(const std::string&) override { return std::nullopt; }
  std::optional<ValueMap> All() override { return std::nullopt; }
  bool Set(const std::string& key, const Value&) override {
    LogDefaults("not written: " + key + " (" + why_ + ")");
    return false;
  }
  bool Remove(const std::string&) override { return true; }

 private:
  std::string why_;
};

}  // namespace

std::shared_ptr<DomainStore> MakeNoDomain(std::string why) {
  return std::make_shared<NoDomain>(std::move(why));
}

bool IsRefusedSuiteName(const DefaultsConfig& config, const std::string& name) {
  return !IsSinglePathComponent(name) || name == kGlobalDomainName || name == config.bundle_id;
}

namespace {
thread_local std::string last_failure;
}  // namespace

void LogDefaults(const std::string& message) {
  last_failure = message;
  std::fprintf(stderr, "kelvo defaults: %s\n", message.c_str());
}

std::string LastDefaultsFailure() { return last_failure; }

std::unique_ptr<UserDefaultsSystem> MakeUserDefaultsSystem(
    DefaultsConfig config, std::shared_ptr<DomainProvider> provider) {
  auto shared = std::make_shared<Shared>();
  shared->config = std::move(config);
  shared->provider = std::move(provider);
  shared->global = shared->provider->Domain(kGlobalDomainName);
  return std::make_unique<System>(std::move(shared));
}

}  // namespace kelvo
