#include "platform/store/local_store_kit2.h"

#include <set>

#include "platform/store/local_store_core.h"
#include "platform/store/store_json.h"

namespace kelvo {
namespace {

StoreError PurchaseError(int64_t code, const std::string& text) {
  return MakeStoreError(store_errors::kPurchaseDomain, code, text);
}

}  // namespace

bool LocalStoreKit2::CanMakePayments() { return core_->config.can_make_payments; }

std::vector<StoreProduct> LocalStoreKit2::Products(const std::vector<std::string>& identifiers,
                                                   std::optional<StoreError>* error) {
  std::lock_guard<std::mutex> lock(core_->mu);
  if ((*error = core_->TakeFailure(StoreOperation::kProducts))) return {};
  std::vector<StoreProduct> products;
  std::set<std::string> seen;
  for (const std::string& id : identifiers) {
    const ConfiguredProduct* p = core_->config.FindProduct(id);
    if (p && seen.insert(id).second) products.push_back(p->product);
  }
  return products;
}

std::optional<StorePurchaseResult> LocalStoreKit2::Purchase(const StoreProduct& wanted,
                                                            const StorePurchaseOptions& options,
                                                            std::optional<StoreError>* error) {
  LocalStoreCore& c = *core_;
  std::lock_guard<std::mutex> lock(c.mu);
  if ((*error = c.TakeFailure(StoreOperation::kPurchase))) return std::nullopt;
  if (!c.config.can_make_payments) {
    *error = PurchaseError(2, "Purchases are not allowed on this device.");
    return std::nullopt;
  }
  const ConfiguredProduct* product = c.config.FindProduct(wanted.identifier);
  if (!product) {
    *error = PurchaseError(1, "The product \"" + wanted.identifier + "\" is not available.");
    return std::nullopt;
  }
  const StoreProduct& p = product->product;
  const int64_t quantity = options.quantity.value_or(1);
  if (quantity < 1 || quantity > 10) {
    *error = PurchaseError(0, "The quantity " + std::to_string(quantity) + " is not valid.");
    return std::nullopt;
  }

  PendingEntry intent;
  intent.product_id = p.identifier;
  intent.quantity = quantity;
  intent.app_account_token = options.app_account_token;
  if (options.promotional_offer) {
    const auto& [offer_id, signature] = *options.promotional_offer;
    if (!FindOffer(p.promotional_offers, offer_id)) {
      *error = PurchaseError(4, "The offer identifier \"" + offer_id + "\" is not valid.");
      return std::nullopt;
    }
    if (signature.key_id.empty() || signature.nonce.empty() || signature.signature.empty()) {
      *error = PurchaseError(7, "The promotional offer's signature is incomplete.");
      return std::nullopt;
    }
    intent.offer_type = "promotional";
    intent.offer_id = offer_id;
  } else if (options.win_back_offer_id) {
    const std::string& offer_id = *options.win_back_offer_id;
    if (!FindOffer(p.win_back_offers, offer_id)) {
      *error = PurchaseError(4, "The offer identifier \"" + offer_id + "\" is not valid.");
      return std::nullopt;
    }
    bool eligible = false;
    for (const std::string& id : c.WinBackEligibleLocked(*p.subscription_group_identifier)) {
      eligible = eligible || id == offer_id;
    }
    if (!eligible) {
      *error = PurchaseError(3, "The customer is not eligible for the offer \"" + offer_id + "\".");
      return std::nullopt;
    }
    intent.offer_type = "winBack";
    intent.offer_id = offer_id;
  }

  StorePurchaseResult result;
  StoreChanges changes;
  switch (product->outcome) {
    case PurchaseOutcome::kPurchased: {
      PurchaseFacts facts = c.FactsLocked(c.NewIdLocked(changes), *product);
      facts.quantity = intent.quantity;
      facts.app_account_token = intent.app_account_token;
      facts.offer_type = intent.offer_type;
      facts.offer_id = intent.offer_id;
      c.ApplyIntroOfferLocked(*product, facts);
      result.kind = StorePurchaseResult::Kind::kSuccess;
      result.verification = ToVerificationResult(c.AddLedgerLocked(facts, changes));
      c.log->Info("purchase " + std::to_string(facts.id) + " of \"" + p.identifier + "\" completed");
      break;
    }
    case PurchaseOutcome::kCancelled:
      result.kind = StorePurchaseResult::Kind::kUserCancelled;
      c.log->Info("purchase of \"" + p.identifier + "\" cancelled");
      return result;
    case PurchaseOutcome::kFailed:
      *error = MakeStoreError(store_errors::kKitDomain, 0, "The purchase could not be completed.");
      c.log->Info("purchase of \"" + p.identifier + "\" failed");
      return std::nullopt;
    case PurchaseOutcome::kDeferred:
    case PurchaseOutcome::kPending:
      intent.id = c.NewIdLocked(changes);
      intent.created = c.Now();
      c.pending.push_back(intent);
      changes.put_pending.push_back(intent);
      result.kind = StorePurchaseResult::Kind::kPending;
      c.log->Info("purchase " + std::to_string(intent.id) + " of \"" + p.identifier +
                  "\" awaits approval");
      break;
  }
  if (!c.CommitLocked(changes)) {
    // Nothing was kept (memory included), so nothing may be reported bought.
    *error = MakeStoreError(store_errors::kKitDomain, 0, "The purchase could not be saved.");
    return std::nullopt;
  }
  return result;
}

std::vector<StoreVerificationResult> LocalStoreKit2::AllTransactions() {
  std::lock_guard<std::mutex> lock(core_->mu);
  std::vector<StoreVerificationResult> all;
  for (const LedgerEntry& e : core_->ledger) all.push_back(ToVerificationResult(e));
  return all;
}

std::vector<StoreVerificationResult> LocalStoreKit2::UnfinishedTransactions() {
  std::lock_guard<std::mutex> lock(core_->mu);
  std::vector<StoreVerificationResult> unfinished;
  for (const LedgerEntry& e : core_->ledger) {
    if (!e.finished) unfinished.push_back(ToVerificationResult(e));
  }
  return unfinished;
}

std::vector<StoreVerificationResult> LocalStoreKit2::CurrentEntitlements() {
  std::lock_guard<std::mutex> lock(core_->mu);
  const double now = core_->Now();
  // The latest transaction per product that still entitles: never a
  // consumable, never a revoked one, a subscription only until it expires.
  std::vector<const LedgerEntry*> latest;
  for (const LedgerEntry& e : core_->ledger) {
    const ConfiguredProduct* p = core_->config.FindProduct(e.product_id);
    if (!p || p->product.type == StoreProductType::kConsumable) continue;
    bool replaced = false;
    for (const LedgerEntry*& l : latest) {
      if (l->product_id == e.product_id) {
        if (e.purchase_date >= l->purchase_date) l = &e;
        replaced = true;
      }
    }
    if (!replaced) latest.push_back(&e);
  }
  std::vector<StoreVerificationResult> entitled;
  for (const LedgerEntry* e : latest) {
    if (e->revocation_date) continue;
    if (e->expiration_date && *e->expiration_date <= now) continue;
    entitled.push_back(ToVerificationResult(*e));
  }
  return entitled;
}

void LocalStoreKit2::Finish(uint64_t transaction_id) {
  std::optional<StorePaymentTransaction> removed;
  {
    std::lock_guard<std::mutex> lock(core_->mu);
    LedgerEntry* e = core_->FindLedgerLocked(transaction_id);
    if (!e) {
      core_->log->Notice("finish: no transaction " + std::to_string(transaction_id));
      return;
    }
    StoreChanges changes;
    if (!e->finished) {
      e->finished = true;
      changes.put_ledger.push_back(*e);
    }
    // The same purchase waiting in the first-generation queue ends too.
    removed = core_->RemoveQueueEntryForLocked(transaction_id, changes);
    if (!core_->CommitLocked(changes)) removed.reset();  // still there, as in the database
  }
  if (removed) core_->PostQueueReport(LocalStoreCore::QueueReport::kRemoved, {*removed});
}

std::optional<bool> LocalStoreKit2::IsEligibleForIntroOffer(const std::string& group_id,
                                                            std::optional<StoreError>* error) {
  std::lock_guard<std::mutex> lock(core_->mu);
  if ((*error = core_->TakeFailure(StoreOperation::kEligibility))) return std::nullopt;
  return core_->IntroEligibleLocked(group_id);
}

std::vector<StoreSubscriptionStatus> LocalStoreKit2::SubscriptionStatuses(
    const std::string& group_id, std::optional<StoreError>* error) {
  std::lock_guard<std::mutex> lock(core_->mu);
  if ((*error = core_->TakeFailure(StoreOperation::kSubscriptionStatus))) return {};
  const ConfiguredGroup* g = core_->config.FindGroup(group_id);
  // A customer has a status in a group once subscribed, or when the store
  // is told to treat them as a lapsed subscriber (win-back offers listed).
  if (!g || (!core_->HasPurchasedInGroupLocked(group_id) && g->win_back_eligible.empty())) return {};
  StoreSubscriptionStatus status;
  status.renewal_info_verified = g->renewal_info_verified;
  status.eligible_win_back_offer_ids = core_->WinBackEligibleLocked(group_id);
  return {status};
}

std::optional<StoreStorefront> LocalStoreKit2::CurrentStorefront() { return core_->config.storefront; }

std::optional<StoreError> LocalStoreKit2::Sync() {
  std::lock_guard<std::mutex> lock(core_->mu);
  std::optional<StoreError> failure = core_->TakeFailure(StoreOperation::kSync);
  core_->log->Info(failure ? "sync failed: " + failure->localized_description : "sync: up to date");
  return failure;
}

std::optional<StoreError> LocalStoreKit2::PresentOfferCodeRedeemSheet() {
  core_->log->Info("offer code redemption sheet shown (this store has no offer codes to redeem)");
  return std::nullopt;
}

std::shared_ptr<void> LocalStoreKit2::SubscribeToUpdates(UpdateHandler handler) {
  uint64_t id;
  {
    std::lock_guard<std::mutex> lock(core_->mu);
    id = core_->next_subscription++;
    core_->update_handlers[id] = std::make_shared<UpdateHandler>(std::move(handler));
  }
  std::weak_ptr<LocalStoreCore> weak = core_;
  // The token is a real object so that callers may test it; dropping it
  // ends the subscription.
  return std::shared_ptr<void>(new char(0), [weak, id](void* p) {
    delete static_cast<char*>(p);
    if (std::shared_ptr<LocalStoreCore> core = weak.lock()) {
      std::lock_guard<std::mutex> lock(core->mu);
      core->update_handlers.erase(id);
    }
  });
}

}  // namespace kelvo
