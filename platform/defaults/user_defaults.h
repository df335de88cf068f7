// The user-defaults store: named key/value domains that several processes
// share, in the manner of the desktop platform's preferences system.
//
// Domains and where they live (one SQLite file per domain, WAL mode):
// - an App Group suite G (one of DefaultsConfig::app_groups):
//     <app_group_root>/G/defaults.sqlite3
// - the application's own domain (its bundle identifier), the global domain
//   and every other suite: <data_home>/kelvo/defaults/<name>.sqlite3
//
// Lookup through the search list (Get): the handle's own domain, then the
// global domain, then the registered defaults of this process.
//
// Contract:
// - A write is durable when it returns; a value written by another process
//   is seen by the next read in this one (nothing is cached).
// - Values are stored as standard-codec bytes, so every Value round-trips.
// - Opening a suite gives no store (nullptr) for names the platform refuses:
//   the global domain's name, the application's own bundle identifier, the
//   empty name, and names that are not a single path component. An App
//   Group suite whose container root is missing or not writable gives no
//   store either.
// Threading: every object here is safe to use from any thread.
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

  // From the environment: KELVO_APP_GROUP_ROOT (default
  // /var/lib/kelvo/app-groups) and XDG_DATA_HOME (default ~/.local/share).
  static DefaultsConfig FromEnvironment();
};

inline constexpr const char* kGlobalDomainName = "NSGlobalDomain";

// A handle on one domain plus the search list behind it.
class UserDefaults {
 public:
  virtual ~UserDefaults() = default;
  virtual const std::string& domain() const = 0;

  // Through the search list: own domain, global domain, registered defaults.
  virtual std::optional<Value> Get(const std::string& key) const = 0;
  // Every key the handle can see, own domain winning over the others.
  virtual ValueMap Dictionary() const = 0;
  // Writes to the own domain. False (with a log line) when the write failed.
  virtual bool Set(const std::string& key, const Value& value) = 0;
  virtual bool Remove(const std::string& key) = 0;
};

class UserDefaultsSystem {
 public:
  virtual ~UserDefaultsSystem() = default;

  // The application's own domain (its bundle identifier).
  virtual std::unique_ptr<UserDefaults> Standard() = 0;
  // A named suite, or nullptr for "no store" (see above).
  virtual std::unique_ptr<UserDefaults> Suite(const std::string& name) = 0;
  // What was stored in one domain only; nullopt when the domain has no
  // store (never written, or refused).
  virtual std::optional<ValueMap> PersistentDomain(const std::string& name) = 0;
  // Registered defaults live in this process only, as on the platform.
  virtual void RegisterDefaults(const ValueMap& defaults) = 0;
  // The container directory of an App Group, or nullopt when `group` is not
  // one of the configured groups.
  virtual std::optional<std::string> AppGroupContainer(const std::string& group) const = 0;
};

// The SQLite-backed system.
std::unique_ptr<UserDefaultsSystem> OpenUserDefaultsSystem(const DefaultsConfig& config);

}  // namespace kelvo
