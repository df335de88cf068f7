// InAppPurchasePlugin: the host's bridge to the app store. It serves the
// first-generation API (in_app_purchase_api.h) over the payment queue
// handler (payment_queue_handler.h) and reports what the store does on its
// own by calling the user interface on the callback method channel
// kInAppPurchaseCallbackChannel (standard codec, no answer expected):
//   "updatedTransactions"    list of transaction maps, in queue order
//   "removedTransactions"    list of transaction maps, in queue order
//   "restoreCompletedTransactionsFailed"  the error map
//   "paymentQueueRestoreCompletedTransactionsFinished"  null
//   "shouldAddStorePayment"  {"payment": payment map, "product": product map}
// (maps: callback_maps.h). On systems of version 12.0 or later it also
// serves the second-generation API through its second half,
// InAppPurchasePluginStoreKit2.
//
// Contract:
// - Every failure is an error reply; the codes and texts are the k*
//   constants below. A refused payment leaves the plugin unchanged.
// - productsCache holds every product of a successful products request and
//   of every purchase started in the store; addPayment buys only products
//   found there. Entries are never removed.
// - A request handler is kept in requestHandlers from its start until just
//   after its one completion; a completion that finds the plugin gone
//   replies nothing.
// - Reports the payment queue handler held back reach the user interface
//   before the reply to startObservingPaymentQueue.
// - Purchases started in the store are answered "do not add": the user
//   interface adds them with addPayment.
// - The callback channel serves no calls. "listen" and "cancel" are
//   answered with success, so that a client of the engine socket (kelvoctl
//   listen) can make its connection the one the callbacks are sent to;
//   every other call is answered "not implemented".
// - A finish map whose keys are not all strings, or one of whose values is
//   neither a string nor null, is refused with kInvalidFinishMapCode.
//
// Ownership: the registrar keeps the plugin (Publish); the plugin owns the
// payment queue handler, the request handlers while they run, the product
// cache and its second half, and shares the store. Callbacks from the
// payment queue handler hold the plugin weakly.
// Threading: everything runs on the main queue, where the request channels
// deliver and the store reports; the plugin never switches threads for the
// first generation.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/engine/plugin_registry.h"
#include "platform/store/store_kit.h"
#include "services/store/in_app_purchase_api.h"
#include "services/store/protocols.h"
#include "services/store/receipt_manager.h"

