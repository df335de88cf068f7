#include "platform/sqlite/transaction.h"

#include <sqlite3.h>

namespace kelvo {

SqliteTransaction::SqliteTransaction(sqlite3* db) : db_(db) {
  if (db_ == nullptr) {
    error_ = "no database connection";
    return;
  }
  if (sqlite3_get_autocommit(db_) == 0) {
    // Never nest: a write inside another would commit or roll back its
    // outer one behind the caller's back.
    error_ = "a transaction is already open on this connection";
    return;
  }
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
    Fail("begin");
    return;
  }
  state_ = State::kOpen;
}

SqliteTransaction::~SqliteTransaction() { Rollback(); }

bool SqliteTransaction::Commit() {
  if (state_ == State::kCommitted) return true;
  if (state_ != State::kOpen) {
    if (error_.empty()) error_ = "the transaction is not open";
    return false;
  }
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    Fail("commit");
    Rollback();
    return false;
  }
  state_ = State::kCommitted;
  return true;
}

void SqliteTransaction::Rollback() {
  if (state_ != State::kOpen) return;
  state_ = State::kRolledBack;
  // After some errors (a full disk, an I/O error) SQLite has already rolled
  // back by itself; a second ROLLBACK would only fail.
  if (sqlite3_get_autocommit(db_) == 0) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

void SqliteTransaction::Fail(const char* what) {
  error_ = std::string("cannot ") + what + ": " + sqlite3_errmsg(db_);
}

}  // namespace kelvo
