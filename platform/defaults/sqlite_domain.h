// One domain stored in one SQLite file (table "defaults": key TEXT, value
// BLOB of standard-codec bytes). Internal to the defaults layer.
//
// One connection per file per process, opened lazily, guarded by a mutex,
// with its statements prepared once. WAL journal, synchronous=FULL (a write
// is durable when it returns), busy timeout 250 ms (the
// main queue waits no longer: a write that cannot get the lock fails). Every statement is reset
// as soon as it has run, so no read snapshot outlives a call and the next
// read sees what other processes committed. Before each use the file's
// identity is checked: a file deleted or replaced behind our back is
// reopened rather than read through a stale connection.
//
// Connections must not cross fork(): open the system in the child.
#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>

#include "platform/defaults/domain_store.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kelvo {

struct SqliteFileOptions {
  // Exact mode of the file (umask not applied); SQLite gives its -wal and
  // -shm files the same mode.
  mode_t file_mode = 0600;
  // Create missing parent directories (mode 0700) on the first write; when
  // false the parent must exist.
  bool create_parents = true;
};

class SqliteDomainFile : public DomainStore {
 public:
  // The one object for `path` in this process (options of the first caller
  // win while it lives).
  static std::shared_ptr<SqliteDomainFile> ForPath(const std::string& path,
                                                   SqliteFileOptions options);

  SqliteDomainFile(std::string path, SqliteFileOptions options);
  ~SqliteDomainFile() override;
  SqliteDomainFile(const SqliteDomainFile&) = delete;
  SqliteDomainFile& operator=(const SqliteDomainFile&) = delete;

  const std::string& path() const { return path_; }

  std::optional<Value> Get(const std::string& key) override;
  std::optional<ValueMap> All() override;
  bool Set(const std::string& key, const Value& value) override;
  bool Remove(const std::string& key) override;
  bool RemoveKeys(const std::vector<std::string>& keys) override;

 private:
  enum class OpenState { kNoFile, kOpen, kFailed };

  OpenState EnsureOpenLocked(bool create);
  bool CreateFileLocked();
  bool OpenConnectionLocked();
  void CloseLocked();
  // Logs the connection's last error and drops the connection, so the next
  // call starts from a clean one.
  void FailLocked(const std::string& what);

  const std::string path_;
  const SqliteFileOptions options_;

  std::mutex mu_;
  sqlite3* db_ = nullptr;  // guarded by mu_, like everything below
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  sqlite3_stmt* get_ = nullptr;
  sqlite3_stmt* all_ = nullptr;
  sqlite3_stmt* set_ = nullptr;
  sqlite3_stmt* remove_ = nullptr;
};

}  // namespace kelvo
