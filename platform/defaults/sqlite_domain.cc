#include "platform/defaults/sqlite_domain.h"

#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <span>
#include <thread>

#include "platform/engine/standard_codec.h"
#include "platform/fs/files.h"
#include "platform/sqlite/transaction.h"

namespace kelvo {
namespace {

constexpr int kBusyTimeoutMs = 250;

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS defaults("
    "key TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL) WITHOUT ROWID";

std::string Errno(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// mkdir -p with mode 0700 for the directories it creates.
bool MakeDirs(const std::string& dir) {
  std::optional<std::string> problem = MakeDirectories(dir, kPrivateDirectoryMode);
  if (problem) LogDefaults(*problem);
  return !problem;
}

// Resets a statement when it goes out of scope, ending its read snapshot.
class StatementScope {
 public:
  explicit StatementScope(sqlite3_stmt* s) : s_(s) {}
  ~StatementScope() {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
  }
  StatementScope(const StatementScope&) = delete;
  StatementScope& operator=(const StatementScope&) = delete;

 private:
  sqlite3_stmt* s_;
};

bool BindKey(sqlite3_stmt* s, const std::string& key) {
  return sqlite3_bind_text64(s, 1, key.data(), key.size(), SQLITE_STATIC, SQLITE_UTF8) == SQLITE_OK;
}

Result<Value> DecodeColumn(sqlite3_stmt* s, int column) {
  const void* blob = sqlite3_column_blob(s, column);
  int n = sqlite3_column_bytes(s, column);
  std::span<const uint8_t> bytes(static_cast<const uint8_t*>(blob),
                                 blob ? static_cast<size_t>(n) : 0);
  return StandardCodec::Instance().Decode(bytes);
}

std::string ColumnText(sqlite3_stmt* s, int column) {
  const unsigned char* text = sqlite3_column_text(s, column);
  int n = sqlite3_column_bytes(s, column);
  return text ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(n))
              : std::string();
}

bool IsBusy(int rc) {
  int primary = rc & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

}  // namespace

std::shared_ptr<SqliteDomainFile> SqliteDomainFile::ForPath(const std::string& path,
                                                            SqliteFileOptions options) {
  static std::mutex* mu = new std::mutex;
  static auto* files = new std::map<std::string, std::weak_ptr<SqliteDomainFile>>;
  std::lock_guard lock(*mu);
  std::weak_ptr<SqliteDomainFile>& slot = (*files)[path];
  if (auto file = slot.lock()) return file;
  auto file = std::make_shared<SqliteDomainFile>(path, options);
  slot = file;
  // Drop entries whose files are gone so the map does not grow without end.
  for (auto it = files->begin(); it != files->end();) {
    it = it->second.expired() ? files->erase(it) : std::next(it);
  }
  return file;
}

SqliteDomainFile::SqliteDomainFile(std::string path, SqliteFileOptions options)
    : path_(std::move(path)), options_(options) {}

SqliteDomainFile::~SqliteDomainFile() {
  std::lock_guard lock(mu_);
  CloseLocked();
}

void SqliteDomainFile::CloseLocked() {
  for (sqlite3_stmt** s : {&get_, &all_, &set_, &remove_}) {
    sqlite3_finalize(*s);
    *s = nullptr;
  }
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
}

void SqliteDomainFile::FailLocked(const std::string& what) {
  LogDefaults(what + " " + path_ + ": " + (db_ ? sqlite3_errmsg(db_) : "no connection"));
  CloseLocked();
}

bool SqliteDomainFile::CreateFileLocked() {
  std::string parent = ParentOf(path_);
  if (options_.create_parents && !MakeDirs(parent)) return false;
  int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, options_.file_mode);
  if (fd < 0) {
    if (errno == EEXIST) return true;  // another process was first
    LogDefaults(Errno("cannot create", path_));
    return false;
  }
  // The umask must not narrow the mode: App Group files need group write.
  bool ok = fchmod(fd, options_.file_mode) == 0;
  if (!ok) LogDefaults(Errno("cannot set the mode of", path_));
  close(fd);
  // Make the new directory entry durable too.
  int dir = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return ok;
}

bool SqliteDomainFile::OpenConnectionLocked() {
  int rc =
      sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    FailLocked("cannot open");
    return false;
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);

