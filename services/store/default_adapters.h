// The default adapters behind the first-generation protocols: each holds
// the wrapped object and forwards every call unchanged.
//   DefaultPaymentQueue     the store's payment queue (not owned: the
//                           store owns it and outlives the bridge)
//   DefaultTransactionCache a FIATransactionCache (owned)
//   DefaultRequestHandler   a FIAPRequestHandler (owned)
//   DefaultMethodChannel    an engine method channel (a handle; the
//                           messenger must outlive it)
// Threading: the main queue, as the protocols.
#pragma once

#include <memory>

#include "platform/engine/channels.h"
#include "services/store/protocols.h"
#include "services/store/request_handler.h"
#include "services/store/transaction_cache.h"

namespace kelvo {

class DefaultPaymentQueue final : public FLTPaymentQueueProtocol {
 public:
  explicit DefaultPaymentQueue(StorePaymentQueue* queue) : queue_(queue) {}

  void addPayment(const StorePayment& payment) override;
  void finishTransaction(const StorePaymentTransaction& transaction) override;
  void addTransactionObserver(StorePaymentQueueObserver* observer) override;
  void removeTransactionObserver(StorePaymentQueueObserver* observer) override;
  void restoreCompletedTransactions() override;
  void restoreCompletedTransactionsWithApplicationUsername(const std::string& username) override;
  std::shared_ptr<FIAPaymentQueueDelegate> delegate() const override { return delegate_; }
  void setDelegate(std::shared_ptr<FIAPaymentQueueDelegate> delegate) override;
  std::vector<StorePaymentTransaction> transactions() override;
  std::optional<StoreStorefront> storefront() override;

 private:
  StorePaymentQueue* queue_;
  std::shared_ptr<FIAPaymentQueueDelegate> delegate_;
};

class DefaultTransactionCache final : public FLTTransactionCacheProtocol {
 public:
  explicit DefaultTransactionCache(std::unique_ptr<FIATransactionCache> cache)
      : cache_(std::move(cache)) {}

  void addObjects(const std::vector<TransactionCacheObject>& objects,
                  TransactionCacheKey key) override;
  std::optional<std::vector<TransactionCacheObject>> getObjectsForKey(
      TransactionCacheKey key) const override;
  void clear() override;

 private:
  std::unique_ptr<FIATransactionCache> cache_;
};

class DefaultRequestHandler final : public FLTRequestHandlerProtocol {
 public:
  explicit DefaultRequestHandler(std::unique_ptr<FIAPRequestHandler> handler)
      : handler_(std::move(handler)) {}

  void startProductRequestWithCompletionHandler(ProductRequestCompletion completion) override;

 private:
  std::unique_ptr<FIAPRequestHandler> handler_;
};

class DefaultMethodChannel final : public FLTMethodChannelProtocol {
 public:
  explicit DefaultMethodChannel(MethodChannel channel) : channel_(std::move(channel)) {}

  void invokeMethod(const std::string& method, const Value& arguments) override;
  void invokeMethod(const std::string& method, const Value& arguments,
                    std::function<void(MethodResponse)> result) override;

 private:
  MethodChannel channel_;
};

}  // namespace kelvo
