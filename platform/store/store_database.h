// The local store's state in one SQLite file: the first-generation payment
// queue, the ledger of completed purchases, second-generation purchases
// awaiting approval, and the id sequence. Internal to the store layer.
//
// WAL journal, synchronous=FULL (a change is durable when Apply returns),
// busy timeout 5 s; the file is created 0600 in a directory created 0700.
// Every change set is one transaction: after a crash the state is the one
// before or after it, never half.
//
// Threading: not thread-safe; the store calls it under its own lock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/store/store_config.h"
#include "platform/store/store_ledger.h"
#include "platform/store/store_types.h"

struct sqlite3;

namespace kelvo {

// An entry of the first-generation payment queue. `id` is its handle, and
// becomes the transaction identifier once it is purchased or restored.
struct QueueEntry {
  uint64_t id = 0;
  int64_t seq = 0;  // order of entry into the queue
  PurchaseOutcome outcome = PurchaseOutcome::kPurchased;
  StorePaymentTransaction transaction;
};

// A second-generation purchase awaiting approval (ask to buy, pending
// payment). It has no transaction until approved.
struct PendingEntry {
  uint64_t id = 0;
  std::string product_id;
  int64_t quantity = 1;
  std::optional<std::string> app_account_token;
  std::optional<std::string> offer_type;
  std::optional<std::string> offer_id;
  double created = 0;
};

struct StoreContents {
  uint64_t next_id = 0;
  // Rows that no longer read back: skipped, left where they are for
  // inspection, their identifiers never handed out again.
  std::vector<std::string> damaged;
  std::vector<QueueEntry> queue;     // by seq
  std::vector<LedgerEntry> ledger;   // by id
  std::vector<PendingEntry> pending;  // by id
};

// One set of changes, applied together.
struct StoreChanges {
  // The identifier sequence as this process last saw it, when the changes
  // take identifiers from it: Apply refuses them if another process took
  // identifiers since (checked inside the write transaction).
  std::optional<uint64_t> id_base;
  std::optional<uint64_t> next_id;
  std::vector<QueueEntry> put_queue;
  std::vector<uint64_t> delete_queue;
  std::vector<LedgerEntry> put_ledger;
  std::vector<PendingEntry> put_pending;
  std::vector<uint64_t> delete_pending;

  bool empty() const {
    return !next_id && put_queue.empty() && delete_queue.empty() && put_ledger.empty() &&
           put_pending.empty() && delete_pending.empty();
  }
};

class StoreDatabase {
 public:
  // Creates the directory, the file and the tables when missing.
  static std::unique_ptr<StoreDatabase> Open(const std::string& path, std::string* error);
  ~StoreDatabase();
  StoreDatabase(const StoreDatabase&) = delete;
  StoreDatabase& operator=(const StoreDatabase&) = delete;

  // Everything stored. A row that does not read back is an error naming
  // the table and row (the file was damaged or written by something else).
  std::optional<StoreContents> Load(std::string* error);
  bool Apply(const StoreChanges& changes, std::string* error);

 private:
  explicit StoreDatabase(sqlite3* db) : db_(db) {}
  sqlite3* db_;
};

}  // namespace kelvo
