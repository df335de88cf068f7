// The store bridge's second-generation half: InAppPurchase2API served by
// the store's StoreKit2, and transaction updates pushed to the interface
// through InAppPurchase2CallbackAPI. InAppPurchasePlugin creates it with
// the plugin and sets up its channels from version 12.0.
//
// Behaviour beyond the API's names:
// - Requests run as tasks, one at a time, on the serial queue
//   "in_app_purchase_storekit2", where the store's blocking calls are made;
//   replies are sent from there, except that purchase and restorePurchases
//   push their update first, on the main queue, and reply right after it,
//   so the interface sees the update before the reply.
// - Transaction updates are pushed on the main queue; an update the
//   interface answers with an error is written to standard output as
//   "Failed to send transaction update: " + the error's description.
// - A store value the API cannot name (see store_kit2_conversions.h) is
//   answered with "storekit2_unknown_platform_value": message the fixed
//   text, details which value it was.
// - An invalid promotional offer (nonce not UUID text, signature not
//   Base64 text) is answered with "storekit2_invalid_promotional_offer" and
//   nothing is bought.
// - finish of a negative id is answered with
//   "storekit2_invalid_transaction_id"; an id with no verified transaction
//   is a success (there is nothing to finish).
// - The details of "storekit2_restore_failed" are a map from transaction id
//   (integer) to the map {"jwsRepresentation": text, "error": text}.
// - startListeningToTransactions subscribes to the store's updates; a later
//   start replaces the stored subscription, and the replaced one keeps
//   delivering, as a platform task that nobody cancels would; stop cancels
//   the stored one (nothing when none).
//
// Ownership: create with std::make_shared (tasks keep the object alive
// until they reply; listeners hold it weakly). `store`, `dispatch` and
// `messenger` are not owned and must outlive it.
// Threading: API methods are called on the main queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/engine/binary_messenger.h"
#include "platform/store/store_kit.h"
#include "services/store/in_app_purchase2_api.h"

namespace kelvo {

inline constexpr const char* kStoreKit2QueueLabel = "in_app_purchase_storekit2";

class InAppPurchasePluginStoreKit2 final
    : public InAppPurchase2API,
      public std::enable_shared_from_this<InAppPurchasePluginStoreKit2> {
 public:
  // `has_view_controller` tells whether the registrar has a view
  // controller to present the offer-code sheet from.
  InAppPurchasePluginStoreKit2(StoreKit2* store, Dispatch* dispatch, BinaryMessenger* messenger,
                               OperatingSystemVersion os,
                               std::function<bool()> has_view_controller);
  ~InAppPurchasePluginStoreKit2() override;
  InAppPurchasePluginStoreKit2(const InAppPurchasePluginStoreKit2&) = delete;
  InAppPurchasePluginStoreKit2& operator=(const InAppPurchasePluginStoreKit2&) = delete;

  bool canMakePayments() override;
  void products(const std::vector<std::string>& identifiers,
                SK2Completion<std::vector<SK2ProductMessage>> completion) override;
  void purchase(const std::string& id,
                const std::optional<SK2ProductPurchaseOptionsMessage>& options,
                SK2Completion<SK2ProductPurchaseResultMessage> completion) override;
  void isWinBackOfferEligible(const std::string& productId, const std::string& offerId,
                              SK2Completion<bool> completion) override;
  void isIntroductoryOfferEligible(const std::string& productId,
                                   SK2Completion<bool> completion) override;
  void transactions(SK2Completion<std::vector<SK2TransactionMessage>> completion) override;
  void unfinishedTransactions(
      SK2Completion<std::vector<SK2TransactionMessage>> completion) override;
  void finish(int64_t id, SK2Completion<SK2Void> completion) override;
  void startListeningToTransactions() override;
  void stopListeningToTransactions() override;
  void restorePurchases(SK2Completion<SK2Void> completion) override;
  void countryCode(SK2Completion<std::string> completion) override;
  void sync(SK2Completion<SK2Void> completion) override;
  void presentOfferCodeRedeemSheet(SK2Completion<SK2Void> completion) override;

  InAppPurchase2CallbackAPI& transactionCallbackAPI() { return transactionCallbackAPI_; }

 private:
  // What a task pushes before it replies, when anything.
  using Push = std::optional<std::vector<SK2TransactionMessage>>;
  // Runs `work` on the serial queue with this object kept alive, then
  // pushes what it asked to push and completes with its result. A store
  // value the API cannot name, or any other failure thrown, becomes the
  // error reply.
  template <typename T>
  void Run(SK2Completion<T> completion, std::function<SK2Result<T>(Push* push)> work);
  // Posts the push of `transactions` to the main queue; `then` runs there
  // right after it.
  void sendTransactionUpdates(std::vector<SK2TransactionMessage> transactions,
                              std::function<void()> then = nullptr);
  // The first product of the one identifier, or nothing; `error` gets the
  // store's failure.
  std::optional<StoreProduct> FetchProduct(const std::string& id, std::optional<StoreError>* error);
  // Builds the store's options; an error ends the purchase.
  SK2Result<StorePurchaseOptions> BuildOptions(const StoreProduct& product,
                                               const SK2ProductPurchaseOptionsMessage& options);
  SK2Result<bool> CheckEligibility(const std::string& productId,
                                   const std::optional<std::string>& winBackOfferId);

  StoreKit2* store_;
  std::shared_ptr<Queue> queue_;
  std::shared_ptr<Queue> main_;
  OperatingSystemVersion os_;
  std::function<bool()> has_view_controller_;
  InAppPurchase2CallbackAPI transactionCallbackAPI_;
  // Main queue only.
  std::shared_ptr<void> updateListenerTask_;
  std::vector<std::shared_ptr<void>> replacedListenerTasks_;
};

}  // namespace kelvo
