// The local store's second-generation half: a face over the store's core
// (local_store_core.h). Internal to the store layer; reached as StoreKit2
// through LocalStore::Second().
//
// Purchase follows the product's configured outcome: purchased (success,
// verified or not as configured), cancelled (userCancelled), failed (an
// error), deferred or pending (pending; no transaction until a test control
// approves it, which delivers the new transaction to the update
// subscribers). A purchase of a subscription whose group is eligible gets
// the introductory offer. Errors use the platform's domains:
// "StoreKit.Product.PurchaseError" (invalidQuantity 0, productUnavailable
// 1, purchaseNotAllowed 2, ineligibleForOffer 3, invalidOfferIdentifier 4,
// missingOfferParameters 7) and "StoreKit.StoreKitError" (unknown 0).
// Threading: as StoreKit2 (store_kit.h); calls never block for long.
#pragma once

#include <memory>

#include "platform/store/store_kit.h"

namespace kelvo {

struct LocalStoreCore;

class LocalStoreKit2 : public StoreKit2 {
 public:
  explicit LocalStoreKit2(std::shared_ptr<LocalStoreCore> core) : core_(std::move(core)) {}

  bool CanMakePayments() override;
  std::vector<StoreProduct> Products(const std::vector<std::string>& identifiers,
                                     std::optional<StoreError>* error) override;
  std::optional<StorePurchaseResult> Purchase(const StoreProduct& product,
                                              const StorePurchaseOptions& options,
                                              std::optional<StoreError>* error) override;
  std::vector<StoreVerificationResult> AllTransactions() override;
  std::vector<StoreVerificationResult> UnfinishedTransactions() override;
  std::vector<StoreVerificationResult> CurrentEntitlements() override;
  void Finish(uint64_t transaction_id) override;
  std::optional<bool> IsEligibleForIntroOffer(const std::string& group_id,
                                              std::optional<StoreError>* error) override;
  std::vector<StoreSubscriptionStatus> SubscriptionStatuses(
      const std::string& group_id, std::optional<StoreError>* error) override;
  std::optional<StoreStorefront> CurrentStorefront() override;
  std::optional<StoreError> Sync() override;
  std::optional<StoreError> PresentOfferCodeRedeemSheet() override;
  std::shared_ptr<void> SubscribeToUpdates(UpdateHandler handler) override;

 private:
  std::shared_ptr<LocalStoreCore> core_;
};

}  // namespace kelvo