  // Switching a new file to WAL takes an exclusive lock that the busy
  // handler does not always wait for, so the set-up retries on its own.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  const char* const setup[] = {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL", kSchema};
  for (const char* sql : setup) {
    for (;;) {
      rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
      if (!IsBusy(rc) || std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (rc != SQLITE_OK) {
      FailLocked(std::string("cannot set up (") + sql + ")");
      return false;
    }
  }

  const std::pair<sqlite3_stmt**, const char*> statements[] = {
      {&get_, "SELECT value FROM defaults WHERE key = ?1"},
      {&all_, "SELECT key, value FROM defaults ORDER BY key"},
      {&set_,
       "INSERT INTO defaults(key, value) VALUES(?1, ?2) "
       "ON CONFLICT(key) DO UPDATE SET value = excluded.value"},
      {&remove_, "DELETE FROM defaults WHERE key = ?1"},
  };
  for (const auto& [stmt, sql] : statements) {
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, stmt, nullptr) != SQLITE_OK) {
      FailLocked("cannot prepare statements for");
      return false;
    }
  }
  return true;
}

SqliteDomainFile::OpenState SqliteDomainFile::EnsureOpenLocked(bool create) {
  struct stat st;
  if (stat(path_.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      LogDefaults(Errno("cannot stat", path_));
      return OpenState::kFailed;
    }
    // The file is gone: a connection to the old one would show stale values.
    CloseLocked();
    if (!create) return OpenState::kNoFile;
    if (!CreateFileLocked()) return OpenState::kFailed;
    if (stat(path_.c_str(), &st) != 0) {
      LogDefaults(Errno("cannot stat", path_));
      return OpenState::kFailed;
    }
  }
  if (db_ && st.st_dev == dev_ && st.st_ino == ino_) return OpenState::kOpen;
  CloseLocked();
  if (!OpenConnectionLocked()) return OpenState::kFailed;
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  return OpenState::kOpen;
}

std::optional<Value> SqliteDomainFile::Get(const std::string& key) {
  std::lock_guard lock(mu_);
  if (EnsureOpenLocked(false) != OpenState::kOpen) return std::nullopt;
  std::optional<Value> out;
  {
    StatementScope scope(get_);
    if (!BindKey(get_, key)) {
      LogDefaults("cannot read " + key + " from " + path_ + ": " + sqlite3_errmsg(db_));
      return std::nullopt;
    }
    int rc = sqlite3_step(get_);
    if (rc == SQLITE_ROW) {
      Result<Value> value = DecodeColumn(get_, 0);
      if (value.ok()) {
        out = std::move(value).value();
      } else {
        LogDefaults("undecodable value under " + key + " in " + path_ + ": " +
                    value.error().message);
      }
    } else if (rc != SQLITE_DONE) {
      LogDefaults("cannot read " + key + " from " + path_ + ": " + sqlite3_errmsg(db_));
      return std::nullopt;  // the connection stays: a busy timeout is no fault of it
    }
  }
  return out;
}

std::optional<ValueMap> SqliteDomainFile::All() {
  std::lock_guard lock(mu_);
  if (EnsureOpenLocked(false) != OpenState::kOpen) return std::nullopt;
  ValueMap out;
  StatementScope scope(all_);
  int rc;
  while ((rc = sqlite3_step(all_)) == SQLITE_ROW) {
    std::string key = ColumnText(all_, 0);
    Result<Value> value = DecodeColumn(all_, 1);
    if (value.ok()) {
      out.append(Value(std::move(key)), std::move(value).value());
    } else {
      LogDefaults("undecodable value under " + key + " in " + path_ + ": " + value.error().message);
    }
  }
  if (rc != SQLITE_DONE) {
    LogDefaults("cannot list " + path_ + ": " + sqlite3_errmsg(db_));
    return std::nullopt;
  }
  return out;
}

bool SqliteDomainFile::Set(const std::string& key, const Value& value) {
  std::vector<uint8_t> bytes = StandardCodec::Instance().Encode(value);
  std::lock_guard lock(mu_);
  if (EnsureOpenLocked(true) != OpenState::kOpen) {
    LogDefaults("not written: " + key + " (" + LastDefaultsFailure() + ")");
    return false;
  }
  StatementScope scope(set_);
  if (!BindKey(set_, key) ||
      sqlite3_bind_blob64(set_, 2, bytes.data(), bytes.size(), SQLITE_STATIC) != SQLITE_OK) {
    LogDefaults("not written: " + key + " in " + path_ + ": " + sqlite3_errmsg(db_));
    return false;
  }
  if (sqlite3_step(set_) != SQLITE_DONE) {
    LogDefaults("not written: " + key + " in " + path_ + ": " + sqlite3_errmsg(db_));
    return false;
  }
  return true;
}

bool SqliteDomainFile::Remove(const std::string& key) {
  std::lock_guard lock(mu_);
  switch (EnsureOpenLocked(false)) {
    case OpenState::kNoFile:
      return true;
    case OpenState::kFailed:
      LogDefaults("not removed: " + key + " (" + LastDefaultsFailure() + ")");
      return false;
    case OpenState::kOpen:
      break;
  }
  StatementScope scope(remove_);
  if (!BindKey(remove_, key) || sqlite3_step(remove_) != SQLITE_DONE) {
    LogDefaults("not removed: " + key + " in " + path_ + ": " + sqlite3_errmsg(db_));
    return false;
  }
  return true;
}

bool SqliteDomainFile::RemoveKeys(const std::vector<std::string>& keys) {
  std::lock_guard lock(mu_);
  switch (EnsureOpenLocked(false)) {
    case OpenState::kNoFile:
      return true;
    case OpenState::kFailed:
      LogDefaults("not removed: " + std::to_string(keys.size()) + " keys (no store at " + path_ +
                  ")");
      return false;
    case OpenState::kOpen:
      break;
  }
  // One transaction: one disk flush for all of them, and all or none.
  SqliteTransaction transaction(db_);
  if (!transaction.started()) {
    LogDefaults("not removed: " + std::to_string(keys.size()) + " keys in " + path_ + ": " +
                transaction.error());
    return false;
  }
  for (const std::string& key : keys) {
    StatementScope scope(remove_);
    if (!BindKey(remove_, key) || sqlite3_step(remove_) != SQLITE_DONE) {
      LogDefaults("not removed: " + key + " in " + path_ + ": " + sqlite3_errmsg(db_));
      return false;
    }
  }
  if (!transaction.Commit()) {
    LogDefaults("not removed: " + std::to_string(keys.size()) + " keys in " + path_ + ": " +
                transaction.error());
    return false;
  }
  return true;
}

}  // namespace kelvo
