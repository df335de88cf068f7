#include "platform/keychain/sqlite_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/keychain/keychain_files.h"

namespace kelvo {
namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr mode_t kFileMode = 0600;

bool IsBusy(int rc) {
  int primary = rc & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

bool CreateFile(const std::string& path, std::string* error) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kFileMode);
  if (fd < 0) {
    if (errno == EEXIST) return true;
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = fchmod(fd, kFileMode) == 0;
  if (!ok) *error = "cannot set the mode of " + path + ": " + std::strerror(errno);
  close(fd);
  return ok;
}

// SQLite gives -wal and -shm the main file's mode; make sure of it anyway,
// since a file left by an older version may have another.
void FixModes(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm"}) {
    std::string file = path + suffix;
    struct stat st;
    if (stat(file.c_str(), &st) == 0 && (st.st_mode & 07777) != kFileMode) {
      chmod(file.c_str(), kFileMode);
    }
  }
}

}  // namespace

std::unique_ptr<SqliteConnection> SqliteConnection::Open(const std::string& path,
                                                         const std::string& schema,
                                                         std::string* error) {
  std::string ignored;
  std::string* err = error ? error : &ignored;
  if (!CreateFile(path, err)) return nullptr;
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    *err = "cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<SqliteConnection> connection(new SqliteConnection(path, db));
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);

  // Switching a new file to WAL takes an exclusive lock that the busy
  // handler does not always wait for, so the set-up retries on its own.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  const std::string setup[] = {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL",
                               "BEGIN IMMEDIATE;" + schema + ";COMMIT"};
  for (const std::string& sql : setup) {
    for (;;) {
      rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
      if (rc != SQLITE_OK) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      if (!IsBusy(rc) || std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (rc != SQLITE_OK) {
      *err = "cannot set up " + path + ": " + sqlite3_errmsg(db);
      return nullptr;
    }
  }
  FixModes(path);
  return connection;
}

SqliteConnection::~SqliteConnection() {
  for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
  sqlite3_close(db_);
}

sqlite3_stmt* SqliteConnection::Prepare(const std::string& sql) {
  auto it = statements_.find(sql);
  if (it != statements_.end()) return it->second;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
      SQLITE_OK) {
    LogKeychain("cannot prepare a statement for " + path_ + ": " + LastError());
    return nullptr;
  }
  statements_.emplace(sql, statement);
  return statement;
}

std::string SqliteConnection::LastError() const { return sqlite3_errmsg(db_); }

StatementScope::~StatementScope() {
  if (s_ == nullptr) return;
  sqlite3_reset(s_);
  sqlite3_clear_bindings(s_);
}

WriteTransaction::WriteTransaction(SqliteConnection* connection)
    : connection_(connection), transaction_(connection->db()) {
  if (!transaction_.started()) {
    LogKeychain("cannot start a write on " + connection_->path() + ": " + transaction_.error());
  }
}

bool WriteTransaction::Commit() {
  if (!transaction_.started()) return false;
  if (!transaction_.Commit()) {
    LogKeychain("write on " + connection_->path() + " not saved: " + transaction_.error());
    return false;
  }
  return true;
}

}  // namespace kelvo