namespace kelvo {

class InAppPurchasePluginStoreKit2;
class SystemLog;

inline constexpr const char* kInAppPurchaseCallbackChannel = "net.kelvo.app/in_app_purchase";

inline constexpr const char* kMissingProductIdentifierCode = "storekit_missing_product_identifier";
inline constexpr const char* kMissingProductIdentifierMessage =
    "The `productIdentifier` is missing from the payment map.";
inline constexpr const char* kInvalidPaymentObjectCode = "storekit_invalid_payment_object";
inline constexpr const char* kInvalidPaymentObjectMessage =
    "You have requested a payment for an invalid product. Either the `productIdentifier` of the "
    "payment is not valid or the product has not been fetched before adding the payment to the "
    "payment queue.";
inline constexpr const char* kInvalidPaymentDiscountCode =
    "storekit_invalid_payment_discount_object";
inline constexpr const char* kInvalidPaymentDiscountMessagePrefix =
    "You have requested a payment and specified a payment discount with invalid properties. ";
inline constexpr const char* kDuplicateProductCode = "storekit_duplicate_product_object";
inline constexpr const char* kDuplicateProductMessage =
    "There is a pending transaction for the same product identifier. Please either wait for it to "
    "be finished or finish it manually using `completePurchase` to avoid edge cases.";
inline constexpr const char* kProductRequestErrorCode = "storekit_getproductrequest_platform_error";
inline constexpr const char* kNoResponseCode = "storekit_platform_no_response";
inline constexpr const char* kNoResponseMessage =
    "Failed to get SKProductResponse in startRequest call. Error occurred on iOS platform";
inline constexpr const char* kRefreshReceiptErrorCode =
    "storekit_refreshreceiptrequest_platform_error";
inline constexpr const char* kInvalidFinishMapCode = "storekit_invalid_finish_map";

// Makes the handler that runs one store request.
using RequestHandlerFactory =
    std::function<std::shared_ptr<FLTRequestHandlerProtocol>(std::unique_ptr<StoreRequest>)>;

// The default factory: a FIAPRequestHandler in a DefaultRequestHandler.
std::shared_ptr<FLTRequestHandlerProtocol> DefaultRequestHandlerFactory(
    std::unique_ptr<StoreRequest> request);

// A payment discount from the interface's map; nothing with `*error` set to
// the validation text when a field is missing or invalid. The nonce must be
// UUID text; the discount carries it in upper case.
std::optional<StorePaymentDiscount> getSKPaymentDiscountFromMap(const ValueMap& map,
                                                                std::string* error);

class InAppPurchasePlugin final : public FIAInAppPurchaseAPI,
                                  public std::enable_shared_from_this<InAppPurchasePlugin> {
 public:
  // The registration entry point: opens the local store from the
  // environment (local_store.h) and its test controls channel, then
  // registers with it. A store configuration that does not read is fatal:
  // the message goes to stderr and the process exits with status 1.
  static void Register(PluginRegistrar* registrar);
  // Registration on `store`, in order: the callback channel (see above),
  // the plugin, the first-generation channels, and the second-generation
  // ones when `os` is 12.0 or later. The plugin is published to the
  // registrar and returned.
  static std::shared_ptr<InAppPurchasePlugin> RegisterWithStore(PluginRegistrar* registrar,
                                                                std::shared_ptr<StoreKit> store,
                                                                OperatingSystemVersion os);

  struct Options {
    // Empty: DefaultRequestHandlerFactory.
    RequestHandlerFactory handlerFactory;
    // Null: a DefaultMethodChannel on kInAppPurchaseCallbackChannel.
    std::shared_ptr<FLTMethodChannelProtocol> callbackChannel;
  };
  // Construction from a registrar (its messenger and dispatch, which it
  // must have).
  static std::shared_ptr<InAppPurchasePlugin> Create(PluginRegistrar* registrar,
                                                     std::shared_ptr<StoreKit> store,
                                                     OperatingSystemVersion os,
                                                     Options options = {});
  ~InAppPurchasePlugin() override;

  // FIAInAppPurchaseAPI.
  FIAResult<bool> canMakePayments() override;
  FIAResult<std::vector<FIASKPaymentTransactionMessage>> transactions() override;
  FIAResult<std::shared_ptr<const FIASKStorefrontMessage>> storefront() override;
  FIAStatus addPayment(const std::optional<ValueMap>& paymentMap) override;
  void startProductRequest(
      const std::vector<std::string>& productIdentifiers,
      std::function<void(FIAResult<FIASKProductsResponseMessage>)> completion) override;
  FIAStatus finishTransaction(const ValueMap& finishMap) override;
  FIAStatus restoreTransactions(const std::optional<std::string>& applicationUserName) override;
  FIAStatus presentCodeRedemptionSheet() override;
  FIAResult<std::optional<std::string>> retrieveReceiptData() override;
  void refreshReceipt(const std::optional<ValueMap>& receiptProperties,
                      std::function<void(FIAStatus)> completion) override;
  FIAStatus startObservingPaymentQueue() override;
  FIAStatus stopObservingPaymentQueue() override;
  FIAStatus registerPaymentQueueDelegate() override;
  FIAStatus removePaymentQueueDelegate() override;
  FIAStatus showPriceConsentIfNeeded() override;
  FIAResult<bool> supportsStoreKit2() override;

  // Callbacks of the payment queue handler.
  void handleTransactionsUpdated(const std::vector<StorePaymentTransaction>& transactions);
  void handleTransactionsRemoved(const std::vector<StorePaymentTransaction>& transactions);
  void handleTransactionRestoreFailed(const StoreError& error);
  void restoreCompletedTransactionsFinished();
  bool shouldAddStorePayment(const StorePayment& payment, const StoreProduct& product);

  const std::map<std::string, StoreProduct>& productsCache() const { return productsCache_; }
  const std::set<std::shared_ptr<FLTRequestHandlerProtocol>>& requestHandlers() const {
    return requestHandlers_;
  }
  FLTPaymentQueueHandlerProtocol* paymentQueueHandler() const { return paymentQueueHandler_.get(); }
  const std::shared_ptr<InAppPurchasePluginStoreKit2>& storeKit2() const { return storeKit2_; }
  PluginRegistrar* registrar() const { return registrar_; }

  // Use Create.
  InAppPurchasePlugin(std::shared_ptr<StoreKit> store, OperatingSystemVersion os,
                      std::shared_ptr<Queue> main_queue, RequestHandlerFactory handlerFactory,
                      std::shared_ptr<FLTMethodChannelProtocol> callbackChannel);

 private:
  // Construction steps after the plugin is shared (the handler's
  // callbacks hold it weakly).
  void Init(PluginRegistrar* registrar);
  void setupTransactionObserverChannelIfNeeded(BinaryMessenger* messenger);
  // Starts `request` through a handler kept in requestHandlers until just
  // after its completion.
  void StartRequest(std::unique_ptr<StoreRequest> request, ProductRequestCompletion completion);
  void ReleaseHandlerLater(const std::shared_ptr<FLTRequestHandlerProtocol>& handler);
  void InvokeCallback(const std::string& method, const Value& arguments);

  const std::shared_ptr<StoreKit> store_;
  const OperatingSystemVersion os_;
  const std::shared_ptr<Queue> main_;
  const std::shared_ptr<SystemLog> log_;
  FIAPReceiptManager receiptManager_;
  std::map<std::string, StoreProduct> productsCache_;
  std::set<std::shared_ptr<FLTRequestHandlerProtocol>> requestHandlers_;
  RequestHandlerFactory handlerFactory_;
  std::shared_ptr<FLTMethodChannelProtocol> transactionObserverCallbackChannel_;
  PluginRegistrar* registrar_ = nullptr;
  std::shared_ptr<FLTPaymentQueueHandlerProtocol> paymentQueueHandler_;
  std::shared_ptr<InAppPurchasePluginStoreKit2> storeKit2_;
};

}  // namespace kelvo
