#include "platform/store/local_payment_queue.h"

#include <algorithm>

#include "platform/store/local_store_core.h"

namespace kelvo {
namespace {

constexpr int64_t kMinQuantity = 1;
constexpr int64_t kMaxQuantity = 10;

bool OffersPromotion(const StoreProduct& p, const std::string& id) {
  for (const StoreOffer& o : p.promotional_offers) {
    if (o.identifier == id) return true;
  }
  return false;
}

}  // namespace

// Payment queue operations of the core.

void LocalStoreCore::AddPayment(const StorePayment& payment) {
  StorePaymentTransaction reported;
  uint64_t id = 0;
  bool forced = false;
  bool saved = false;
  {
    std::lock_guard<std::mutex> lock(mu);
    // A second try only when another process took the identifier first
    // (the failed commit read its state back).
    for (int attempt = 0; attempt < 3 && !saved; ++attempt) {
    StoreChanges changes;
    QueueEntry e;
    e.id = id = NewIdLocked(changes);
    e.seq = next_seq++;
    e.transaction.payment = payment;
    e.transaction.state = kStatePurchasing;
    const std::string product_id = payment.product_identifier.value_or("");
    const ConfiguredProduct* product = config.FindProduct(product_id);
    std::optional<StoreError> failure;
    if (!config.can_make_payments) {
      failure = store_errors::PaymentNotAllowed();
    } else if (!product) {
      failure = store_errors::PaymentInvalid(product_id);
    } else if (payment.quantity < kMinQuantity || payment.quantity > kMaxQuantity) {
      // The platform sells 1 to 10 of a product in one payment.
      failure = store_errors::PaymentInvalid(product_id);
    } else if (payment.payment_discount &&
               !OffersPromotion(product->product, payment.payment_discount->identifier)) {
      failure = store_errors::InvalidOfferIdentifier(payment.payment_discount->identifier);
    }
    forced = failure.has_value();
    if (failure) {
      e.outcome = PurchaseOutcome::kFailed;
      forced_failures[e.id] = *failure;
    } else {
      e.outcome = payment.simulates_ask_to_buy_in_sandbox ? PurchaseOutcome::kDeferred : product->outcome;
    }
    queue.push_back(e);
    changes.put_queue.push_back(e);
    saved = CommitLocked(changes);
    reported = e.transaction;
    if (!saved) {
      forced_failures.erase(e.id);
      continue;
    }
    log->Info("payment " + std::to_string(id) + " for \"" + product_id + "\" entered the queue (" +
              std::string(PurchaseOutcomeName(e.outcome)) + ")");
    }
  }
  if (!saved) {
    // Not in the queue: the payment fails at once, as it would on a
    // platform that cannot record it.
    reported.state = kStateFailed;
    reported.error = store_errors::Unknown("The payment could not be saved.");
    PostQueueReport(QueueReport::kUpdated, {reported});
    return;
  }
  PostQueueReport(QueueReport::kUpdated, {reported});
  // A payment the store refuses fails at once; others take the store's time.
  ScheduleSettle(id, !forced);
}

void LocalStoreCore::ScheduleSettle(uint64_t id, bool delayed) {
  std::weak_ptr<LocalStoreCore> weak = weak_from_this();
  auto settle = [weak, id] {
    if (std::shared_ptr<LocalStoreCore> self = weak.lock()) self->Settle(id);
  };
  if (delayed && config.purchase_delay_seconds > 0) {
    main->AsyncAfter(Seconds(config.purchase_delay_seconds), std::move(settle));
  } else {
    main->Async(std::move(settle));
  }
}

void LocalStoreCore::Settle(uint64_t id) {
  StorePaymentTransaction reported;
  {
    std::lock_guard<std::mutex> lock(mu);
    QueueEntry* e = FindQueueLocked(id);
    // A test control may have decided already.
    if (!e || e->transaction.state != kStatePurchasing) return;
    StoreChanges changes;
    switch (e->outcome) {
      case PurchaseOutcome::kPurchased: reported = CompleteQueueEntryLocked(*e, changes); break;
      case PurchaseOutcome::kFailed: {
        auto forced = forced_failures.find(id);
        StoreError error = forced != forced_failures.end()
                               ? forced->second
                               : store_errors::Unknown("The purchase could not be completed.");
        reported = FailQueueEntryLocked(*e, std::move(error), changes);
        break;
      }
      case PurchaseOutcome::kCancelled:
        reported = FailQueueEntryLocked(*e, store_errors::PaymentCancelled(), changes);
        break;
      case PurchaseOutcome::kDeferred: reported = SetQueueStateLocked(*e, kStateDeferred, changes); break;
      case PurchaseOutcome::kPending: return;
    }
    // Not saved: the entry is still purchasing (memory was read back), and
    // settles when the store next opens.
    if (!CommitLocked(changes)) return;
  }
  PostQueueReport(QueueReport::kUpdated, {reported});
}

StorePaymentTransaction LocalStoreCore::CompleteQueueEntryLocked(QueueEntry& e, StoreChanges& changes) {
  const std::string product_id = e.transaction.payment.product_identifier.value_or("");
  const ConfiguredProduct* product = config.FindProduct(product_id);
  if (!product) return FailQueueEntryLocked(e, store_errors::PaymentInvalid(product_id), changes);
  PurchaseFacts facts = FactsLocked(e.id, *product);
  facts.quantity = e.transaction.payment.quantity;
  facts.app_username = e.transaction.payment.application_username;
  if (e.transaction.payment.payment_discount) {
    facts.offer_type = "promotional";
    facts.offer_id = e.transaction.payment.payment_discount->identifier;
  }
  ApplyIntroOfferLocked(*product, facts);
  const LedgerEntry& added = AddLedgerLocked(facts, changes);
  e.transaction.state = kStatePurchased;
  e.transaction.identifier = std::to_string(e.id);
  e.transaction.date = added.purchase_date;
  e.transaction.error.reset();
  forced_failures.erase(e.id);
  changes.put_queue.push_back(e);
  log->Info("payment " + std::to_string(e.id) + " for \"" + product_id + "\" purchased");
  return e.transaction;
}

StorePaymentTransaction LocalStoreCore::FailQueueEntryLocked(QueueEntry& e, StoreError error,
                                                             StoreChanges& changes) {
  log->Info("payment " + std::to_string(e.id) + " failed: " + error.localized_description);
  e.transaction.state = kStateFailed;
  e.transaction.error = std::move(error);
  e.transaction.identifier.reset();
  e.transaction.date.reset();
  forced_failures.erase(e.id);
  changes.put_queue.push_back(e);
  return e.transaction;
}

StorePaymentTransaction LocalStoreCore::SetQueueStateLocked(QueueEntry& e, int64_t state,
                                                            StoreChanges& changes) {
  e.transaction.state = state;
  changes.put_queue.push_back(e);
  log->Info("payment " + std::to_string(e.id) + " " + TransactionStateName(state));
  return e.transaction;
}

std::optional<StorePaymentTransaction> LocalStoreCore::RemoveQueueEntryForLocked(uint64_t id,
                                                                                 StoreChanges& changes) {
  auto it = std::find_if(queue.begin(), queue.end(), [id](const QueueEntry& e) {
    return e.id == id && e.transaction.state == kStatePurchased;
  });
  if (it == queue.end()) return std::nullopt;
  StorePaymentTransaction removed = it->transaction;
  changes.delete_queue.push_back(id);
  queue.erase(it);
  return removed;
}

void LocalStoreCore::FinishTransaction(const StorePaymentTransaction& t) {
  StorePaymentTransaction removed;
  {
    std::lock_guard<std::mutex> lock(mu);
    // Purchased and restored transactions are known by identifier; the
    // others have none, so the first of the same product and state is it.
    auto it = std::find_if(queue.begin(), queue.end(), [&t](const QueueEntry& e) {
      if (t.identifier) return e.transaction.identifier == t.identifier;
      return !e.transaction.identifier && e.transaction.state == t.state &&
             e.transaction.payment.product_identifier == t.payment.product_identifier;
    });
    if (it == queue.end()) {
      log->Notice("finishTransaction: no such transaction in the queue");
      return;
    }
    if (it->transaction.state == kStatePurchasing) {
      log->Notice("finishTransaction: payment " + std::to_string(it->id) +
                  " is still purchasing and cannot be finished");
      return;
    }
    StoreChanges changes;
    if (it->transaction.state == kStatePurchased) {
      if (LedgerEntry* l = FindLedgerLocked(it->id)) {
        l->finished = true;
        changes.put_ledger.push_back(*l);
      }
    }
    removed = it->transaction;
    changes.delete_queue.push_back(it->id);
    forced_failures.erase(it->id);
    queue.erase(it);
    // Not saved: the memory read back still holds it, and so nothing is reported.
    if (!CommitLocked(changes)) return;
  }
  PostQueueReport(QueueReport::kRemoved, {removed});
}

void LocalStoreCore::RestoreCompletedTransactions(const std::optional<std::string>& username) {
  std::weak_ptr<LocalStoreCore> weak = weak_from_this();
  main->Async([weak, username] {
    std::shared_ptr<LocalStoreCore> self = weak.lock();
    if (!self) return;
    std::optional<StoreError> failure;
    std::vector<StorePaymentTransaction> restored;
    {
      std::lock_guard<std::mutex> lock(self->mu);
      failure = self->TakeFailure(StoreOperation::kRestore);
      if (!failure && self->config.restore_fails) {
        failure = store_errors::Unknown("The restore could not be completed.");
      }
      if (!failure) {
        StoreChanges changes;
        const double now = self->Now();
        const size_t count = self->ledger.size();
        for (size_t i = 0; i < count; ++i) {
          const LedgerEntry purchase = self->ledger[i];
          const ConfiguredProduct* product = self->config.FindProduct(purchase.product_id);
          if (!product || product->product.type == StoreProductType::kConsumable ||
              purchase.revocation_date) {
            continue;
          }
          QueueEntry r;
          r.id = self->NewIdLocked(changes);
          r.seq = self->next_seq++;
          r.transaction.payment.product_identifier = purchase.product_id;
          r.transaction.payment.quantity = purchase.quantity;
          r.transaction.payment.application_username = username ? username : purchase.app_username;
          auto original = std::make_shared<StorePaymentTransaction>();
          original->payment = r.transaction.payment;
          original->state = kStatePurchased;
          original->identifier = std::to_string(purchase.id);
          original->date = purchase.purchase_date;
          r.transaction.original = original;
          r.transaction.state = kStateRestored;
          r.transaction.identifier = std::to_string(r.id);
          r.transaction.date = now;
          self->queue.push_back(r);
          changes.put_queue.push_back(r);
          restored.push_back(r.transaction);
        }
        if (self->CommitLocked(changes)) {
          self->log->Info("restore: " + std::to_string(restored.size()) + " transactions restored");
        } else {
          restored.clear();
          failure = store_errors::Unknown("The restored transactions could not be saved.");
        }
      }
    }
    if (failure) {
      self->log->Info("restore failed: " + failure->localized_description);
      self->PostToObservers([failure = *failure](StorePaymentQueueObserver* o) {
        o->RestoreCompletedTransactionsFailed(failure);
      });
      return;
    }
    self->PostQueueReport(QueueReport::kUpdated, std::move(restored));
    self->PostToObservers([](StorePaymentQueueObserver* o) { o->RestoreCompletedTransactionsFinished(); });
  });
}

void LocalStoreCore::AddObserver(StorePaymentQueueObserver* observer) {
  std::vector<StorePaymentTransaction> waiting;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (std::find(observers.begin(), observers.end(), observer) != observers.end()) return;
    observers.push_back(observer);
    // As on the platform, a new observer hears of the transactions left
    // unfinished (by an earlier run, say) that await it.
    for (const QueueEntry& e : queue) {
      if (e.transaction.state != kStatePurchasing) waiting.push_back(e.transaction);
    }
  }
  PostQueueReport(QueueReport::kUpdated, std::move(waiting), observer);
}

