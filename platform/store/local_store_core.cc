#include "platform/store/local_store_core.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "platform/fs/files.h"
#include "platform/store/store_json.h"

namespace kelvo {

const char* TransactionStateName(int64_t state) {
  switch (state) {
    case kStatePurchasing: return "purchasing";
    case kStatePurchased: return "purchased";
    case kStateFailed: return "failed";
    case kStateRestored: return "restored";
    case kStateDeferred: return "deferred";
    default: return "unknown";
  }
}

namespace store_errors {
StoreError Unknown(const std::string& what) { return MakeStoreError(kDomain, 0, what); }
StoreError PaymentCancelled() { return MakeStoreError(kDomain, 2, "The payment was cancelled."); }
StoreError PaymentInvalid(const std::string& id) {
  return MakeStoreError(kDomain, 3, "The product identifier \"" + id + "\" is not valid.");
}
StoreError PaymentNotAllowed() {
  return MakeStoreError(kDomain, 4, "Payments are not allowed on this device.");
}
StoreError InvalidOfferIdentifier(const std::string& id) {
  return MakeStoreError(kDomain, 11, "The offer identifier \"" + id + "\" is not valid.");
}
}  // namespace store_errors

LocalStoreCore::LocalStoreCore(Dispatch* dispatch_in, StoreConfig config_in,
                               std::shared_ptr<SystemLog> log_in, std::string database_path_in,
                               std::string receipt_path_in, std::unique_ptr<StoreDatabase> db_in,
                               StoreContents contents)
    : dispatch(dispatch_in),
      main(dispatch_in->MainQueue()),
      config(std::move(config_in)),
      log(std::move(log_in)),
      database_path(std::move(database_path_in)),
      receipt_path(std::move(receipt_path_in)),
      db(std::move(db_in)) {
  AdoptLocked(std::move(contents));
}

void LocalStoreCore::AdoptLocked(StoreContents contents) {
  next_id = contents.next_id;
  queue = std::move(contents.queue);
  ledger = std::move(contents.ledger);
  pending = std::move(contents.pending);
  // Ids look like the platform's; the sequence never goes backwards even
  // when the meta row was lost.
  constexpr uint64_t kFirstId = 2000000000000001;
  next_id = std::max(next_id, kFirstId);
  for (const QueueEntry& e : queue) {
    next_id = std::max(next_id, e.id + 1);
    next_seq = std::max(next_seq, e.seq + 1);
  }
  for (const LedgerEntry& e : ledger) next_id = std::max(next_id, e.id + 1);
  for (const PendingEntry& e : pending) next_id = std::max(next_id, e.id + 1);
  for (const std::string& row : contents.damaged) {
    log->Error("store state " + database_path + ": " + row +
               " does not read back; skipped and left in place");
  }
}

uint64_t LocalStoreCore::NewIdLocked(StoreChanges& changes) {
  if (!changes.id_base) changes.id_base = next_id;
  uint64_t id = next_id++;
  changes.next_id = next_id;
  return id;
}

bool LocalStoreCore::CommitLocked(StoreChanges& changes) {
  std::string error;
  bool saved = false;
  try {
    saved = db->Apply(changes, &error);  // rolled back by its guard on any way out
  } catch (const std::exception& e) {
    error = e.what();
  }
  const bool ledger_changed = !changes.put_ledger.empty();
  changes = StoreChanges();
  if (!saved) {
    log->Error("store state " + database_path + " not saved: " + error);
    // Memory follows the database: what was not saved is forgotten, and
    // what other processes saved is taken in.
    std::string reload_error;
    if (std::optional<StoreContents> contents = db->Load(&reload_error)) {
      AdoptLocked(std::move(*contents));
    } else {
      log->Error("store state " + database_path + " not read back: " + reload_error);
    }
    return false;
  }
  // The receipt follows the committed ledger.
  if (ledger_changed) WriteReceiptLocked();
  return true;
}

void LocalStoreCore::WriteReceiptLocked() {
  if (!config.has_receipt_location) return;
  const std::string text = ReceiptDocument(ledger, config, Now());
  if (auto problem = WriteFileAtomically(receipt_path, text, kSecretFileMode)) {
    log->Error("store receipt " + receipt_path + " not written: " + *problem);
  }
}

QueueEntry* LocalStoreCore::FindQueueLocked(uint64_t id) {
  for (QueueEntry& e : queue) {
    if (e.id == id) return &e;
  }
  return nullptr;
}

LedgerEntry* LocalStoreCore::FindLedgerLocked(uint64_t id) {
  for (LedgerEntry& e : ledger) {
    if (e.id == id) return &e;
  }
  return nullptr;
}

PendingEntry* LocalStoreCore::FindPendingLocked(uint64_t id) {
  for (PendingEntry& e : pending) {
    if (e.id == id) return &e;
  }
  return nullptr;
}

void LocalStoreCore::RemovePendingLocked(uint64_t id, const char* outcome, StoreChanges& changes) {
  pending.erase(std::find_if(pending.begin(), pending.end(),
                             [id](const PendingEntry& e) { return e.id == id; }));
  changes.delete_pending.push_back(id);
  log->Info("purchase " + std::to_string(id) + " " + outcome);
}

PurchaseFacts LocalStoreCore::FactsLocked(uint64_t id, const ConfiguredProduct& product) {
  PurchaseFacts facts;
  facts.id = id;
  facts.product = &product;
  facts.now = Now();
  facts.storefront = config.storefront ? &*config.storefront : nullptr;
  facts.bundle_id = config.bundle_id;
  return facts;
}

const LedgerEntry& LocalStoreCore::AddLedgerLocked(PurchaseFacts facts, StoreChanges& changes) {
  ledger.push_back(MakeLedgerEntry(facts));
  changes.put_ledger.push_back(ledger.back());
  return ledger.back();
}

std::optional<StoreError> LocalStoreCore::TakeFailure(StoreOperation operation) {
  auto it = fail_next.find(operation);
  if (it == fail_next.end()) return std::nullopt;
  StoreError e = std::move(it->second);
  fail_next.erase(it);
  return e;
}

bool LocalStoreCore::HasPurchasedInGroupLocked(const std::string& group_id) {
  for (const LedgerEntry& e : ledger) {
    const ConfiguredProduct* p = config.FindProduct(e.product_id);
    if (p && p->product.subscription_group_identifier == group_id) return true;
  }
  return false;
}

bool LocalStoreCore::SubscriptionActiveLocked(const std::string& group_id) {
  const double now = Now();
  for (const LedgerEntry& e : ledger) {
    const ConfiguredProduct* p = config.FindProduct(e.product_id);
    if (!p || p->product.subscription_group_identifier != group_id || e.revocation_date) continue;
    if (!e.expiration_date || *e.expiration_date > now) return true;
  }
  return false;
}

bool LocalStoreCore::IntroEligibleLocked(const std::string& group_id) {
  const ConfiguredGroup* g = config.FindGroup(group_id);
  return g && g->intro_offer_eligible && !HasPurchasedInGroupLocked(group_id);
}

std::vector<std::string> LocalStoreCore::WinBackEligibleLocked(const std::string& group_id) {
  std::vector<std::string> ids;
  const ConfiguredGroup* g = config.FindGroup(group_id);
  // Win-back offers are for those whose subscription has lapsed.
  if (!g || SubscriptionActiveLocked(group_id)) return ids;
  for (const std::string& offer : g->win_back_eligible) {
    bool redeemed = false;
    for (const LedgerEntry& e : ledger) {
      redeemed = redeemed || (e.offer_type == "winBack" && e.offer_id == offer);
    }
    if (!redeemed) ids.push_back(offer);
  }
  return ids;
}

void LocalStoreCore::ApplyIntroOfferLocked(const ConfiguredProduct& product, PurchaseFacts& facts) {
  const StoreProduct& p = product.product;
  if (facts.offer_type || !p.introductory_offer || !p.subscription_group_identifier) return;
  if (!IntroEligibleLocked(*p.subscription_group_identifier)) return;
  facts.offer_type = "introductory";
  facts.offer_id = p.introductory_offer->identifier;
}

void LocalStoreCore::PostToObservers(std::function<void(StorePaymentQueueObserver*)> report) {
  std::weak_ptr<LocalStoreCore> weak = weak_from_this();
  main->Async([weak, report = std::move(report)] {
    std::shared_ptr<LocalStoreCore> self = weak.lock();
    if (!self) return;
    std::vector<StorePaymentQueueObserver*> targets;
    {
      std::lock_guard<std::mutex> lock(self->mu);
      targets = self->observers;
    }
    for (StorePaymentQueueObserver* o : targets) {
      {
        // An earlier observer's handler may have removed this one.
        std::lock_guard<std::mutex> lock(self->mu);
        if (std::find(self->observers.begin(), self->observers.end(), o) == self->observers.end()) {
          continue;
        }
      }
      report(o);
    }
  });
}

void LocalStoreCore::PostQueueReport(QueueReport kind,
                                     std::vector<StorePaymentTransaction> transactions,
                                     StorePaymentQueueObserver* only) {
  if (transactions.empty()) return;
  PostToObservers([kind, only, transactions = std::move(transactions)](StorePaymentQueueObserver* o) {
    if (only && o != only) return;
    if (kind == QueueReport::kUpdated) {
      o->UpdatedTransactions(transactions);
    } else {
      o->RemovedTransactions(transactions);
    }
  });
}

void LocalStoreCore::PostUpdates(std::vector<StoreVerificationResult> updates) {
  if (updates.empty()) return;
  std::weak_ptr<LocalStoreCore> weak = weak_from_this();
  main->Async([weak, updates = std::move(updates)] {
    std::shared_ptr<LocalStoreCore> self = weak.lock();
    if (!self) return;
    std::vector<uint64_t> ids;
    {
      std::lock_guard<std::mutex> lock(self->mu);
      for (const auto& [id, handler] : self->update_handlers) ids.push_back(id);
    }
    for (const StoreVerificationResult& update : updates) {
      for (uint64_t id : ids) {
        std::shared_ptr<StoreKit2::UpdateHandler> handler;
        {
          std::lock_guard<std::mutex> lock(self->mu);
          auto it = self->update_handlers.find(id);
          if (it == self->update_handlers.end()) continue;
          handler = it->second;
        }
        (*handler)(update);
      }
    }
  });
}

}  // namespace kelvo
