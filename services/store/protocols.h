// The seams of the first-generation store API: small protocols over the
// store's payment queue, the transaction cache, request handlers, the
// callback method channel and the payment queue handler, so that the plugin
// and the handler depend on these and tests can put fakes behind them. The
// default adapters (default_adapters.h) forward every call unchanged.
//
// Threading: everything here is used on the main queue, where the store
// delivers its reports and the request channels run; nothing locks.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/engine/channels.h"
#include "platform/engine/value.h"
#include "platform/store/store_kit.h"
#include "platform/store/store_types.h"

namespace kelvo {

// The payment queue's delegate (price consent, storefront changes). The
// store on this platform consults none; the queue only remembers it.
class FIAPaymentQueueDelegate {
 public:
  virtual ~FIAPaymentQueueDelegate() = default;
};

class FLTPaymentQueueProtocol {
 public:
  virtual ~FLTPaymentQueueProtocol() = default;
  virtual void addPayment(const StorePayment& payment) = 0;
  virtual void finishTransaction(const StorePaymentTransaction& transaction) = 0;
  // The observer is not owned; remove it before it goes.
  virtual void addTransactionObserver(StorePaymentQueueObserver* observer) = 0;
  virtual void removeTransactionObserver(StorePaymentQueueObserver* observer) = 0;
  virtual void restoreCompletedTransactions() = 0;
  virtual void restoreCompletedTransactionsWithApplicationUsername(const std::string& username) = 0;
  virtual std::shared_ptr<FIAPaymentQueueDelegate> delegate() const = 0;
  virtual void setDelegate(std::shared_ptr<FIAPaymentQueueDelegate> delegate) = 0;
  // Unfinished transactions, in the order they entered the queue.
  virtual std::vector<StorePaymentTransaction> transactions() = 0;
  virtual std::optional<StoreStorefront> storefront() = 0;
};

// Keys of the transaction cache.
enum class TransactionCacheKey : int {
  updatedDownloads = 0,
  updatedTransactions = 1,
  removedTransactions = 2,
};

// What the cache holds: transactions under the transaction keys, downloads
// under updatedDownloads.
using TransactionCacheObject = std::variant<StorePaymentTransaction, StoreDownload>;

class FLTTransactionCacheProtocol {
 public:
  virtual ~FLTTransactionCacheProtocol() = default;
  // Appends after what the key already holds.
  virtual void addObjects(const std::vector<TransactionCacheObject>& objects,
                          TransactionCacheKey key) = 0;
  // The key's list, or nothing when the key holds none.
  virtual std::optional<std::vector<TransactionCacheObject>> getObjectsForKey(
      TransactionCacheKey key) const = 0;
  virtual void clear() = 0;
};

// A request's one report: the response (products requests only) or the
// error; neither for a request that finished without either.
using ProductRequestCompletion = std::function<void(
    const std::optional<StoreProductsResponse>& response, const std::optional<StoreError>& error)>;

class FLTRequestHandlerProtocol {
 public:
  virtual ~FLTRequestHandlerProtocol() = default;
  // Starts the request; `completion` is called once, later, on the main
  // queue. The caller keeps the handler alive until then.
  virtual void startProductRequestWithCompletionHandler(ProductRequestCompletion completion) = 0;
};

class FLTMethodChannelProtocol {
 public:
  virtual ~FLTMethodChannelProtocol() = default;
  virtual void invokeMethod(const std::string& method, const Value& arguments) = 0;
  virtual void invokeMethod(const std::string& method, const Value& arguments,
                            std::function<void(MethodResponse)> result) = 0;
};

// What the plugin asks of the payment queue handler. The handler is also
// the queue's observer: the store calls the observer operations.
class FLTPaymentQueueHandlerProtocol : public StorePaymentQueueObserver {
 public:
  // Replays what was held back, then passes reports on as they come.
  virtual void startObservingPaymentQueue() = 0;
  // Holds reports back again.
  virtual void stopObservingPaymentQueue() = 0;
  virtual bool isObservingTransactions() const = 0;
  // False (nothing queued) when a transaction for the same product is in
  // the queue.
  virtual bool addPayment(const StorePayment& payment) = 0;
  virtual void finishTransaction(const StorePaymentTransaction& transaction) = 0;
  virtual void restoreTransactions(const std::optional<std::string>& applicationName) = 0;
  virtual std::vector<StorePaymentTransaction> getUnfinishedTransactions() = 0;
  virtual std::optional<StoreStorefront> storefront() = 0;
};

}  // namespace kelvo
