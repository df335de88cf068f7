#include "services/store/default_adapters.h"

#include <utility>

namespace kelvo {

void DefaultPaymentQueue::addPayment(const StorePayment& payment) { queue_->AddPayment(payment); }

void DefaultPaymentQueue::finishTransaction(const StorePaymentTransaction& transaction) {
  queue_->FinishTransaction(transaction);
}

void DefaultPaymentQueue::addTransactionObserver(StorePaymentQueueObserver* observer) {
  queue_->AddTransactionObserver(observer);
}

void DefaultPaymentQueue::removeTransactionObserver(StorePaymentQueueObserver* observer) {
  queue_->RemoveTransactionObserver(observer);
}

void DefaultPaymentQueue::restoreCompletedTransactions() {
  queue_->RestoreCompletedTransactions(std::nullopt);
}

void DefaultPaymentQueue::restoreCompletedTransactionsWithApplicationUsername(
    const std::string& username) {
  queue_->RestoreCompletedTransactions(username);
}

void DefaultPaymentQueue::setDelegate(std::shared_ptr<FIAPaymentQueueDelegate> delegate) {
  delegate_ = std::move(delegate);
}

std::vector<StorePaymentTransaction> DefaultPaymentQueue::transactions() {
  return queue_->Transactions();
}

std::optional<StoreStorefront> DefaultPaymentQueue::storefront() { return queue_->Storefront(); }

void DefaultTransactionCache::addObjects(const std::vector<TransactionCacheObject>& objects,
                                         TransactionCacheKey key) {
  cache_->addObjects(objects, key);
}

std::optional<std::vector<TransactionCacheObject>> DefaultTransactionCache::getObjectsForKey(
    TransactionCacheKey key) const {
  return cache_->getObjectsForKey(key);
}

void DefaultTransactionCache::clear() { cache_->clear(); }

void DefaultRequestHandler::startProductRequestWithCompletionHandler(
    ProductRequestCompletion completion) {
  handler_->startProductRequestWithCompletionHandler(std::move(completion));
}

void DefaultMethodChannel::invokeMethod(const std::string& method, const Value& arguments) {
  channel_.InvokeMethod(method, arguments);
}

void DefaultMethodChannel::invokeMethod(const std::string& method, const Value& arguments,
                                        std::function<void(MethodResponse)> result) {
  channel_.InvokeMethod(method, arguments, std::move(result));
}

}  // namespace kelvo
