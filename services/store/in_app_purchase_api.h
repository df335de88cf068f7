// FIAInAppPurchaseAPI: the first-generation store API the user interface
// calls, one basic message channel per method (codec FIAGetMessagesCodec):
//   "dev.flutter.pigeon.in_app_purchase_storekit.InAppPurchaseAPI." + method
//   (+ "." + suffix when the suffix is not empty)
// Requests are argument lists; replies are [result] or [code, message,
// details].
//
// The set-up checks each request's shape before calling the API: a missing
// argument, or one of the wrong type (a payment map that is not a map or
// null, identifiers that are not a list of strings, a user name that is not
// a string or null, receipt properties that are not a map of scalars or
// null, a finish map that is not a map or null), is answered with
// "bad-request" and the API is not called. A null finish map reads as an
// empty one. Arguments after the expected ones are ignored.
//
// Ownership: the installed handlers share the API object.
// Threading: the API runs on the messenger's delivery queue (the main
// queue). Synchronous operations reply before they return; the two
// completions may be called later, once, from the main queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/engine/binary_messenger.h"
#include "platform/engine/method_codec.h"
#include "services/store/messages.h"

namespace kelvo {

inline constexpr const char* kInAppPurchasePackage = "in_app_purchase_storekit";
inline constexpr const char* kInAppPurchaseApi = "InAppPurchaseAPI";

// A result, or the error that answers instead.
template <typename T>
using FIAResult = std::variant<T, FlutterError>;
// No result: nothing on success.
using FIAStatus = std::optional<FlutterError>;

class FIAInAppPurchaseAPI {
 public:
  virtual ~FIAInAppPurchaseAPI() = default;

  virtual FIAResult<bool> canMakePayments() = 0;
  virtual FIAResult<std::vector<FIASKPaymentTransactionMessage>> transactions() = 0;
  // Null for no storefront.
  virtual FIAResult<std::shared_ptr<const FIASKStorefrontMessage>> storefront() = 0;
  // `paymentMap`: nothing when the interface sent null.
  virtual FIAStatus addPayment(const std::optional<ValueMap>& paymentMap) = 0;
  virtual void startProductRequest(
      const std::vector<std::string>& productIdentifiers,
      std::function<void(FIAResult<FIASKProductsResponseMessage>)> completion) = 0;
  virtual FIAStatus finishTransaction(const ValueMap& finishMap) = 0;
  virtual FIAStatus restoreTransactions(const std::optional<std::string>& applicationUserName) = 0;
  virtual FIAStatus presentCodeRedemptionSheet() = 0;
  // Nothing when the application has no receipt.
  virtual FIAResult<std::optional<std::string>> retrieveReceiptData() = 0;
  virtual void refreshReceipt(const std::optional<ValueMap>& receiptProperties,
                              std::function<void(FIAStatus)> completion) = 0;
  virtual FIAStatus startObservingPaymentQueue() = 0;
  virtual FIAStatus stopObservingPaymentQueue() = 0;
  virtual FIAStatus registerPaymentQueueDelegate() = 0;
  virtual FIAStatus removePaymentQueueDelegate() = 0;
  virtual FIAStatus showPriceConsentIfNeeded() = 0;
  virtual FIAResult<bool> supportsStoreKit2() = 0;
};

// The channel names in the order SetUpFIAInAppPurchaseAPIWithSuffix binds
// them.
std::vector<std::string> FIAInAppPurchaseAPIChannels(const std::string& suffix = "");

// Installs a handler on every channel; a null `api` removes them.
void SetUpFIAInAppPurchaseAPIWithSuffix(BinaryMessenger* messenger,
                                        std::shared_ptr<FIAInAppPurchaseAPI> api,
                                        const std::string& suffix);
void SetUpFIAInAppPurchaseAPI(BinaryMessenger* messenger, std::shared_ptr<FIAInAppPurchaseAPI> api);

}  // namespace kelvo
