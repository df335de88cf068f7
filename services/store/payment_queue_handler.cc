#include "services/store/payment_queue_handler.h"

#include <utility>

namespace kelvo {
namespace {

template <typename T>
std::vector<TransactionCacheObject> ToCacheObjects(const std::vector<T>& items) {
  return std::vector<TransactionCacheObject>(items.begin(), items.end());
}

template <typename T>
std::vector<T> FromCacheObjects(const std::vector<TransactionCacheObject>& objects) {
  std::vector<T> items;
  items.reserve(objects.size());
  for (const TransactionCacheObject& object : objects) {
    if (const T* item = std::get_if<T>(&object)) items.push_back(*item);
  }
  return items;
}

}  // namespace

FIAPaymentQueueHandler::FIAPaymentQueueHandler(
    std::shared_ptr<FLTPaymentQueueProtocol> queue, TransactionsCallback transactionsUpdated,
    TransactionsCallback transactionsRemoved, RestoreFailedCallback restoreTransactionFailed,
    RestoreFinishedCallback restoreCompletedTransactionsFinished,
    ShouldAddStorePaymentCallback shouldAddStorePayment, UpdatedDownloadsCallback updatedDownloads,
    std::shared_ptr<FLTTransactionCacheProtocol> transactionCache)
    : queue_(std::move(queue)),
      transactionsUpdated_(std::move(transactionsUpdated)),
      transactionsRemoved_(std::move(transactionsRemoved)),
      restoreTransactionFailed_(std::move(restoreTransactionFailed)),
      paymentQueueRestoreCompletedTransactionsFinished_(
          std::move(restoreCompletedTransactionsFinished)),
      shouldAddStorePayment_(std::move(shouldAddStorePayment)),
      updatedDownloads_(std::move(updatedDownloads)),
      transactionCache_(std::move(transactionCache)) {
  queue_->addTransactionObserver(this);
  queue_->setDelegate(delegate_);
}

FIAPaymentQueueHandler::~FIAPaymentQueueHandler() {
  // The queue keeps a plain pointer to its observers.
  queue_->removeTransactionObserver(this);
}

void FIAPaymentQueueHandler::startObservingPaymentQueue() {
  observingTransactions_ = true;
  processCachedTransactions();
}

void FIAPaymentQueueHandler::stopObservingPaymentQueue() { observingTransactions_ = false; }

void FIAPaymentQueueHandler::processCachedTransactions() {
  auto updated = transactionCache_->getObjectsForKey(TransactionCacheKey::updatedTransactions);
  if (updated && !updated->empty() && transactionsUpdated_) {
    transactionsUpdated_(FromCacheObjects<StorePaymentTransaction>(*updated));
  }
  auto downloads = transactionCache_->getObjectsForKey(TransactionCacheKey::updatedDownloads);
  if (downloads && !downloads->empty() && updatedDownloads_) {
    updatedDownloads_(FromCacheObjects<StoreDownload>(*downloads));
  }
  auto removed = transactionCache_->getObjectsForKey(TransactionCacheKey::removedTransactions);
  if (removed && !removed->empty() && transactionsRemoved_) {
    transactionsRemoved_(FromCacheObjects<StorePaymentTransaction>(*removed));
  }
  transactionCache_->clear();
}

bool FIAPaymentQueueHandler::addPayment(const StorePayment& payment) {
  for (const StorePaymentTransaction& transaction : queue_->transactions()) {
    if (transaction.payment.product_identifier == payment.product_identifier &&
        payment.product_identifier.has_value()) {
      return false;
    }
  }
  queue_->addPayment(payment);
  return true;
}

void FIAPaymentQueueHandler::finishTransaction(const StorePaymentTransaction& transaction) {
  queue_->finishTransaction(transaction);
}

void FIAPaymentQueueHandler::restoreTransactions(
    const std::optional<std::string>& applicationName) {
  if (applicationName) {
    queue_->restoreCompletedTransactionsWithApplicationUsername(*applicationName);
  } else {
    queue_->restoreCompletedTransactions();
  }
}

std::vector<StorePaymentTransaction> FIAPaymentQueueHandler::getUnfinishedTransactions() {
  return queue_->transactions();
}

std::optional<StoreStorefront> FIAPaymentQueueHandler::storefront() { return queue_->storefront(); }

void FIAPaymentQueueHandler::UpdatedTransactions(
    const std::vector<StorePaymentTransaction>& transactions) {
  if (!observingTransactions_) {
    transactionCache_->addObjects(ToCacheObjects(transactions),
                                  TransactionCacheKey::updatedTransactions);
    return;
  }
  if (transactionsUpdated_) transactionsUpdated_(transactions);
}

void FIAPaymentQueueHandler::RemovedTransactions(
    const std::vector<StorePaymentTransaction>& transactions) {
  if (!observingTransactions_) {
    transactionCache_->addObjects(ToCacheObjects(transactions),
                                  TransactionCacheKey::removedTransactions);
    return;
  }
  if (transactionsRemoved_) transactionsRemoved_(transactions);
}

void FIAPaymentQueueHandler::RestoreCompletedTransactionsFailed(const StoreError& error) {
  if (restoreTransactionFailed_) restoreTransactionFailed_(error);
}

void FIAPaymentQueueHandler::RestoreCompletedTransactionsFinished() {
  if (paymentQueueRestoreCompletedTransactionsFinished_) {
    paymentQueueRestoreCompletedTransactionsFinished_();
  }
}

void FIAPaymentQueueHandler::UpdatedDownloads(const std::vector<StoreDownload>& downloads) {
  if (!observingTransactions_) {
    transactionCache_->addObjects(ToCacheObjects(downloads), TransactionCacheKey::updatedDownloads);
    return;
  }
  if (updatedDownloads_) updatedDownloads_(downloads);
}

bool FIAPaymentQueueHandler::ShouldAddStorePayment(const StorePayment& payment,
                                                   const StoreProduct& product) {
  return shouldAddStorePayment_ ? shouldAddStorePayment_(payment, product) : false;
}

}  // namespace kelvo
