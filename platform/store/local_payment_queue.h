// The local store's first-generation payment queue: a face over the
// store's core (local_store_core.h), which holds the queue. Internal to the
// store layer; the bridge reaches it as StorePaymentQueue through
// LocalStore::DefaultPaymentQueue().
//
// A payment enters the queue purchasing and is reported so; after the
// configured delay it settles to its product's outcome: purchased (the
// ledger gains the purchase, the receipt is rewritten), failed (SKErrorDomain
// 0), cancelled (failed with SKErrorDomain 2), deferred (waits for a test
// control), or pending (stays purchasing until a test control decides). A
// payment that asks to simulate ask-to-buy is deferred whatever the product
// says. A payment for a product the store does not have, a payment while
// payments are not allowed, or one with a discount the product does not
// offer fails. Only purchased and restored transactions carry an
// identifier and a date, as on the platform.
// Threading: as StorePaymentQueue (store_kit.h).
#pragma once

#include <memory>

#include "platform/store/store_kit.h"

namespace kelvo {

struct LocalStoreCore;

class LocalPaymentQueue : public StorePaymentQueue {
 public:
  explicit LocalPaymentQueue(std::shared_ptr<LocalStoreCore> core) : core_(std::move(core)) {}

  bool CanMakePayments() override;
  void AddPayment(const StorePayment& payment) override;
  void FinishTransaction(const StorePaymentTransaction& transaction) override;
  void AddTransactionObserver(StorePaymentQueueObserver* observer) override;
  void RemoveTransactionObserver(StorePaymentQueueObserver* observer) override;
  void RestoreCompletedTransactions(const std::optional<std::string>& username) override;
  std::vector<StorePaymentTransaction> Transactions() override;
  std::optional<StoreStorefront> Storefront() override;

 private:
  std::shared_ptr<LocalStoreCore> core_;
};

}  // namespace kelvo
