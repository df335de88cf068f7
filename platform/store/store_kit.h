// The app store as the store bridge reaches it, in both generations.
//
// First generation: a payment queue with transaction observers, products
// requests and receipt refresh requests with delegates, the receipt file.
// Second generation: blocking calls for products, purchases, transactions,
// entitlements, eligibility, storefront and sync, and a stream of
// transaction updates.
//
// Implementations: LocalStore (local_store.h), a store that plays the
// app store from a JSON configuration with state in SQLite, and is also
// the test double (its test controls approve, fail or defer purchases,
// post store-initiated purchases and push transaction updates).
//
// Threading: the first-generation objects are used on the main queue and
// call their observers and delegates on the main queue, always later (never
// from inside the call that caused the report). The second-generation calls
// block and may be made from any thread; update handlers are called on the
// main queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/store/store_types.h"

namespace kelvo {

// The operating system's version as the store bridge tests it
// ("12.0", "13.0", "14.4", "15.0"...). Compared component by component.
struct OperatingSystemVersion {
  int major = 15;
  int minor = 0;
  int patch = 0;
  bool AtLeast(int major_, int minor_ = 0, int patch_ = 0) const;
};
// KELVO_OS_VERSION ("14.4") when set and well formed, else the newest
// version the bridge knows (15.0).
OperatingSystemVersion CurrentOperatingSystemVersion();

struct StoreDownload {
  std::string content_identifier;
};

// SKPaymentTransactionObserver.
class StorePaymentQueueObserver {
 public:
  virtual ~StorePaymentQueueObserver() = default;
  virtual void UpdatedTransactions(const std::vector<StorePaymentTransaction>& transactions) = 0;
  virtual void RemovedTransactions(const std::vector<StorePaymentTransaction>& transactions) = 0;
  virtual void RestoreCompletedTransactionsFailed(const StoreError& error) = 0;
  virtual void RestoreCompletedTransactionsFinished() = 0;
  virtual void UpdatedDownloads(const std::vector<StoreDownload>& downloads) = 0;
  // A purchase started in the store; true lets the queue add it now.
  virtual bool ShouldAddStorePayment(const StorePayment& payment, const StoreProduct& product) = 0;
};

// SKPaymentQueue.
class StorePaymentQueue {
 public:
  virtual ~StorePaymentQueue() = default;
  virtual bool CanMakePayments() = 0;
  virtual void AddPayment(const StorePayment& payment) = 0;
  virtual void FinishTransaction(const StorePaymentTransaction& transaction) = 0;
  // The observer is not owned and must outlive the queue's use of it.
  virtual void AddTransactionObserver(StorePaymentQueueObserver* observer) = 0;
  virtual void RemoveTransactionObserver(StorePaymentQueueObserver* observer) = 0;
  virtual void RestoreCompletedTransactions(const std::optional<std::string>& username) = 0;
  // Unfinished transactions, in the order they entered the queue.
  virtual std::vector<StorePaymentTransaction> Transactions() = 0;
  virtual std::optional<StoreStorefront> Storefront() = 0;
};

// SKRequestDelegate / SKProductsRequestDelegate.
class StoreRequestDelegate {
 public:
  virtual ~StoreRequestDelegate() = default;
  virtual void DidReceiveResponse(const StoreProductsResponse& response) = 0;
  virtual void RequestDidFinish() = 0;
  virtual void DidFailWithError(const StoreError& error) = 0;
};

// SKRequest: a products request or a receipt refresh request. A products
// request reports its response and then that it finished; a refresh
// reports only that it finished; either may fail instead.
class StoreRequest {
 public:
  virtual ~StoreRequest() = default;
  // Not owned; cleared by passing null.
  virtual void SetDelegate(StoreRequestDelegate* delegate) = 0;
  virtual void Start() = 0;
};

// StoreKit 2.
class StoreKit2 {
 public:
  virtual ~StoreKit2() = default;
  virtual bool CanMakePayments() = 0;
  // Products in the order asked; unknown identifiers are left out.
  virtual std::vector<StoreProduct> Products(const std::vector<std::string>& identifiers,
                                             std::optional<StoreError>* error) = 0;
  virtual std::optional<StorePurchaseResult> Purchase(const StoreProduct& product,
                                                      const StorePurchaseOptions& options,
                                                      std::optional<StoreError>* error) = 0;
  virtual std::vector<StoreVerificationResult> AllTransactions() = 0;
  virtual std::vector<StoreVerificationResult> UnfinishedTransactions() = 0;
  virtual std::vector<StoreVerificationResult> CurrentEntitlements() = 0;
  virtual void Finish(uint64_t transaction_id) = 0;
  virtual std::optional<bool> IsEligibleForIntroOffer(const std::string& group_id,
                                                      std::optional<StoreError>* error) = 0;
  virtual std::vector<StoreSubscriptionStatus> SubscriptionStatuses(
      const std::string& group_id, std::optional<StoreError>* error) = 0;
  virtual std::optional<StoreStorefront> CurrentStorefront() = 0;
  virtual std::optional<StoreError> Sync() = 0;
  virtual std::optional<StoreError> PresentOfferCodeRedeemSheet() = 0;

  // Transaction.updates: `handler` gets every later update on the main
  // queue until the returned subscription is dropped.
  using UpdateHandler = std::function<void(const StoreVerificationResult&)>;
  virtual std::shared_ptr<void> SubscribeToUpdates(UpdateHandler handler) = 0;
};

// Everything the bridge needs from the store.
class StoreKit {
 public:
  virtual ~StoreKit() = default;
  virtual StorePaymentQueue* DefaultPaymentQueue() = 0;
  virtual std::unique_ptr<StoreRequest> CreateProductsRequest(
      const std::set<std::string>& identifiers) = 0;
  // `properties`: receipt properties with string keys (null values already
  // dropped); absent for none.
  virtual std::unique_ptr<StoreRequest> CreateReceiptRefreshRequest(
      const std::optional<std::vector<std::pair<std::string, std::string>>>& properties) = 0;
  // appStoreReceiptURL as a file path; absent when the application has no
  // receipt location.
  virtual std::optional<std::string> AppStoreReceiptPath() = 0;
  virtual StoreKit2* Second() = 0;
};

}  // namespace kelvo
