// The local store's shared state and the operations both generations and
// the test controls build on. Internal to the store layer: LocalStore, its
// payment queue, its requests and its second-generation half are thin
// faces over one LocalStoreCore.
//
// Threading: everything below `mu` is guarded by it. Methods named
// *Locked expect it held; the others take it themselves. Reports are
// posted to the main queue and run there without the lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/log/system_log.h"
#include "platform/store/local_store.h"
#include "platform/store/store_config.h"
#include "platform/store/store_database.h"
#include "platform/store/store_kit.h"
#include "platform/store/store_ledger.h"

namespace kelvo {

// Raw first-generation transaction states.
enum : int64_t {
  kStatePurchasing = 0,
  kStatePurchased = 1,
  kStateFailed = 2,
  kStateRestored = 3,
  kStateDeferred = 4,
};
const char* TransactionStateName(int64_t state);

// The errors this store reports, in the platform's domains and numbers.
namespace store_errors {
inline constexpr const char* kDomain = "SKErrorDomain";
inline constexpr const char* kKitDomain = "StoreKit.StoreKitError";
inline constexpr const char* kPurchaseDomain = "StoreKit.Product.PurchaseError";
StoreError Unknown(const std::string& what);      // SKErrorDomain 0
StoreError PaymentCancelled();                    // SKErrorDomain 2
StoreError PaymentInvalid(const std::string& id); // SKErrorDomain 3
StoreError PaymentNotAllowed();                   // SKErrorDomain 4
StoreError InvalidOfferIdentifier(const std::string& id);  // SKErrorDomain 11
}  // namespace store_errors

struct LocalStoreCore : std::enable_shared_from_this<LocalStoreCore> {
  LocalStoreCore(Dispatch* dispatch, StoreConfig config, std::shared_ptr<SystemLog> log,
                 std::string database_path, std::string receipt_path,
                 std::unique_ptr<StoreDatabase> db, StoreContents contents);

  Dispatch* const dispatch;
  const std::shared_ptr<Queue> main;
  const StoreConfig config;
  const std::shared_ptr<SystemLog> log;
  const std::string database_path;
  const std::string receipt_path;

  std::mutex mu;
  std::unique_ptr<StoreDatabase> db;
  uint64_t next_id = 0;
  int64_t next_seq = 0;
  std::vector<QueueEntry> queue;
  std::vector<LedgerEntry> ledger;
  std::vector<PendingEntry> pending;
  // Why a queue entry must fail when it settles (no product, payments not
  // allowed, a bad discount); kept for this process only.
  std::map<uint64_t, StoreError> forced_failures;
  std::vector<StorePaymentQueueObserver*> observers;
  std::map<uint64_t, std::shared_ptr<StoreKit2::UpdateHandler>> update_handlers;
  uint64_t next_subscription = 1;
  std::map<StoreOperation, StoreError> fail_next;
  std::optional<StoreError> fail_next_request;

  double Now() const { return dispatch->WallSeconds(); }

  // State helpers (lock held).
  uint64_t NewIdLocked(StoreChanges& changes);
  // Writes the changes, and the receipt when the ledger changed. On failure
  // (logged) the in-memory state is read back from the database, so it
  // never holds what was not saved; the caller reports the failure.
  bool CommitLocked(StoreChanges& changes);
  // Takes `contents` as the in-memory state.
  void AdoptLocked(StoreContents contents);
  void WriteReceiptLocked();
  QueueEntry* FindQueueLocked(uint64_t id);
  LedgerEntry* FindLedgerLocked(uint64_t id);
  PendingEntry* FindPendingLocked(uint64_t id);
  // Ends an approval wait (approved or declined), logging `outcome`.
  void RemovePendingLocked(uint64_t id, const char* outcome, StoreChanges& changes);
  // Adds a completed purchase to the ledger (and to `changes`).
  const LedgerEntry& AddLedgerLocked(PurchaseFacts facts, StoreChanges& changes);
  PurchaseFacts FactsLocked(uint64_t id, const ConfiguredProduct& product);
  std::optional<StoreError> TakeFailure(StoreOperation operation);  // lock held
  // Subscription group questions.
  bool HasPurchasedInGroupLocked(const std::string& group_id);
  bool SubscriptionActiveLocked(const std::string& group_id);
  bool IntroEligibleLocked(const std::string& group_id);
  std::vector<std::string> WinBackEligibleLocked(const std::string& group_id);
  // The introductory offer a purchase of `product` gets now, if any.
  void ApplyIntroOfferLocked(const ConfiguredProduct& product, PurchaseFacts& facts);

  // First generation (payment_queue operations).
  void AddPayment(const StorePayment& payment);
  void FinishTransaction(const StorePaymentTransaction& transaction);
  void RestoreCompletedTransactions(const std::optional<std::string>& username);
  void AddObserver(StorePaymentQueueObserver* observer);
  void RemoveObserver(StorePaymentQueueObserver* observer);
  std::vector<StorePaymentTransaction> Transactions();
  // Moves a purchasing entry to its configured outcome (run on the main
  // queue after the purchase delay).
  void Settle(uint64_t id);
  void ScheduleSettle(uint64_t id, bool delayed);
  // Entry transitions (lock held); each records the change and returns the
  // transaction as it is now, for the report.
  StorePaymentTransaction CompleteQueueEntryLocked(QueueEntry& entry, StoreChanges& changes);
  StorePaymentTransaction FailQueueEntryLocked(QueueEntry& entry, StoreError error,
                                               StoreChanges& changes);
  StorePaymentTransaction SetQueueStateLocked(QueueEntry& entry, int64_t state,
                                              StoreChanges& changes);
  // A second-generation finish or revocation also ends the queue entry of
  // the same purchase; returns the removed transaction.
  std::optional<StorePaymentTransaction> RemoveQueueEntryForLocked(uint64_t id,
                                                                   StoreChanges& changes);

  // Reports, posted to the main queue.
  enum class QueueReport { kUpdated, kRemoved };
  void PostQueueReport(QueueReport kind, std::vector<StorePaymentTransaction> transactions,
                       StorePaymentQueueObserver* only = nullptr);
  void PostToObservers(std::function<void(StorePaymentQueueObserver*)> report);
  void PostUpdates(std::vector<StoreVerificationResult> updates);
};

}  // namespace kelvo
