// LocalStore's test controls.
#include <algorithm>

#include "platform/store/local_store.h"
#include "platform/store/local_store_core.h"
#include "platform/store/store_json.h"

namespace kelvo {
namespace {

// The waiting purchase a control names: a queue entry or a pending
// second-generation purchase.
struct Target {
  QueueEntry* entry = nullptr;
  PendingEntry* pending = nullptr;
  std::string error;
};

bool Waiting(const QueueEntry& e) {
  return e.transaction.state == kStatePurchasing || e.transaction.state == kStateDeferred;
}

Target FindWaitingLocked(LocalStoreCore& c, const PurchaseRef& ref) {
  Target t;
  if (ref.id) {
    if (QueueEntry* e = c.FindQueueLocked(*ref.id)) {
      if (Waiting(*e)) {
        t.entry = e;
      } else {
        t.error = "purchase " + std::to_string(*ref.id) + " is " +
                  TransactionStateName(e->transaction.state) + ", not waiting";
      }
    } else if (PendingEntry* p = c.FindPendingLocked(*ref.id)) {
      t.pending = p;
    } else {
      t.error = "no purchase " + std::to_string(*ref.id);
    }
    return t;
  }
  if (ref.product_identifier) {
    for (QueueEntry& e : c.queue) {
      if (Waiting(e) && e.transaction.payment.product_identifier == ref.product_identifier) {
        t.entry = &e;
        return t;
      }
    }
    for (PendingEntry& p : c.pending) {
      if (p.product_id == *ref.product_identifier) {
        t.pending = &p;
        return t;
      }
    }
    t.error = "no waiting purchase of \"" + *ref.product_identifier + "\"";
    return t;
  }
  t.error = "name the purchase by id or by product identifier";
  return t;
}

StoreControlResult Refused(std::string error) {
  StoreControlResult r;
  r.error = std::move(error);
  return r;
}

StoreControlResult Done(uint64_t id) {
  StoreControlResult r;
  r.id = id;
  return r;
}

StoreError DefaultFailure(StoreOperation op) {
  switch (op) {
    case StoreOperation::kProductsRequest:
    case StoreOperation::kReceiptRefresh:
      return store_errors::Unknown("The request could not be completed.");
    case StoreOperation::kRestore: return store_errors::Unknown("The restore could not be completed.");
    case StoreOperation::kProducts:
    case StoreOperation::kPurchase:
    case StoreOperation::kEligibility:
    case StoreOperation::kSubscriptionStatus:
    case StoreOperation::kSync: break;
  }
  return MakeStoreError(store_errors::kKitDomain, 0, "The operation could not be completed.");
}

}  // namespace

StoreControlResult LocalStore::ApproveTransaction(const PurchaseRef& ref) {
  LocalStoreCore& c = *core_;
  std::optional<StorePaymentTransaction> reported;
  std::optional<StoreVerificationResult> update;
  uint64_t id;
  {
    std::lock_guard<std::mutex> lock(c.mu);
    Target t = FindWaitingLocked(c, ref);
    if (!t.error.empty()) return Refused(t.error);
    StoreChanges changes;
    if (t.entry) {
      id = t.entry->id;
      reported = c.CompleteQueueEntryLocked(*t.entry, changes);
    } else {
      PendingEntry p = *t.pending;
      id = p.id;
      const ConfiguredProduct* product = c.config.FindProduct(p.product_id);
      if (!product) return Refused("the store no longer has \"" + p.product_id + "\"");
      PurchaseFacts facts = c.FactsLocked(p.id, *product);
      facts.quantity = p.quantity;
      facts.app_account_token = p.app_account_token;
      facts.offer_type = p.offer_type;
      facts.offer_id = p.offer_id;
      c.ApplyIntroOfferLocked(*product, facts);
      update = ToVerificationResult(c.AddLedgerLocked(facts, changes));
      c.RemovePendingLocked(id, "approved", changes);
    }
    c.CommitLocked(changes);
  }
  if (reported) c.PostQueueReport(LocalStoreCore::QueueReport::kUpdated, {*reported});
  if (update) c.PostUpdates({*update});
  return Done(id);
}

StoreControlResult LocalStore::FailTransaction(const PurchaseRef& ref, std::optional<StoreError> error) {
  LocalStoreCore& c = *core_;
  std::optional<StorePaymentTransaction> reported;
  uint64_t id;
  {
    std::lock_guard<std::mutex> lock(c.mu);
    Target t = FindWaitingLocked(c, ref);
    if (!t.error.empty()) return Refused(t.error);
    StoreChanges changes;
    if (t.entry) {
      id = t.entry->id;
      reported = c.FailQueueEntryLocked(
          *t.entry, error.value_or(store_errors::Unknown("The purchase was declined.")), changes);
    } else {
      id = t.pending->id;
      c.RemovePendingLocked(id, "declined", changes);
    }
    c.CommitLocked(changes);
  }
  if (reported) c.PostQueueReport(LocalStoreCore::QueueReport::kUpdated, {*reported});
  return Done(id);
}

StoreControlResult LocalStore::DeferTransaction(const PurchaseRef& ref) {
  LocalStoreCore& c = *core_;
  StorePaymentTransaction reported;
  uint64_t id;
  {
    std::lock_guard<std::mutex> lock(c.mu);
    Target t = FindWaitingLocked(c, ref);
    if (!t.error.empty()) return Refused(t.error);
    if (!t.entry) return Refused("a second-generation purchase awaiting approval is deferred already");
    if (t.entry->transaction.state != kStatePurchasing) {
      return Refused("purchase " + std::to_string(t.entry->id) + " is deferred already");
    }
    id = t.entry->id;
    StoreChanges changes;
    reported = c.SetQueueStateLocked(*t.entry, kStateDeferred, changes);
    c.CommitLocked(changes);
  }
  c.PostQueueReport(LocalStoreCore::QueueReport::kUpdated, {reported});
  return Done(id);
}

StoreControlResult LocalStore::PostStorePurchase(const std::string& product_identifier) {
  const ConfiguredProduct* product = core_->config.FindProduct(product_identifier);
  if (!product) return Refused("no product \"" + product_identifier + "\"");
  StorePayment payment;
  payment.product_identifier = product_identifier;
  core_->log->Info("purchase of \"" + product_identifier + "\" started in the store");
  std::weak_ptr<LocalStoreCore> weak = core_;
  core_->main->Async([weak, payment, product = product->product] {
    std::shared_ptr<LocalStoreCore> self = weak.lock();
    if (!self) return;
    std::vector<StorePaymentQueueObserver*> targets;
    {
      std::lock_guard<std::mutex> lock(self->mu);
      targets = self->observers;
    }
    bool add = false;
    for (StorePaymentQueueObserver* o : targets) {
      {
        std::lock_guard<std::mutex> lock(self->mu);
        if (std::find(self->observers.begin(), self->observers.end(), o) == self->observers.end()) {
          continue;
        }
      }
      add = o->ShouldAddStorePayment(payment, product) || add;
    }
    if (add) self->AddPayment(payment);
  });
  return StoreControlResult();
}

StoreControlResult LocalStore::PushTransactionUpdate(const std::string& product_identifier,
                                                     std::optional<bool> verified) {
  LocalStoreCore& c = *core_;
  StoreVerificationResult update;
  {
    std::lock_guard<std::mutex> lock(c.mu);
    const ConfiguredProduct* product = c.config.FindProduct(product_identifier);
    if (!product) return Refused("no product \"" + product_identifier + "\"");
    StoreChanges changes;
    PurchaseFacts facts = c.FactsLocked(c.NewIdLocked(changes), *product);
    facts.verified = verified;
    // A subscription's new transaction renews the latest one.
    if (product->product.type == StoreProductType::kAutoRenewable) {
      for (const LedgerEntry& e : c.ledger) {
        if (e.product_id == product_identifier) {
          facts.original_id = e.original_id;
          facts.original_purchase_date = e.original_purchase_date;
        }
      }
    }
    update = ToVerificationResult(c.AddLedgerLocked(facts, changes));
    c.CommitLocked(changes);
    c.log->Info("transaction " + std::to_string(facts.id) + " of \"" + product_identifier + "\" pushed");
  }
  c.PostUpdates({update});
  return Done(update.transaction.id);
}

StoreControlResult LocalStore::RevokeTransaction(uint64_t id) {
  LocalStoreCore& c = *core_;
  StoreVerificationResult update;
  {
    std::lock_guard<std::mutex> lock(c.mu);
    LedgerEntry* e = c.FindLedgerLocked(id);
    if (!e) return Refused("no transaction " + std::to_string(id));
    if (e->revocation_date) return Refused("transaction " + std::to_string(id) + " is revoked already");
    e->revocation_date = c.Now();
    ResignLedgerEntry(*e, c.config.bundle_id, c.config.storefront ? &*c.config.storefront : nullptr,
                      c.config.FindProduct(e->product_id));
    StoreChanges changes;
    changes.put_ledger.push_back(*e);
    update = ToVerificationResult(*e);
    c.CommitLocked(changes);
    c.log->Info("transaction " + std::to_string(id) + " revoked");
  }
  c.PostUpdates({update});
  return Done(id);
}

void LocalStore::FailNextRequest(std::optional<StoreError> error) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->fail_next_request = error.value_or(DefaultFailure(StoreOperation::kProductsRequest));
}

void LocalStore::FailNextRestore(std::optional<StoreError> error) {
  FailNext(StoreOperation::kRestore, std::move(error));
}

void LocalStore::FailNext(StoreOperation operation, std::optional<StoreError> error) {
  std::lock_guard<std::mutex> lock(core_->mu);
  core_->fail_next[operation] = error.value_or(DefaultFailure(operation));
}

std::vector<PendingPurchase> LocalStore::PendingPurchases() {
  std::lock_guard<std::mutex> lock(core_->mu);
  std::vector<PendingPurchase> list;
  for (const QueueEntry& e : core_->queue) {
    PendingPurchase p;
    p.id = e.id;
    p.generation = 1;
    p.product_identifier = e.transaction.payment.product_identifier.value_or("");
    p.state = e.transaction.state;
    p.state_name = TransactionStateName(e.transaction.state);
    p.transaction_identifier = e.transaction.identifier;
    list.push_back(std::move(p));
  }
  for (const PendingEntry& e : core_->pending) {
    PendingPurchase p;
    p.id = e.id;
    p.generation = 2;
    p.product_identifier = e.product_id;
    p.state = 0;
    p.state_name = "pending";
    list.push_back(std::move(p));
  }
  return list;
}

}  // namespace kelvo
