#include "platform/store/store_database.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "platform/fs/files.h"
#include "platform/sqlite/transaction.h"
#include "platform/store/store_json.h"

namespace kelvo {
namespace {

using nlohmann::json;

constexpr int kBusyTimeoutMs = 250;  // the store is called on the main queue

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY NOT NULL, value INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS queue(
  id INTEGER PRIMARY KEY NOT NULL,
  seq INTEGER NOT NULL,
  outcome TEXT NOT NULL,
  state INTEGER NOT NULL,
  product_id TEXT,
  transaction_json TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS ledger(
  id INTEGER PRIMARY KEY NOT NULL,
  original_id INTEGER NOT NULL,
  product_id TEXT NOT NULL,
  purchase_date REAL NOT NULL,
  original_purchase_date REAL NOT NULL,
  expiration_date REAL,
  quantity INTEGER NOT NULL,
  app_account_token TEXT,
  app_username TEXT,
  offer_type TEXT,
  offer_id TEXT,
  finished INTEGER NOT NULL,
  revocation_date REAL,
  verified INTEGER NOT NULL,
  verification_error TEXT NOT NULL,
  json TEXT NOT NULL,
  jws TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS pending(
  id INTEGER PRIMARY KEY NOT NULL,
  product_id TEXT NOT NULL,
  quantity INTEGER NOT NULL,
  app_account_token TEXT,
  offer_type TEXT,
  offer_id TEXT,
  created REAL NOT NULL);
)sql";

std::string SqlError(sqlite3* db, const std::string& what) {
  return what + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
}

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { ok_ = sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) == SQLITE_OK; }
  ~Statement() { sqlite3_finalize(s_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return ok_; }
  sqlite3_stmt* get() { return s_; }

  void Bind(int i, int64_t v) { Check(sqlite3_bind_int64(s_, i, v)); }
  void Bind(int i, uint64_t v) { Bind(i, static_cast<int64_t>(v)); }
  void Bind(int i, double v) { Check(sqlite3_bind_double(s_, i, v)); }
  void Bind(int i, bool v) { Bind(i, int64_t{v ? 1 : 0}); }
  void Bind(int i, const std::string& v) {
    Check(sqlite3_bind_text64(s_, i, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
  }
  template <typename T>
  void Bind(int i, const std::optional<T>& v) {
    if (v) {
      Bind(i, *v);
    } else {
      Check(sqlite3_bind_null(s_, i));
    }
  }
  // Runs a statement that returns no rows.
  bool Run() { return ok_ && sqlite3_step(s_) == SQLITE_DONE; }

  bool IsNull(int c) { return sqlite3_column_type(s_, c) == SQLITE_NULL; }
  int64_t Int(int c) { return sqlite3_column_int64(s_, c); }
  double Real(int c) { return sqlite3_column_double(s_, c); }
  std::string Text(int c) {
    const unsigned char* t = sqlite3_column_text(s_, c);
    return t ? std::string(reinterpret_cast<const char*>(t), sqlite3_column_bytes(s_, c)) : "";
  }
  std::optional<std::string> OptText(int c) {
    if (IsNull(c)) return std::nullopt;
    return Text(c);
  }
  std::optional<double> OptReal(int c) {
    if (IsNull(c)) return std::nullopt;
    return Real(c);
  }

 private:
  void Check(int rc) { ok_ = ok_ && rc == SQLITE_OK; }
  sqlite3_stmt* s_ = nullptr;
  bool ok_ = false;
};

bool Exec(sqlite3* db, const char* sql, std::string* error, const std::string& what) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  *error = what + ": " + (message ? message : "failed");
  sqlite3_free(message);
  return false;
}

bool PutQueue(sqlite3* db, const QueueEntry& e) {
  Statement s(db,
              "INSERT OR REPLACE INTO queue(id, seq, outcome, state, product_id, transaction_json) "
              "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
  s.Bind(1, e.id);
  s.Bind(2, e.seq);
  s.Bind(3, std::string(PurchaseOutcomeName(e.outcome)));
  s.Bind(4, e.transaction.state);
  s.Bind(5, e.transaction.payment.product_identifier);
  s.Bind(6, TransactionToJson(e.transaction).dump());
  return s.Run();
}

bool PutLedger(sqlite3* db, const LedgerEntry& e) {
  Statement s(db,
              "INSERT OR REPLACE INTO ledger(id, original_id, product_id, purchase_date, "
              "original_purchase_date, expiration_date, quantity, app_account_token, app_username, "
              "offer_type, offer_id, finished, revocation_date, verified, verification_error, json, jws) "
              "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17)");
  s.Bind(1, e.id);
  s.Bind(2, e.original_id);
  s.Bind(3, e.product_id);
  s.Bind(4, e.purchase_date);
  s.Bind(5, e.original_purchase_date);
  s.Bind(6, e.expiration_date);
  s.Bind(7, e.quantity);
  s.Bind(8, e.app_account_token);
  s.Bind(9, e.app_username);
  s.Bind(10, e.offer_type);
  s.Bind(11, e.offer_id);
  s.Bind(12, e.finished);
  s.Bind(13, e.revocation_date);
  s.Bind(14, e.verified);
  s.Bind(15, e.verification_error);
  s.Bind(16, e.json);
  s.Bind(17, e.jws);
  return s.Run();
}

bool PutPending(sqlite3* db, const PendingEntry& e) {
  Statement s(db,
              "INSERT OR REPLACE INTO pending(id, product_id, quantity, app_account_token, offer_type, "
              "offer_id, created) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
  s.Bind(1, e.id);
  s.Bind(2, e.product_id);
  s.Bind(3, e.quantity);
  s.Bind(4, e.app_account_token);
  s.Bind(5, e.offer_type);
  s.Bind(6, e.offer_id);
  s.Bind(7, e.created);
  return s.Run();
}

bool DeleteRow(sqlite3* db, const char* sql, uint64_t id) {
  Statement s(db, sql);
  s.Bind(1, id);
  return s.Run();
}

std::optional<PurchaseOutcome> OutcomeFromName(const std::string& name) {
  for (PurchaseOutcome o : {PurchaseOutcome::kPurchased, PurchaseOutcome::kFailed, PurchaseOutcome::kDeferred,
                            PurchaseOutcome::kPending, PurchaseOutcome::kCancelled}) {
    if (PurchaseOutcomeName(o) == name) return o;
  }
  return std::nullopt;
}

}  // namespace

std::unique_ptr<StoreDatabase> StoreDatabase::Open(const std::string& path, std::string* error) {
  if (auto problem = MakeDirectories(ParentOf(path), kPrivateDirectoryMode)) {
    *error = *problem;
    return nullptr;
  }
  // Create the file ourselves so its mode is 0600 whatever the umask.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  ::close(fd);

  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    *error = SqlError(db, "cannot open " + path);
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  if (!Exec(db, "PRAGMA journal_mode=WAL", error, path) ||
      !Exec(db, "PRAGMA synchronous=FULL", error, path) || !Exec(db, kSchema, error, path)) {
    sqlite3_close(db);
    return nullptr;
  }
  return std::unique_ptr<StoreDatabase>(new StoreDatabase(db));
}

StoreDatabase::~StoreDatabase() { sqlite3_close(db_); }

std::optional<StoreContents> StoreDatabase::Load(std::string* error) {
  StoreContents c;
  {
    Statement s(db_, "SELECT value FROM meta WHERE key = 'next_id'");
    if (!s.ok()) {
      *error = SqlError(db_, "reading meta");
      return std::nullopt;
    }
    if (sqlite3_step(s.get()) == SQLITE_ROW) c.next_id = static_cast<uint64_t>(s.Int(0));
  }
  {
    Statement s(db_, "SELECT id, seq, outcome, transaction_json FROM queue ORDER BY seq");
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
      QueueEntry e;
      e.id = static_cast<uint64_t>(s.Int(0));
      e.seq = s.Int(1);
      std::optional<PurchaseOutcome> outcome = OutcomeFromName(s.Text(2));
      json j = json::parse(s.Text(3), nullptr, /*allow_exceptions=*/false);
      std::optional<StorePaymentTransaction> t = TransactionFromJson(j);
      if (!outcome || !t) {
        c.damaged.push_back("queue row " + std::to_string(e.id));
        c.next_id = std::max(c.next_id, e.id + 1);
        continue;
      }
      e.outcome = *outcome;
      e.transaction = std::move(*t);
      c.queue.push_back(std::move(e));
    }
    if (rc != SQLITE_DONE) {
      *error = SqlError(db_, "reading queue");
      return std::nullopt;
    }
  }
  {
    Statement s(db_,
                "SELECT id, original_id, product_id, purchase_date, original_purchase_date, "
                "expiration_date, quantity, app_account_token, app_username, offer_type, offer_id, "
                "finished, revocation_date, verified, verification_error, json, jws FROM ledger "
                "ORDER BY id");
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
      LedgerEntry e;
      e.id = static_cast<uint64_t>(s.Int(0));
      e.original_id = static_cast<uint64_t>(s.Int(1));
      e.product_id = s.Text(2);
      e.purchase_date = s.Real(3);
      e.original_purchase_date = s.Real(4);
      e.expiration_date = s.OptReal(5);
      e.quantity = s.Int(6);
      e.app_account_token = s.OptText(7);
      e.app_username = s.OptText(8);
      e.offer_type = s.OptText(9);
      e.offer_id = s.OptText(10);
      e.finished = s.Int(11) != 0;
      e.revocation_date = s.OptReal(12);
      e.verified = s.Int(13) != 0;
      e.verification_error = s.Text(14);
      e.json = s.Text(15);
      e.jws = s.Text(16);
      c.ledger.push_back(std::move(e));
    }
    if (rc != SQLITE_DONE) {
      *error = SqlError(db_, "reading ledger");
      return std::nullopt;
    }
  }
  {
    Statement s(db_,
                "SELECT id, product_id, quantity, app_account_token, offer_type, offer_id, created "
                "FROM pending ORDER BY id");
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
      PendingEntry e;
      e.id = static_cast<uint64_t>(s.Int(0));
      e.product_id = s.Text(1);
      e.quantity = s.Int(2);
      e.app_account_token = s.OptText(3);
      e.offer_type = s.OptText(4);
      e.offer_id = s.OptText(5);
      e.created = s.Real(6);
      c.pending.push_back(std::move(e));
    }
    if (rc != SQLITE_DONE) {
      *error = SqlError(db_, "reading pending");
      return std::nullopt;
    }
  }
  return c;
}

bool StoreDatabase::Apply(const StoreChanges& ch, std::string* error) {
  if (ch.empty()) return true;
  SqliteTransaction transaction(db_);
  if (!transaction.started()) {
    *error = "writing the store's state: " + transaction.error();
    return false;
  }
  bool ok = true;
  if (ch.id_base) {
    Statement s(db_, "SELECT value FROM meta WHERE key = 'next_id'");
    if (!s.ok()) {
      *error = SqlError(db_, "reading meta");
      return false;
    }
    const int rc = sqlite3_step(s.get());
    if (rc == SQLITE_ROW && static_cast<uint64_t>(s.Int(0)) > *ch.id_base) {
      *error = "another process took transaction identifiers meanwhile";
      return false;
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
      *error = SqlError(db_, "reading meta");
      return false;
    }
  }
  if (ch.next_id) {
    Statement s(db_, "INSERT OR REPLACE INTO meta(key, value) VALUES('next_id', ?1)");
    s.Bind(1, *ch.next_id);
    ok = s.Run();
  }
  for (const QueueEntry& e : ch.put_queue) ok = ok && PutQueue(db_, e);
  for (uint64_t id : ch.delete_queue) ok = ok && DeleteRow(db_, "DELETE FROM queue WHERE id = ?1", id);
  for (const LedgerEntry& e : ch.put_ledger) ok = ok && PutLedger(db_, e);
  for (const PendingEntry& e : ch.put_pending) ok = ok && PutPending(db_, e);
  for (uint64_t id : ch.delete_pending) ok = ok && DeleteRow(db_, "DELETE FROM pending WHERE id = ?1", id);
  if (!ok) {
    *error = SqlError(db_, "writing the store's state");
    return false;  // rolled back by the guard
  }
  if (!transaction.Commit()) {
    *error = "writing the store's state: " + transaction.error();
    return false;
  }
  return true;
}

}  // namespace kelvo
