// The user-defaults store: named key/value domains that several processes
// share, in the manner of the desktop platform's preferences system.
//
// Domains and where they live (one SQLite file per domain, WAL mode):
// - an App Group suite G (one of DefaultsConfig::app_groups):
//     <app_group_root>/G/defaults.sqlite3
// - the application's own domain (its bundle identifier), the global domain
//   and every other suite: <data_home>/kelvo/defaults/<name>.sqlite3
//
// Files and sharing:
// - User-domain files are created 0600, their directories 0700.
// - App Group containers are shared by the host (running as the user) and
//   the extension (running as root) through the group "kelvo": the
//   container <app_group_root>/G is made on demand by
//   EnsureAppGroupContainer (app_group_container.h), mode 02770 and that
//   group (the set-group-id bit makes files inside take it), and its files
//   are created 0660; SQLite gives the -wal and -shm files the database
//   file's mode. A container of another mode or group does not open, and
//   the reason is logged. The default root is /var/lib/kelvo/app-groups.
//
// Lookup through the search list (Get): the handle's own domain, then the
// global domain, then the registered defaults of this process.
//
// Contract:
// - A write is durable when it returns; a value written by another process
//   is seen by the next read in this one (nothing is cached).
// - Values are stored as standard-codec bytes, so every Value round-trips.
//   Storing null removes the key, as on the platform.
// - Opening a suite gives no store (nullptr) for names the platform refuses:
//   the global domain's name, the application's own bundle identifier, the
//   empty name, and names that are not a single path component (or are
//   longer than 200 bytes). An App Group suite whose container cannot be
//   opened gives no store either: the container must be a writable
//   directory, or the root must be one so that the container can be made.
// - A domain's file is created by its first write; reads of a domain that
//   was never written find nothing and create nothing.
// - A system must not be used across fork(); open one in the child.
// Threading: every object here is safe to use from any thread. Handles keep
// what they need alive, so they may outlive their system.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/engine/value.h"

namespace kelvo {

struct DefaultsConfig {
  std::string app_group_root;  // directory holding one container per group
  std::string data_home;       // XDG_DATA_HOME
  std::string bundle_id = "net.kelvo.app";
  std::vector<std::string> app_groups = {"group.net.kelvo.app"};

  std::string data_home_error;  // why data_home is empty (no home directory)
  std::string error;  // why this configuration must not be used; empty when it may

  // From the environment: KELVO_APP_GROUP_ROOT (default
  // kDefaultAppGroupRoot; a relative value sets `error`, which the
  // programs report and refuse to start on) and the data home of
  // platform/xdg/base_dirs.h. Without a home directory data_home stays
  // empty and the user domains have no store: writes fail, naming
  // data_home_error.
  static DefaultsConfig FromEnvironment();
};

inline constexpr const char* kGlobalDomainName = "NSGlobalDomain";
inline constexpr const char* kDefaultAppGroupRoot = "/var/lib/kelvo/app-groups";
inline constexpr const char* kAppGroupDefaultsFile = "defaults.sqlite3";
inline constexpr unsigned kUserDomainFileMode = 0600;
inline constexpr unsigned kAppGroupFileMode = 0660;
inline constexpr unsigned kAppGroupContainerMode = 02770;

// A handle on one domain plus the search list behind it.
class UserDefaults {
 public:
  virtual ~UserDefaults() = default;
  virtual const std::string& domain() const = 0;

  // Through the search list: own domain, global domain, registered defaults.
  virtual std::optional<Value> Get(const std::string& key) const = 0;
  // Every key the handle can see, own domain winning over the others: the
  // own domain's entries first (stored domains list their keys sorted),
  // then the global domain's, then the registered defaults'.
  virtual ValueMap Dictionary() const = 0;
  // Writes to the own domain. False (with a log line) when the write failed.
  virtual bool Set(const std::string& key, const Value& value) = 0;
  // True when the key is gone from the own domain afterwards, also when it
  // was never there. The other domains of the search list are untouched.
  virtual bool Remove(const std::string& key) = 0;
  // Removes every one of `keys` from the own domain, in one write where the
  // store allows it (all or none). Same meaning as Remove for each key.
  virtual bool RemoveKeys(const std::vector<std::string>& keys) {
    bool ok = true;
    for (const std::string& key : keys) ok = Remove(key) && ok;
    return ok;
  }
};

class UserDefaultsSystem {
 public:
  virtual ~UserDefaultsSystem() = default;

  // The application's own domain (its bundle identifier).
  virtual std::unique_ptr<UserDefaults> Standard() = 0;
  // The global domain, which every handle sees after its own domain (as
  // `defaults write -g` does on the platform): for tools and tests.
  virtual std::unique_ptr<UserDefaults> GlobalDomain() = 0;
  // A named suite, or nullptr for "no store" (see above).
  virtual std::unique_ptr<UserDefaults> Suite(const std::string& name) = 0;
  // What was stored in one domain only (any domain name, the application's
  // own and the global one included); nullopt when the domain has no store
  // (never written, or a name that is not a single path component).
  virtual std::optional<ValueMap> PersistentDomain(const std::string& name) = 0;
  // Registered defaults live in this process only, as on the platform; they
  // are merged into those registered before. Keys that are not strings are
  // ignored.
  virtual void RegisterDefaults(const ValueMap& defaults) = 0;
  // The container directory of an App Group, or nullopt when `group` is not
  // one of the configured groups.
  virtual std::optional<std::string> AppGroupContainer(const std::string& group) const = 0;
};

// The SQLite-backed system.
std::unique_ptr<UserDefaultsSystem> OpenUserDefaultsSystem(const DefaultsConfig& config);

}  // namespace kelvo
