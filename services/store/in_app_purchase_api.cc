#include "services/store/in_app_purchase_api.h"

#include <atomic>
#include <exception>
#include <typeinfo>
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

[[noreturn]] void BadRequest(const char* name, const char* what) {
  throw FlutterErrorException(
      {"bad-request", std::string("argument '") + name + "' must be " + what, Value()});
}

std::optional<ValueMap> OptionalMapArg(const ValueList& args, size_t index, const char* name) {
  const Value& v = TypedArgument(args, index, name);
  if (v.is_null()) return std::nullopt;
  const auto* map = v.get_if<ValueMap>();
  if (map == nullptr) BadRequest(name, "a map or null");
  return *map;
}

std::vector<std::string> StringListArg(const ValueList& args, size_t index, const char* name) {
  const auto* list = TypedArgument(args, index, name).get_if<ValueList>();
  if (list == nullptr) BadRequest(name, "a list of strings");
  std::vector<std::string> strings;
  strings.reserve(list->size());
  for (const Value& element : *list) {
    const auto* s = element.get_if<std::string>();
    if (s == nullptr) BadRequest(name, "a list of strings");
    strings.push_back(*s);
  }
  return strings;
}

std::optional<std::string> OptionalStringArg(const ValueList& args, size_t index,
                                             const char* name) {
  const Value& v = TypedArgument(args, index, name);
  if (v.is_null()) return std::nullopt;
  const auto* s = v.get_if<std::string>();
  if (s == nullptr) BadRequest(name, "a string or null");
  return *s;
}

// Receipt properties: string keys, values null or a string, boolean or
// number (the store reads them as flags).
std::optional<ValueMap> ReceiptPropertiesArg(const ValueList& args, size_t index) {
  std::optional<ValueMap> map = OptionalMapArg(args, index, "receiptProperties");
  if (!map) return map;
  for (const auto& [key, value] : *map) {
    bool scalar = value.is_null() || value.is_string() || value.is_bool() || value.is_int() ||
                  value.is_double();
    if (!key.is_string() || !scalar) {
      BadRequest("receiptProperties",
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

// A request that needs arguments must be a list; one without arguments
// may be anything (the interface sends null).
using Handler = std::function<void(const ValueList& args, MessageReply reply)>;

void Install(BinaryMessenger* messenger, const std::string& name, bool takes_arguments,
             Handler handler) {
  const StandardCodec* codec = &FIAGetMessagesCodec();
  messenger->SetMessageHandler(name, [codec, name, takes_arguments, handler = std::move(handler)](
                                         Payload message, BinaryReply binary_reply) {
    auto once = std::make_shared<std::atomic<bool>>(false);
    MessageReply reply = [codec, binary_reply = std::move(binary_reply), once](const Value& v) {
      if (!once->exchange(true)) binary_reply(codec->Encode(v));
    };
    Value decoded;
    if (message) {
      Result<Value> r = codec->Decode(*message);
      if (!r.ok()) {
        reply(WrapError({"bad-request",
                         "request on '" + name + "' does not decode: " + r.error().message,
                         Value()}));
        return;
      }
      decoded = std::move(r).value();
    }
    static const ValueList kNoArguments;
    const auto* args = decoded.get_if<ValueList>();
    if (args == nullptr) {
      if (takes_arguments) {
        reply(WrapError(
            {"bad-request", "request on '" + name + "' is not an argument list", Value()}));
        return;
      }
      args = &kNoArguments;
    }
    try {
      handler(*args, reply);
    } catch (const FlutterErrorException& e) {
      reply(WrapError(e.error()));
    } catch (const std::exception& e) {
      reply(WrapUnknownError(e.what(), typeid(e).name()));
    }
  });
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
  auto sync = [&](const char* method, bool takes_arguments,
                  std::function<Value(const ValueList&)> body) {
    Install(
        messenger, channel(method), takes_arguments,
        [body = std::move(body)](const ValueList& args, MessageReply reply) { reply(body(args)); });
  };

  sync("canMakePayments", false,
       [api](const ValueList&) { return Reply(api->canMakePayments(), BoolValue); });
  sync("transactions", false, [api](const ValueList&) {
    return Reply(api->transactions(), [](const std::vector<FIASKPaymentTransactionMessage>& list) {
      ValueList values;
      values.reserve(list.size());
      for (const auto& message : list) values.push_back(message.ToValue());
      return Value(std::move(values));
    });
  });
  sync("storefront", false, [api](const ValueList&) {
    return Reply(api->storefront(), [](const std::shared_ptr<const FIASKStorefrontMessage>& s) {
      return s ? s->ToValue() : Value();
    });
  });
  sync("addPayment", true, [api](const ValueList& args) {
    return Reply(api->addPayment(OptionalMapArg(args, 0, "paymentMap")));
  });
  Install(messenger, channel("startProductRequest"), true,
          [api](const ValueList& args, MessageReply reply) {
            api->startProductRequest(
                StringListArg(args, 0, "productIdentifiers"),
                [reply](FIAResult<FIASKProductsResponseMessage> result) {
                  reply(Reply(result,
                              [](const FIASKProductsResponseMessage& m) { return m.ToValue(); }));
                });
          });
  sync("finishTransaction", true, [api](const ValueList& args) {
    return Reply(api->finishTransaction(OptionalMapArg(args, 0, "finishMap").value_or(ValueMap())));
  });
  sync("restoreTransactions", true, [api](const ValueList& args) {
    return Reply(api->restoreTransactions(OptionalStringArg(args, 0, "applicationUserName")));
  });
  sync("presentCodeRedemptionSheet", false,
       [api](const ValueList&) { return Reply(api->presentCodeRedemptionSheet()); });
  sync("retrieveReceiptData", false, [api](const ValueList&) {
    return Reply(api->retrieveReceiptData(),
                 [](const std::optional<std::string>& s) { return s ? Value(*s) : Value(); });
  });
  Install(messenger, channel("refreshReceipt"), true,
          [api](const ValueList& args, MessageReply reply) {
            api->refreshReceipt(ReceiptPropertiesArg(args, 0),
                                [reply](FIAStatus status) { reply(Reply(status)); });
          });
  sync("startObservingPaymentQueue", false,
       [api](const ValueList&) { return Reply(api->startObservingPaymentQueue()); });
  sync("stopObservingPaymentQueue", false,
       [api](const ValueList&) { return Reply(api->stopObservingPaymentQueue()); });
  sync("registerPaymentQueueDelegate", false,
       [api](const ValueList&) { return Reply(api->registerPaymentQueueDelegate()); });
  sync("removePaymentQueueDelegate", false,
       [api](const ValueList&) { return Reply(api->removePaymentQueueDelegate()); });
  sync("showPriceConsentIfNeeded", false,
       [api](const ValueList&) { return Reply(api->showPriceConsentIfNeeded()); });
  sync("supportsStoreKit2", false,
       [api](const ValueList&) { return Reply(api->supportsStoreKit2(), BoolValue); });
}

}  // namespace kelvo
