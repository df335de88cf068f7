// Fakes of the app store for the store bridge's unit tests. Nothing
// happens by itself: the test reports to the queue's observers and to the
// requests' delegates when it wants, as the store would on the main queue.
// Not thread-safe; use from the test's thread.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/store/store_kit.h"

namespace kelvo::testing {

class FakePaymentQueue final : public StorePaymentQueue {
 public:
  bool CanMakePayments() override { return can_make_payments; }
  // Records the payment; it does not enter `transactions`.
  void AddPayment(const StorePayment& payment) override { added.push_back(payment); }
  void FinishTransaction(const StorePaymentTransaction& transaction) override {
    finished.push_back(transaction);
  }
  void AddTransactionObserver(StorePaymentQueueObserver* observer) override;
  void RemoveTransactionObserver(StorePaymentQueueObserver* observer) override;
  void RestoreCompletedTransactions(const std::optional<std::string>& username) override {
    restores.push_back(username);
  }
  std::vector<StorePaymentTransaction> Transactions() override { return transactions; }
  std::optional<StoreStorefront> Storefront() override { return storefront; }

  bool can_make_payments = true;
  std::vector<StorePaymentTransaction> transactions;
  std::optional<StoreStorefront> storefront;
  std::vector<StorePayment> added;
  std::vector<StorePaymentTransaction> finished;
  std::vector<std::optional<std::string>> restores;
  std::vector<StorePaymentQueueObserver*> observers;
};

// One request the bridge created; the test reports through `delegate`.
struct FakeRequestState {
  std::set<std::string> identifiers;                                           // products requests
  std::optional<std::vector<std::pair<std::string, std::string>>> properties;  // refreshes
  bool is_refresh = false;
  bool started = false;
  bool destroyed = false;
  StoreRequestDelegate* delegate = nullptr;
};

class FakeStoreRequest final : public StoreRequest {
 public:
  explicit FakeStoreRequest(std::shared_ptr<FakeRequestState> state) : state_(std::move(state)) {}
  ~FakeStoreRequest() override { state_->destroyed = true; }
  void SetDelegate(StoreRequestDelegate* delegate) override { state_->delegate = delegate; }
  void Start() override { state_->started = true; }

 private:
  std::shared_ptr<FakeRequestState> state_;
};

// The second generation does nothing here: every answer is empty.
class NullStoreKit2 final : public StoreKit2 {
 public:
  bool CanMakePayments() override { return false; }
  std::vector<StoreProduct> Products(const std::vector<std::string>&,
                                     std::optional<StoreError>*) override {
    return {};
  }
  std::optional<StorePurchaseResult> Purchase(const StoreProduct&, const StorePurchaseOptions&,
                                              std::optional<StoreError>*) override {
    return std::nullopt;
  }
  std::vector<StoreVerificationResult> AllTransactions() override { return {}; }
  std::vector<StoreVerificationResult> UnfinishedTransactions() override { return {}; }
  std::vector<StoreVerificationResult> CurrentEntitlements() override { return {}; }
  void Finish(uint64_t) override {}
  std::optional<bool> IsEligibleForIntroOffer(const std::string&,
                                              std::optional<StoreError>*) override {
    return std::nullopt;
  }
  std::vector<StoreSubscriptionStatus> SubscriptionStatuses(const std::string&,
                                                            std::optional<StoreError>*) override {
    return {};
  }
  std::optional<StoreStorefront> CurrentStorefront() override { return std::nullopt; }
  std::optional<StoreError> Sync() override { return std::nullopt; }
  std::optional<StoreError> PresentOfferCodeRedeemSheet() override { return std::nullopt; }
  std::shared_ptr<void> SubscribeToUpdates(UpdateHandler) override { return nullptr; }
};

class FakeStoreKit final : public StoreKit {
 public:
  StorePaymentQueue* DefaultPaymentQueue() override { return &queue; }
  std::unique_ptr<StoreRequest> CreateProductsRequest(
      const std::set<std::string>& identifiers) override;
  std::unique_ptr<StoreRequest> CreateReceiptRefreshRequest(
      const std::optional<std::vector<std::pair<std::string, std::string>>>& properties) override;
  std::optional<std::string> AppStoreReceiptPath() override { return receipt_path; }
  StoreKit2* Second() override { return &second; }

  FakePaymentQueue queue;
  NullStoreKit2 second;
  std::optional<std::string> receipt_path;
  std::vector<std::shared_ptr<FakeRequestState>> requests;
};

// Store objects with the fields tests look at.
StoreProduct MakeProduct(const std::string& identifier);
StorePaymentTransaction MakeTransaction(const std::string& product_identifier, int64_t state,
                                        std::optional<std::string> identifier);

}  // namespace kelvo::testing
