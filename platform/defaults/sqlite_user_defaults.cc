// Where the SQLite-backed system keeps each domain, and the App Group
// containers.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/defaults/app_group_container.h"
#include "platform/defaults/domain_store.h"
#include "platform/defaults/sqlite_domain.h"
#include "platform/engine/peer_access.h"

namespace kelvo {
namespace {

class SqliteProvider : public DomainProvider {
 public:
  explicit SqliteProvider(DefaultsConfig config) : config_(std::move(config)) {}

  std::shared_ptr<DomainStore> Domain(const std::string& name) override {
    std::lock_guard lock(mu_);
    std::shared_ptr<DomainStore>& slot = domains_[name];
    if (!slot) slot = MakeDomain(name);
    return slot;
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
      return MakeNoDomain("no absolute data directory (XDG_DATA_HOME or HOME) is known");
    }
    return SqliteDomainFile::ForPath(config_.data_home + "/kelvo/defaults/" + name + ".sqlite3",
                                     {.file_mode = kUserDomainFileMode, .create_parents = true});
  }

  const DefaultsConfig config_;
  std::mutex mu_;
  std::map<std::string, std::shared_ptr<DomainStore>> domains_;  // guarded by mu_
};

}  // namespace

std::unique_ptr<UserDefaultsSystem> OpenUserDefaultsSystem(const DefaultsConfig& config) {
  return MakeUserDefaultsSystem(config, std::make_shared<SqliteProvider>(config));
}

}  // namespace kelvo
