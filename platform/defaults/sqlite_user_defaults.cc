// Where the SQLite-backed system keeps each domain, and the App Group
// containers.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <map>
#include <mutex>

#include "platform/defaults/app_group_container.h"
#include "platform/defaults/domain_store.h"
#include "platform/defaults/sqlite_domain.h"
#include "platform/engine/peer_access.h"

namespace kelvo {
namespace {

// Domains kept open at once (three files each).
constexpr size_t kMaxOpenDomains = 16;

class SqliteProvider : public DomainProvider {
 public:
  explicit SqliteProvider(DefaultsConfig config) : config_(std::move(config)) {}

  // Each open domain holds three files (database, WAL, shared memory), so
  // only the most recently used ones stay cached; one dropped here closes
  // as soon as no caller holds it (the global domain is always held).
  std::shared_ptr<DomainStore> Domain(const std::string& name) override {
    std::lock_guard lock(mu_);
    auto it = domains_.find(name);
    if (it != domains_.end()) {
      recent_.splice(recent_.begin(), recent_, it->second.recent);
      return it->second.store;
    }
    std::shared_ptr<DomainStore> store = MakeDomain(name);
    recent_.push_front(name);
    domains_.emplace(name, Cached{store, recent_.begin()});
    while (domains_.size() > kMaxOpenDomains) {
      domains_.erase(recent_.back());
      recent_.pop_back();
    }
    return store;
  }

  bool OpenSuite(const std::string& name) override {
    if (!IsAppGroup(name)) return IsAbsolute(config_.data_home);
    if (!IsAbsolute(config_.app_group_root)) return false;
    if (auto problem = EnsureAppGroupContainer(config_.app_group_root, name,
                                               kSharedGroupName)) {
      LogDefaults(*problem);
      return false;
    }
    return true;
  }

 private:
  static bool IsAbsolute(const std::string& path) { return !path.empty() && path.front() == '/'; }

  bool IsAppGroup(const std::string& name) const {
    return std::find(config_.app_groups.begin(), config_.app_groups.end(), name) !=
           config_.app_groups.end();
  }

  std::shared_ptr<DomainStore> MakeDomain(const std::string& name) {
    if (IsAppGroup(name)) {
      if (!IsAbsolute(config_.app_group_root)) {
        return MakeNoDomain("no absolute App Group root is configured");
      }
      return SqliteDomainFile::ForPath(
          config_.app_group_root + "/" + name + "/" + kAppGroupDefaultsFile,
          {.file_mode = kAppGroupFileMode, .create_parents = false});
    }
    if (!IsAbsolute(config_.data_home)) {
      return MakeNoDomain(config_.data_home_error.empty()
                              ? "no absolute data directory (XDG_DATA_HOME or HOME) is known"
                              : config_.data_home_error);
    }
    return SqliteDomainFile::ForPath(config_.data_home + "/kelvo/defaults/" + name + ".sqlite3",
                                     {.file_mode = kUserDomainFileMode, .create_parents = true});
  }

  struct Cached {
    std::shared_ptr<DomainStore> store;
    std::list<std::string>::iterator recent;
  };

  const DefaultsConfig config_;
  std::mutex mu_;
  std::map<std::string, Cached> domains_;  // guarded by mu_, like recent_
  std::list<std::string> recent_;          // most recently used first
};

}  // namespace

std::unique_ptr<UserDefaultsSystem> OpenUserDefaultsSystem(const DefaultsConfig& config) {
  return MakeUserDefaultsSystem(config, std::make_shared<SqliteProvider>(config));
}

}  // namespace kelvo
