// FIAPaymentQueueHandler: the observer of the store's payment queue. It
// holds transaction and download reports back (in the transaction cache)
// until the user interface starts observing, then replays them, and passes
// everything on as it comes while observing.
//
// Contract:
// - Registers itself as the queue's observer at construction, then sets
//   the queue's delegate to its own (none). Removes itself from the queue
//   when it goes.
// - Starts not observing. startObservingPaymentQueue switches observing on
//   and replays the cache in this order, each as one call and never with
//   an empty list: updated transactions (arrival order), downloads, removed
//   transactions; then clears the cache. stopObservingPaymentQueue returns
//   to caching.
// - Restore failures, finished restores and store payments are never
//   cached; the store payment callback's answer goes back to the store.
// - addPayment refuses a payment whose product identifier equals (as text)
//   that of any transaction in the queue, whatever its state.
//
// Ownership: owns the queue adapter and the cache; the callbacks are
// copied at construction.
// Threading: the main queue (store reports and request channels); none of
// it locks.
#pragma once

#include <functional>
#include <memory>

#include "services/store/protocols.h"

namespace kelvo {

using TransactionsCallback = std::function<void(const std::vector<StorePaymentTransaction>&)>;
using RestoreFailedCallback = std::function<void(const StoreError&)>;
using RestoreFinishedCallback = std::function<void()>;
using ShouldAddStorePaymentCallback = std::function<bool(const StorePayment&, const StoreProduct&)>;
using UpdatedDownloadsCallback = std::function<void(const std::vector<StoreDownload>&)>;

class FIAPaymentQueueHandler final : public FLTPaymentQueueHandlerProtocol {
 public:
  FIAPaymentQueueHandler(std::shared_ptr<FLTPaymentQueueProtocol> queue,
                         TransactionsCallback transactionsUpdated,
                         TransactionsCallback transactionsRemoved,
                         RestoreFailedCallback restoreTransactionFailed,
                         RestoreFinishedCallback restoreCompletedTransactionsFinished,
                         ShouldAddStorePaymentCallback shouldAddStorePayment,
                         UpdatedDownloadsCallback updatedDownloads,
                         std::shared_ptr<FLTTransactionCacheProtocol> transactionCache);
  ~FIAPaymentQueueHandler() override;
  FIAPaymentQueueHandler(const FIAPaymentQueueHandler&) = delete;
  FIAPaymentQueueHandler& operator=(const FIAPaymentQueueHandler&) = delete;

  void startObservingPaymentQueue() override;
  void stopObservingPaymentQueue() override;
  bool isObservingTransactions() const override { return observingTransactions_; }
  bool addPayment(const StorePayment& payment) override;
  void finishTransaction(const StorePaymentTransaction& transaction) override;
  void restoreTransactions(const std::optional<std::string>& applicationName) override;
  std::vector<StorePaymentTransaction> getUnfinishedTransactions() override;
  std::optional<StoreStorefront> storefront() override;

  // The queue's observer operations.
  void UpdatedTransactions(const std::vector<StorePaymentTransaction>& transactions) override;
  void RemovedTransactions(const std::vector<StorePaymentTransaction>& transactions) override;
  void RestoreCompletedTransactionsFailed(const StoreError& error) override;
  void RestoreCompletedTransactionsFinished() override;
  void UpdatedDownloads(const std::vector<StoreDownload>& downloads) override;
  bool ShouldAddStorePayment(const StorePayment& payment, const StoreProduct& product) override;

  const std::shared_ptr<FLTPaymentQueueProtocol>& queue() const { return queue_; }

 private:
  void processCachedTransactions();

  const std::shared_ptr<FLTPaymentQueueProtocol> queue_;
  const TransactionsCallback transactionsUpdated_;
  const TransactionsCallback transactionsRemoved_;
  const RestoreFailedCallback restoreTransactionFailed_;
  const RestoreFinishedCallback paymentQueueRestoreCompletedTransactionsFinished_;
  const ShouldAddStorePaymentCallback shouldAddStorePayment_;
  const UpdatedDownloadsCallback updatedDownloads_;
  const std::shared_ptr<FLTTransactionCacheProtocol> transactionCache_;
  bool observingTransactions_ = false;
  // The bridge never sets one on this platform.
  std::shared_ptr<FIAPaymentQueueDelegate> delegate_;
};

}  // namespace kelvo
