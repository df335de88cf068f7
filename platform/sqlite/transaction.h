// The one way the SQLite stores write: a transaction guard.
//
// Begun in the constructor (BEGIN IMMEDIATE: the write lock is taken at
// once, so two processes never both read and then both write), committed
// only by Commit(); any other way out of the scope (an early return, a
// failed statement, an exception) rolls back. After a failed Commit the
// transaction is rolled back too, so the connection is always left with no
// transaction open and the next write can begin.
//
// Callers change their in-memory state only after Commit() returned true,
// and report a write as done only then.
//
// Threading: as the connection; one guard per connection at a time.
#pragma once

#include <string>

struct sqlite3;

namespace kelvo {

class SqliteTransaction {
 public:
  explicit SqliteTransaction(sqlite3* db);
  ~SqliteTransaction();
  SqliteTransaction(const SqliteTransaction&) = delete;
  SqliteTransaction& operator=(const SqliteTransaction&) = delete;

  // Whether BEGIN succeeded; error() says why not.
  bool started() const { return state_ == State::kOpen || state_ == State::kCommitted; }
  // True once the changes are durable; false (error() says why) when they
  // are not, in which case they have been rolled back.
  bool Commit();
  // Rolls back now (idempotent; also what the destructor does).
  void Rollback();
  const std::string& error() const { return error_; }

 private:
  enum class State { kFailed, kOpen, kCommitted, kRolledBack };
  void Fail(const char* what);

  sqlite3* db_;
  State state_ = State::kFailed;
  std::string error_;
};

}  // namespace kelvo
