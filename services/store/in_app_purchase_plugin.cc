#include "services/store/in_app_purchase_plugin.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/encoding/uuid.h"
#include "platform/engine/channels.h"
#include "platform/log/system_log.h"
#include "platform/store/local_store.h"
#include "platform/store/store_test_controls.h"
#include "services/store/callback_maps.h"
#include "services/store/default_adapters.h"
#include "services/store/in_app_purchase2_api.h"
#include "services/store/in_app_purchase_plugin_store_kit2.h"
#include "services/store/object_translator.h"
#include "services/store/payment_queue_handler.h"
#include "services/store/request_handler.h"
#include "services/store/transaction_cache.h"
#include "services/store/user_info_encoding.h"

namespace kelvo {
namespace {

constexpr const char* kDownloadsNotSupported =
    "Received an updatedDownloads callback, but downloads are not supported.";

FlutterError PaymentError(const char* code, std::string message,
                          const std::optional<ValueMap>& paymentMap) {
  return {code, std::move(message), paymentMap ? Value(*paymentMap) : Value()};
}

// A non-empty string under `key`, or nothing.
const std::string* NonEmptyString(const ValueMap& map, const char* key) {
  const Value* v = map.find(key);
  const std::string* s = v ? v->get_if<std::string>() : nullptr;
  return (s && !s->empty()) ? s : nullptr;
}

// A number as a 64-bit integer (doubles truncated toward zero); nothing
// for anything else or a double beyond the integer range.
std::optional<int64_t> NumberAsInt64(const Value& v) {
  if (v.is_int()) return v.as_int();
  if (!v.is_double()) return std::nullopt;
  double d = std::trunc(v.as_double());
  if (!std::isfinite(d) || d < -9223372036854775808.0 || d >= 9223372036854775808.0) {
    return std::nullopt;
  }
  return static_cast<int64_t>(d);
}

// A receipt property value as the store reads it.
std::string PropertyText(const Value& v) {
  if (v.is_string()) return v.as_string();
  if (v.is_bool()) return v.as_bool() ? "true" : "false";
  if (v.is_int()) return std::to_string(v.as_int());
  char buffer[32];
  auto r = std::to_chars(buffer, buffer + sizeof buffer, v.as_double());
  return std::string(buffer, r.ptr);
}

}  // namespace

std::shared_ptr<FLTRequestHandlerProtocol> DefaultRequestHandlerFactory(
    std::unique_ptr<StoreRequest> request) {
  return std::make_shared<DefaultRequestHandler>(
      std::make_unique<FIAPRequestHandler>(std::move(request)));
}

std::optional<StorePaymentDiscount> getSKPaymentDiscountFromMap(const ValueMap& map,
                                                                std::string* error) {
  auto fail = [error](const char* field) -> std::optional<StorePaymentDiscount> {
    if (error) {
      *error =
          std::string("When specifying a payment discount the '") + field + "' field is mandatory.";
    }
    return std::nullopt;
  };
  const std::string* identifier = NonEmptyString(map, "identifier");
  if (!identifier) return fail("identifier");
  const std::string* keyIdentifier = NonEmptyString(map, "keyIdentifier");
  if (!keyIdentifier) return fail("keyIdentifier");
  const std::string* nonce = NonEmptyString(map, "nonce");
  if (!nonce) return fail("nonce");
  const std::string* signature = NonEmptyString(map, "signature");
  if (!signature) return fail("signature");
  const Value* timestamp_value = map.find("timestamp");
  std::optional<int64_t> timestamp =
      timestamp_value ? NumberAsInt64(*timestamp_value) : std::nullopt;
  if (!timestamp || *timestamp <= 0) return fail("timestamp");
  // The store takes the nonce as a UUID; text that is not one cannot be
  // sent, so it is refused rather than passed on.
  std::optional<std::string> uuid = CanonicalUuid(*nonce);
  if (!uuid) {
    if (error) *error = "When specifying a payment discount the 'nonce' field must be UUID text.";
    return std::nullopt;
  }
  StorePaymentDiscount discount;
  discount.identifier = *identifier;
  discount.key_identifier = *keyIdentifier;
  discount.nonce = *uuid;
  discount.signature = *signature;
  discount.timestamp = *timestamp;
  return discount;
}

// ---- Registration and construction ----

void InAppPurchasePlugin::Register(PluginRegistrar* registrar) {
  if (!registrar->context().dispatch) {
    MakeSystemLog("net.kelvo.app", "store")
        ->Error("store bridge not registered: the host gave no dispatch");
    return;
  }
  LocalStoreOpenResult opened = OpenLocalStoreFromEnvironment(registrar->context().dispatch);
  if (!opened) {
    // The host cannot offer the store it was configured with; it must not
    // start as if it could. Other threads are running, so leave at once.
    std::fprintf(stderr, "kelvo: %s\n", opened.error.c_str());
    std::fflush(stderr);
    std::_Exit(1);
  }
  SetUpStoreTestControls(registrar->messenger(), opened.store);
  RegisterWithStore(registrar, opened.store, CurrentOperatingSystemVersion());
}

std::shared_ptr<InAppPurchasePlugin> InAppPurchasePlugin::RegisterWithStore(
    PluginRegistrar* registrar, std::shared_ptr<StoreKit> store, OperatingSystemVersion os) {
  BinaryMessenger* messenger = registrar->messenger();
  // The callback channel first, then the plugin, which serves no calls on it.
  MethodChannel channel(messenger, kInAppPurchaseCallbackChannel);
  std::shared_ptr<InAppPurchasePlugin> plugin = Create(registrar, std::move(store), os);
  channel.SetMethodCallHandler([](const MethodCall& call, std::shared_ptr<MethodResult> result) {
    // "listen" only makes the caller's connection the one the callbacks
    // go to (how the engine socket routes); nothing else is served here.
    if (call.method == "listen" || call.method == "cancel") {
      result->Success();
    } else {
      result->NotImplemented();
    }
  });
  // The request channels of both generations; the second from version 12.
  SetUpFIAInAppPurchaseAPI(messenger, plugin);
  if (os.AtLeast(12)) InAppPurchase2APISetup::setUp(messenger, plugin->storeKit2().get(), "");
  registrar->Publish(plugin);
  return plugin;
}

std::shared_ptr<InAppPurchasePlugin> InAppPurchasePlugin::Create(PluginRegistrar* registrar,
                                                                 std::shared_ptr<StoreKit> store,
                                                                 OperatingSystemVersion os,
                                                                 Options options) {
  // An empty product cache and request handler set, the default handler factory.
  auto plugin = std::make_shared<InAppPurchasePlugin>(
      std::move(store), os, registrar->context().dispatch->MainQueue(),
      options.handlerFactory ? std::move(options.handlerFactory)
                             : RequestHandlerFactory(&DefaultRequestHandlerFactory),
      std::move(options.callbackChannel));
  plugin->Init(registrar);
  return plugin;
}

InAppPurchasePlugin::InAppPurchasePlugin(std::shared_ptr<StoreKit> store, OperatingSystemVersion os,
                                         std::shared_ptr<Queue> main_queue,
                                         RequestHandlerFactory handlerFactory,
                                         std::shared_ptr<FLTMethodChannelProtocol> callbackChannel)
    : store_(std::move(store)),
      os_(os),
      main_(std::move(main_queue)),
      log_(MakeSystemLog("net.kelvo.app", "store")),
      receiptManager_([store = store_] { return store->AppStoreReceiptPath(); }),
      handlerFactory_(std::move(handlerFactory)),
      transactionObserverCallbackChannel_(std::move(callbackChannel)) {}

InAppPurchasePlugin::~InAppPurchasePlugin() = default;

void InAppPurchasePlugin::Init(PluginRegistrar* registrar) {
  registrar_ = registrar;
  // The store's queue and a fresh transaction cache behind their adapters.
  auto queue = std::make_shared<DefaultPaymentQueue>(store_->DefaultPaymentQueue());
  auto cache = std::make_shared<DefaultTransactionCache>(std::make_unique<FIATransactionCache>());
  // The queue handler reports to the plugin for as long as the plugin lives.
  std::weak_ptr<InAppPurchasePlugin> weak = weak_from_this();
  paymentQueueHandler_ = std::make_shared<FIAPaymentQueueHandler>(
      queue,
      [weak](const std::vector<StorePaymentTransaction>& transactions) {
        if (auto self = weak.lock()) self->handleTransactionsUpdated(transactions);
      },
      [weak](const std::vector<StorePaymentTransaction>& transactions) {
        if (auto self = weak.lock()) self->handleTransactionsRemoved(transactions);
      },
      [weak](const StoreError& error) {
        if (auto self = weak.lock()) self->handleTransactionRestoreFailed(error);
      },
      [weak] {
        if (auto self = weak.lock()) self->restoreCompletedTransactionsFinished();
      },
      [weak](const StorePayment& payment, const StoreProduct& product) {
        if (auto self = weak.lock()) self->shouldAddStorePayment(payment, product);
        return false;
      },
      [weak](const std::vector<StoreDownload>&) {
        if (auto self = weak.lock()) self->log_->Notice(kDownloadsNotSupported);
      },
      cache);
  // The callback channel, unless one was given.
  setupTransactionObserverChannelIfNeeded(registrar->messenger());
  // The second-generation half; the host's main window always exists.
  storeKit2_ = std::make_shared<InAppPurchasePluginStoreKit2>(
      store_->Second(), registrar->context().dispatch, registrar->messenger(), os_,
      [] { return true; });
}

void InAppPurchasePlugin::setupTransactionObserverChannelIfNeeded(BinaryMessenger* messenger) {
  if (transactionObserverCallbackChannel_) return;
  transactionObserverCallbackChannel_ = std::make_shared<DefaultMethodChannel>(
      MethodChannel(messenger, kInAppPurchaseCallbackChannel));
}

// ---- Request channels ----

FIAResult<bool> InAppPurchasePlugin::canMakePayments() {
  return store_->DefaultPaymentQueue()->CanMakePayments();
}

FIAResult<std::vector<FIASKPaymentTransactionMessage>> InAppPurchasePlugin::transactions() {
  std::vector<FIASKPaymentTransactionMessage> messages;
  for (const StorePaymentTransaction& transaction :
       paymentQueueHandler_->getUnfinishedTransactions()) {
    if (auto message = FIAObjectTranslator::convertTransactionToPigeon(&transaction)) {
      messages.push_back(*message);
    }
  }
  return messages;
}

FIAResult<std::shared_ptr<const FIASKStorefrontMessage>> InAppPurchasePlugin::storefront() {
  std::optional<StoreStorefront> storefront = paymentQueueHandler_->storefront();
  return FIAObjectTranslator::convertStorefrontToPigeon(storefront ? &*storefront : nullptr);
}

FIAStatus InAppPurchasePlugin::addPayment(const std::optional<ValueMap>& paymentMap) {
  const ValueMap empty;
  const ValueMap& map = paymentMap ? *paymentMap : empty;
  const Value* identifier_value = map.find("productIdentifier");
  const std::string* identifier =
      identifier_value ? identifier_value->get_if<std::string>() : nullptr;
  if (!identifier) {
    return PaymentError(kMissingProductIdentifierCode, kMissingProductIdentifierMessage,
                        paymentMap);
  }
  // Only products fetched before (or offered by the store) can be bought.
  auto cached = productsCache_.find(*identifier);
  if (cached == productsCache_.end()) {
    return PaymentError(kInvalidPaymentObjectCode, kInvalidPaymentObjectMessage, paymentMap);
  }
  // Values of the wrong type fall back to the defaults.
  StorePayment payment;
  payment.product_identifier = cached->second.identifier;
  const Value* username = map.find("applicationUsername");
  if (username && username->is_string()) payment.application_username = username->as_string();
  const Value* quantity = map.find("quantity");
  payment.quantity = (quantity && quantity->is_int()) ? quantity->as_int() : 1;
  const Value* ask_to_buy = map.find("simulatesAskToBuyInSandbox");
  payment.simulates_ask_to_buy_in_sandbox =
      ask_to_buy && ask_to_buy->is_bool() && ask_to_buy->as_bool();
  // A non-empty discount map must describe a valid discount.
  const Value* discount_value = map.find("paymentDiscount");
  const ValueMap* discount_map = discount_value ? discount_value->get_if<ValueMap>() : nullptr;
  if (discount_map && !discount_map->empty()) {
    std::string error;
    std::optional<StorePaymentDiscount> discount =
        getSKPaymentDiscountFromMap(*discount_map, &error);
    if (!discount) {
      return PaymentError(kInvalidPaymentDiscountCode, kInvalidPaymentDiscountMessagePrefix + error,
                          paymentMap);
    }
    payment.payment_discount = std::move(*discount);
  }
  // The queue handler refuses a second payment for a product in the queue.
  if (!paymentQueueHandler_->addPayment(payment)) {
    return PaymentError(kDuplicateProductCode, kDuplicateProductMessage, paymentMap);
  }
  return std::nullopt;
}

void InAppPurchasePlugin::StartRequest(std::unique_ptr<StoreRequest> request,
                                       ProductRequestCompletion completion) {
  std::shared_ptr<FLTRequestHandlerProtocol> handler = handlerFactory_(std::move(request));
  requestHandlers_.insert(handler);
  std::weak_ptr<FLTRequestHandlerProtocol> weak_handler = handler;
  handler->startProductRequestWithCompletionHandler(
      [weak = weak_from_this(), weak_handler, completion = std::move(completion)](
          const std::optional<StoreProductsResponse>& response,
          const std::optional<StoreError>& error) {
        auto self = weak.lock();
        if (!self) return;
        completion(response, error);
        if (auto handler = weak_handler.lock()) self->ReleaseHandlerLater(handler);
      });
}

void InAppPurchasePlugin::ReleaseHandlerLater(
    const std::shared_ptr<FLTRequestHandlerProtocol>& handler) {
  // The handler is still inside the report that called its completion;
  // it goes once that report has returned.
  main_->Async([weak = weak_from_this(), handler] {
    if (auto self = weak.lock()) self->requestHandlers_.erase(handler);
  });
}

void InAppPurchasePlugin::startProductRequest(
    const std::vector<std::string>& productIdentifiers,
    std::function<void(FIAResult<FIASKProductsResponseMessage>)> completion) {
  std::set<std::string> identifiers(productIdentifiers.begin(), productIdentifiers.end());
  ValueList requested(productIdentifiers.begin(), productIdentifiers.end());
  StartRequest(
      store_->CreateProductsRequest(identifiers),
      [weak = weak_from_this(), requested = Value(std::move(requested)),
       completion = std::move(completion)](const std::optional<StoreProductsResponse>& response,
                                           const std::optional<StoreError>& error) {
        auto self = weak.lock();
        if (!self) return;
        if (error) {
          completion(FlutterError{kProductRequestErrorCode, error->localized_description,
                                  Value(error->localized_description)});
          return;
        }
        if (!response) {
          completion(FlutterError{kNoResponseCode, kNoResponseMessage, requested});
          return;
        }
        for (const StoreProduct& product : response->products) {
          self->productsCache_[product.identifier] = product;
        }
        completion(*FIAObjectTranslator::convertProductsResponseToPigeon(&*response));
      });
}

FIAStatus InAppPurchasePlugin::finishTransaction(const ValueMap& finishMap) {
  // Only the string values count; anything but strings and null is refused.
  std::optional<std::string> transaction_identifier;
  std::optional<std::string> product_identifier;
  for (const auto& [key, value] : finishMap) {
    if (!key.is_string()) {
      return FlutterError{kInvalidFinishMapCode, "The finish map's keys must be strings.",
                          Value(finishMap)};
    }
    if (!value.is_string() && !value.is_null()) {
      return FlutterError{kInvalidFinishMapCode,
                          "The finish map's values must be strings or null; the value of '" +
                              key.as_string() + "' is not.",
                          Value(finishMap)};
    }
    if (!value.is_string()) continue;
    if (key.as_string() == "transactionIdentifier") transaction_identifier = value.as_string();
    if (key.as_string() == "productIdentifier") product_identifier = value.as_string();
  }
  // Purchasing transactions are never finished. With a transaction identifier
  // it decides; without one, identifier-less transactions of the product.
  for (const StorePaymentTransaction& transaction :
       paymentQueueHandler_->getUnfinishedTransactions()) {
    if (transaction.state == 0) continue;  // purchasing
    bool finish = transaction_identifier
                      ? transaction.identifier == transaction_identifier
                      : !transaction.identifier && product_identifier &&
                            transaction.payment.product_identifier == product_identifier;
    if (finish) paymentQueueHandler_->finishTransaction(transaction);
  }
  return std::nullopt;
}

FIAStatus InAppPurchasePlugin::restoreTransactions(
    const std::optional<std::string>& applicationUserName) {
  paymentQueueHandler_->restoreTransactions(applicationUserName);
  return std::nullopt;
}

FIAStatus InAppPurchasePlugin::presentCodeRedemptionSheet() { return std::nullopt; }

FIAResult<std::optional<std::string>> InAppPurchasePlugin::retrieveReceiptData() {
  FlutterError error;
  std::optional<std::string> receipt = receiptManager_.retrieveReceiptWithError(&error);
  if (!receipt && !error.code.empty()) return error;
  return receipt;
}

void InAppPurchasePlugin::refreshReceipt(const std::optional<ValueMap>& receiptProperties,
                                         std::function<void(FIAStatus)> completion) {
  // Null values are dropped; nothing left means no properties at all.
  std::optional<std::vector<std::pair<std::string, std::string>>> properties;
  if (receiptProperties) {
    std::vector<std::pair<std::string, std::string>> kept;
    for (const auto& [key, value] : *receiptProperties) {
      if (value.is_null() || !key.is_string()) continue;
      kept.emplace_back(key.as_string(), PropertyText(value));
    }
    if (!kept.empty()) properties = std::move(kept);
  }
  StartRequest(
      store_->CreateReceiptRefreshRequest(properties),
      [weak = weak_from_this(), completion = std::move(completion)](
          const std::optional<StoreProductsResponse>&, const std::optional<StoreError>& error) {
        if (weak.expired()) return;
        if (error) {
          completion(FlutterError{kRefreshReceiptErrorCode, error->localized_description,
                                  Value(error->localized_description)});
          return;
        }
        completion(std::nullopt);
      });
}

FIAStatus InAppPurchasePlugin::startObservingPaymentQueue() {
  paymentQueueHandler_->startObservingPaymentQueue();
  return std::nullopt;
}

FIAStatus InAppPurchasePlugin::stopObservingPaymentQueue() {
  paymentQueueHandler_->stopObservingPaymentQueue();
  return std::nullopt;
}

FIAStatus InAppPurchasePlugin::registerPaymentQueueDelegate() { return std::nullopt; }

FIAStatus InAppPurchasePlugin::removePaymentQueueDelegate() { return std::nullopt; }

FIAStatus InAppPurchasePlugin::showPriceConsentIfNeeded() { return std::nullopt; }

FIAResult<bool> InAppPurchasePlugin::supportsStoreKit2() { return os_.AtLeast(12); }

// ---- Callbacks ----

void InAppPurchasePlugin::InvokeCallback(const std::string& method, const Value& arguments) {
  if (transactionObserverCallbackChannel_) {
    transactionObserverCallbackChannel_->invokeMethod(method, arguments);
  }
}

void InAppPurchasePlugin::handleTransactionsUpdated(
    const std::vector<StorePaymentTransaction>& transactions) {
  ValueList maps;
  maps.reserve(transactions.size());
  for (const auto& transaction : transactions) maps.push_back(Value(TransactionMap(transaction)));
  InvokeCallback("updatedTransactions", Value(std::move(maps)));
}

void InAppPurchasePlugin::handleTransactionsRemoved(
    const std::vector<StorePaymentTransaction>& transactions) {
  ValueList maps;
  maps.reserve(transactions.size());
  for (const auto& transaction : transactions) maps.push_back(Value(TransactionMap(transaction)));
  InvokeCallback("removedTransactions", Value(std::move(maps)));
}

void InAppPurchasePlugin::handleTransactionRestoreFailed(const StoreError& error) {
  InvokeCallback("restoreCompletedTransactionsFailed", Value(ErrorMap(error)));
}

void InAppPurchasePlugin::restoreCompletedTransactionsFinished() {
  InvokeCallback("paymentQueueRestoreCompletedTransactionsFinished", Value());
}

bool InAppPurchasePlugin::shouldAddStorePayment(const StorePayment& payment,
                                                const StoreProduct& product) {
  productsCache_[product.identifier] = product;
  InvokeCallback("shouldAddStorePayment",
                 Value(ValueMap{{Value("payment"), Value(PaymentMap(payment))},
                                {Value("product"), Value(ProductMap(product))}}));
  return false;
}

}  // namespace kelvo