void LocalStoreCore::RemoveObserver(StorePaymentQueueObserver* observer) {
  std::lock_guard<std::mutex> lock(mu);
  observers.erase(std::remove(observers.begin(), observers.end(), observer), observers.end());
}

std::vector<StorePaymentTransaction> LocalStoreCore::Transactions() {
  std::lock_guard<std::mutex> lock(mu);
  std::vector<StorePaymentTransaction> list;
  for (const QueueEntry& e : queue) list.push_back(e.transaction);
  return list;
}

// The queue's face.

bool LocalPaymentQueue::CanMakePayments() { return core_->config.can_make_payments; }
void LocalPaymentQueue::AddPayment(const StorePayment& payment) { core_->AddPayment(payment); }
void LocalPaymentQueue::FinishTransaction(const StorePaymentTransaction& transaction) {
  core_->FinishTransaction(transaction);
}
void LocalPaymentQueue::AddTransactionObserver(StorePaymentQueueObserver* observer) {
  core_->AddObserver(observer);
}
void LocalPaymentQueue::RemoveTransactionObserver(StorePaymentQueueObserver* observer) {
  core_->RemoveObserver(observer);
}
void LocalPaymentQueue::RestoreCompletedTransactions(const std::optional<std::string>& username) {
  core_->RestoreCompletedTransactions(username);
}
std::vector<StorePaymentTransaction> LocalPaymentQueue::Transactions() { return core_->Transactions(); }
std::optional<StoreStorefront> LocalPaymentQueue::Storefront() { return core_->config.storefront; }

}  // namespace kelvo
