#include "services/store/in_app_purchase_api.h"

#include <utility>

#include "platform/engine/typed_messages.h"

namespace kelvo {
namespace {

const char* const kMethods[] = {
    "canMakePayments",
    "transactions",
    "storefront",
    "addPayment",
    "startProductRequest",
    "finishTransaction",
    "restoreTransactions",
    "presentCodeRedemptionSheet",
    "retrieveReceiptData",
    "refreshReceipt",
    "startObservingPaymentQueue",
    "stopObservingPaymentQueue",
    "registerPaymentQueueDelegate",
    "removePaymentQueueDelegate",
    "showPriceConsentIfNeeded",
    "supportsStoreKit2",
};

// Receipt properties: string keys, values null or a string, boolean or
// number (the store reads them as flags).
std::optional<ValueMap> ReceiptPropertiesArg(const ValueList& args, size_t index) {
  std::optional<ValueMap> map = TypedOptionalMapArgument(args, index, "receiptProperties");
  if (!map) return map;
  for (const auto& [key, value] : *map) {
    bool scalar = value.is_null() || value.is_string() || value.is_bool() || value.is_int() ||
                  value.is_double();
    if (!key.is_string() || !scalar) {
      ThrowBadArgument("receiptProperties",
                 "a map from strings to strings, booleans, numbers or null, or null");
    }
  }
  return map;
}

Value Reply(const FIAStatus& status) { return status ? WrapError(*status) : WrapResult(Value()); }

template <typename T, typename ToValue>
Value Reply(const FIAResult<T>& result, ToValue to_value) {
  if (const auto* error = std::get_if<FlutterError>(&result)) return WrapError(*error);
  return WrapResult(to_value(std::get<T>(result)));
}

Value BoolValue(bool b) { return Value(b); }

// Typed channels answer requests that do not decode, or are not argument
// lists, with "bad-request"; null stands for no arguments.
void Install(BinaryMessenger* messenger, const std::string& name, AsyncTypedHandler handler) {
  BasicMessageChannel channel(messenger, name, &FIAGetMessagesCodec());
  SetAsyncTypedHandler(channel, std::move(handler));
}

}  // namespace

std::vector<std::string> FIAInAppPurchaseAPIChannels(const std::string& suffix) {
  std::vector<std::string> names;
  for (const char* method : kMethods) {
    names.push_back(TypedChannelName(kInAppPurchasePackage, kInAppPurchaseApi, method, suffix));
  }
  return names;
}

void SetUpFIAInAppPurchaseAPI(BinaryMessenger* messenger,
                              std::shared_ptr<FIAInAppPurchaseAPI> api) {
  SetUpFIAInAppPurchaseAPIWithSuffix(messenger, std::move(api), "");
}

void SetUpFIAInAppPurchaseAPIWithSuffix(BinaryMessenger* messenger,
                                        std::shared_ptr<FIAInAppPurchaseAPI> api,
                                        const std::string& suffix) {
  auto channel = [&](const char* method) {
    return TypedChannelName(kInAppPurchasePackage, kInAppPurchaseApi, method, suffix);
  };
  if (!api) {
    for (const std::string& name : FIAInAppPurchaseAPIChannels(suffix)) {
      messenger->SetMessageHandler(name, nullptr);
    }
    return;
  }
  auto sync = [&](const char* method,
                  std::function<Value(const ValueList&)> body) {
    Install(
        messenger, channel(method),
        [body = std::move(body)](const ValueList& args, MessageReply reply) { reply(body(args)); });
  };

  sync("canMakePayments",
       [api](const ValueList&) { return Reply(api->canMakePayments(), BoolValue); });
  sync("transactions", [api](const ValueList&) {
    return Reply(api->transactions(), [](const std::vector<FIASKPaymentTransactionMessage>& list) {
      ValueList values;
      values.reserve(list.size());
      for (const auto& message : list) values.push_back(message.ToValue());
      return Value(std::move(values));
    });
  });
  sync("storefront", [api](const ValueList&) {
    return Reply(api->storefront(), [](const std::shared_ptr<const FIASKStorefrontMessage>& s) {
      return s ? s->ToValue() : Value();
    });
  });
  sync("addPayment", [api](const ValueList& args) {
    return Reply(api->addPayment(TypedOptionalMapArgument(args, 0, "paymentMap")));
  });
  Install(messenger, channel("startProductRequest"),
          [api](const ValueList& args, MessageReply reply) {
            api->startProductRequest(
                TypedStringListArgument(args, 0, "productIdentifiers"),
                [reply](FIAResult<FIASKProductsResponseMessage> result) {
                  reply(Reply(result,
                              [](const FIASKProductsResponseMessage& m) { return m.ToValue(); }));
                });
          });
  sync("finishTransaction", [api](const ValueList& args) {
    return Reply(api->finishTransaction(TypedOptionalMapArgument(args, 0, "finishMap").value_or(ValueMap())));
  });
  sync("restoreTransactions", [api](const ValueList& args) {
    return Reply(api->restoreTransactions(TypedOptionalStringArgument(args, 0, "applicationUserName")));
  });
  sync("presentCodeRedemptionSheet",
       [api](const ValueList&) { return Reply(api->presentCodeRedemptionSheet()); });
  sync("retrieveReceiptData", [api](const ValueList&) {
    return Reply(api->retrieveReceiptData(),
                 [](const std::optional<std::string>& s) { return s ? Value(*s) : Value(); });
  });
  Install(messenger, channel("refreshReceipt"),
          [api](const ValueList& args, MessageReply reply) {
            api->refreshReceipt(ReceiptPropertiesArg(args, 0),
                                [reply](FIAStatus status) { reply(Reply(status)); });
          });
  sync("startObservingPaymentQueue",
       [api](const ValueList&) { return Reply(api->startObservingPaymentQueue()); });
  sync("stopObservingPaymentQueue",
       [api](const ValueList&) { return Reply(api->stopObservingPaymentQueue()); });
  sync("registerPaymentQueueDelegate",
       [api](const ValueList&) { return Reply(api->registerPaymentQueueDelegate()); });
  sync("removePaymentQueueDelegate",
       [api](const ValueList&) { return Reply(api->removePaymentQueueDelegate()); });
  sync("showPriceConsentIfNeeded",
       [api](const ValueList&) { return Reply(api->showPriceConsentIfNeeded()); });
  sync("supportsStoreKit2",
       [api](const ValueList&) { return Reply(api->supportsStoreKit2(), BoolValue); });
}

}  // namespace kelvo
