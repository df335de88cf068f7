// A SQLite connection to one of the keychain directory's files, set up for
// several processes at once: WAL journal, synchronous=FULL (a write is
// durable when it returns), busy timeout 5 s, writes in BEGIN IMMEDIATE
// transactions. The file and its -wal and -shm files get mode 0600 whatever
// the umask. Internal to the keychain layer (the enclave store uses it too).
//
// Threading: one thread at a time (callers hold their own lock).
// Connections must not cross fork(): open them in the child.
#pragma once

#include <map>
#include <memory>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

#include "platform/sqlite/transaction.h"

namespace kelvo {

class SqliteConnection {
 public:
  // Opens `path` (created 0600 when missing; its directory must exist) and
  // runs `schema` (statements separated by ";"). Null with `error` set on
  // failure.
  static std::unique_ptr<SqliteConnection> Open(const std::string& path, const std::string& schema,
                                                std::string* error);
  ~SqliteConnection();
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  sqlite3* db() const { return db_; }
  const std::string& path() const { return path_; }
  // A statement prepared once and kept for the connection's life; null on
  // failure (logged). Use it through a StatementScope.
  sqlite3_stmt* Prepare(const std::string& sql);
  // The connection's last error, for messages.
  std::string LastError() const;

 private:
  SqliteConnection(std::string path, sqlite3* db) : path_(std::move(path)), db_(db) {}

  const std::string path_;
  sqlite3* const db_;
  std::map<std::string, sqlite3_stmt*> statements_;
};

// Resets a statement and its bindings when it goes out of scope, so no
// read snapshot outlives a call.
class StatementScope {
 public:
  explicit StatementScope(sqlite3_stmt* s) : s_(s) {}
  ~StatementScope();
  StatementScope(const StatementScope&) = delete;
  StatementScope& operator=(const StatementScope&) = delete;

 private:
  sqlite3_stmt* s_;
};

// The shared transaction guard (platform/sqlite) with the keychain's log
// lines: BEGIN IMMEDIATE on construction (waiting out other writers up to
// the busy timeout), ROLLBACK on any way out but a successful Commit.
class WriteTransaction {
 public:
  explicit WriteTransaction(SqliteConnection* connection);
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;

  bool started() const { return transaction_.started(); }
  bool Commit();

 private:
  SqliteConnection* const connection_;
  SqliteTransaction transaction_;
};

}  // namespace kelvo
