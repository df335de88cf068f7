// Internals shared by the SQLite system and the in-memory fake: one domain's
// storage, and the generic system that puts names, the search list and the
// registered defaults on top of whichever storage it is given.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/defaults/defaults_failure.h"
#include "platform/defaults/user_defaults.h"
#include "platform/engine/value.h"

namespace kelvo {

// The stored key/value pairs of one domain. Thread-safe.
class DomainStore {
 public:
  virtual ~DomainStore() = default;
  // nullopt when the key is absent (or unreadable, with a log line).
  virtual std::optional<Value> Get(const std::string& key) = 0;
  // Every stored pair; nullopt when the domain has no store yet.
  virtual std::optional<ValueMap> All() = 0;
  // False (with a log line) when the write did not happen.
  virtual bool Set(const std::string& key, const Value& value) = 0;
  // Removing an absent key, or from a domain with no store, succeeds.
  virtual bool Remove(const std::string& key) = 0;
  // All of `keys` or none (one transaction where the storage has them).
  virtual bool RemoveKeys(const std::vector<std::string>& keys) {
    bool ok = true;
    for (const std::string& key : keys) ok = Remove(key) && ok;
    return ok;
  }
};

// Where the domains of one system live.
class DomainProvider {
 public:
  virtual ~DomainProvider() = default;
  // The store of domain `name` (own, global, App Group or plain suite),
  // cached (the SQLite provider keeps the 16 most recently used). It may
  // exist before its backing store does: reads then find nothing, and the
  // first write creates it.
  virtual std::shared_ptr<DomainStore> Domain(const std::string& name) = 0;
  // Whether Suite(name) opens right now, for a name that is not refused. An
  // App Group's container directory is created here when missing.
  virtual bool OpenSuite(const std::string& name) = 0;
};

// The names, search list and registered defaults over `provider`.
std::unique_ptr<UserDefaultsSystem> MakeUserDefaultsSystem(
    DefaultsConfig config, std::shared_ptr<DomainProvider> provider);

// A suite name the platform refuses: empty, the global domain, the
// application's own bundle identifier, or not a single path component.
bool IsRefusedSuiteName(const DefaultsConfig& config, const std::string& name);

// A domain that cannot have a store (for instance, no usable directory):
// reads find nothing, removals of nothing succeed, and writes fail with a
// log line naming `why`.
std::shared_ptr<DomainStore> MakeNoDomain(std::string why);

// Logs one line of the defaults layer to stderr and keeps it as this
// thread's LastDefaultsFailure(). Only failures are logged. Never pass
// values: they may be secrets (tokens live in the App Group suite).
void LogDefaults(const std::string& message);

}  // namespace kelvo
