#include "services/store/in_app_purchase2_api.h"

#include <atomic>
#include <exception>
#include <memory>
#include <typeinfo>
#include <utility>

#include "platform/engine/typed_messages.h"

namespace kelvo {
namespace {

const char* const kMethods[] = {
    "canMakePayments",
    "products",
    "purchase",
    "isWinBackOfferEligible",
    "isIntroductoryOfferEligible",
    "transactions",
    "unfinishedTransactions",
    "finish",
    "startListeningToTransactions",
    "stopListeningToTransactions",
    "restorePurchases",
    "countryCode",
    "sync",
    "presentOfferCodeRedeemSheet",
};
constexpr size_t kMethodCount = sizeof kMethods / sizeof kMethods[0];

FlutterError BadRequest(std::string message) {
  return {"bad-request", std::move(message), Value()};
}

[[noreturn]] void ThrowBadArgument(const char* name, const char* what) {
  throw FlutterErrorException(BadRequest(std::string("argument '") + name + "' must be " + what));
}

const std::string& StringArg(const ValueList& args, size_t index, const char* name) {
  const auto* s = TypedArgument(args, index, name).get_if<std::string>();
  if (s == nullptr) ThrowBadArgument(name, "a string");
  return *s;
}

int64_t IntArg(const ValueList& args, size_t index, const char* name) {
  const auto* i = TypedArgument(args, index, name).get_if<int64_t>();
  if (i == nullptr) ThrowBadArgument(name, "an integer");
  return *i;
}

std::vector<std::string> StringListArg(const ValueList& args, size_t index, const char* name) {
  const auto* list = TypedArgument(args, index, name).get_if<ValueList>();
  if (list == nullptr) ThrowBadArgument(name, "a list of strings");
  std::vector<std::string> out;
  out.reserve(list->size());
  for (const Value& v : *list) {
    const auto* s = v.get_if<std::string>();
    if (s == nullptr) ThrowBadArgument(name, "a list of strings");
    out.push_back(*s);
  }
  return out;
}

std::optional<SK2ProductPurchaseOptionsMessage> OptionsArg(const ValueList& args, size_t index) {
  const Value& v = TypedArgument(args, index, "options");
  if (v.is_null()) return std::nullopt;
  auto options = SK2ProductPurchaseOptionsMessage::FromValue(v);
  if (!options) ThrowBadArgument("options", "an SK2ProductPurchaseOptionsMessage or null");
  return options;
}

Value ToValue(bool b) { return Value(b); }
Value ToValue(const std::string& s) { return Value(s); }
Value ToValue(SK2Void) { return Value(); }
template <typename T>
Value ToValue(const std::vector<T>& messages) {
  ValueList out;
  out.reserve(messages.size());
  for (const T& m : messages) out.push_back(m.ToValue());
  return Value(std::move(out));
}

// The completion that answers a request: the result wrapped in a
// one-element list, or the error's three-element list.
template <typename T>
SK2Completion<T> Answer(MessageReply reply) {
  return [reply = std::move(reply)](SK2Result<T> result) {
    if (const auto* error = std::get_if<InAppPurchase2Error>(&result)) {
      reply(error->ToReply());
    } else {
      reply(WrapResult(ToValue(std::get<T>(result))));
    }
  };
}

using Handler = std::function<void(const ValueList& args, MessageReply reply)>;

// Installs `handler` directly on the messenger so that a request that
// does not decode is answered with an error rather than with nothing.
void Install(BinaryMessenger* messenger, const std::string& name, Handler handler) {
  if (!handler) {
    messenger->SetMessageHandler(name, nullptr);
    return;
  }
  const StandardCodec* codec = &StoreKit2MessagesPigeonCodec();
  messenger->SetMessageHandler(
      name, [name, codec, handler = std::move(handler)](Payload message, BinaryReply binary_reply) {
        auto once = std::make_shared<std::atomic<bool>>(false);
        MessageReply reply = [codec, binary_reply = std::move(binary_reply), once](const Value& v) {
          if (!once->exchange(true)) binary_reply(codec->Encode(v));
        };
        Value request;  // no message: no arguments
        if (message) {
          Result<Value> decoded = codec->Decode(*message);
          if (!decoded.ok()) {
            reply(WrapError(BadRequest("request on '" + name +
                                       "' does not decode: " + decoded.error().message)));
            return;
          }
          request = std::move(decoded).value();
        }
        static const ValueList kNoArguments;
        const ValueList* args = request.is_null() ? &kNoArguments : request.get_if<ValueList>();
        if (args == nullptr) {
          reply(WrapError(BadRequest("request on '" + name + "' is not an argument list")));
          return;
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

InAppPurchase2Error InAppPurchase2Error::Pigeon(std::string code,
                                                std::optional<std::string> message, Value details) {
  return InAppPurchase2Error(true,
                             FlutterError{std::move(code), std::move(message), std::move(details)});
}

InAppPurchase2Error InAppPurchase2Error::Platform(const StoreError& error) {
  return Other(error.description, "StoreError");
}

InAppPurchase2Error InAppPurchase2Error::Other(std::string description, std::string type_name) {
  return InAppPurchase2Error(false,
                             FlutterError{std::move(description), std::move(type_name), Value()});
}

Value InAppPurchase2Error::ToReply() const {
  if (pigeon_) return WrapError(error_);
  return WrapUnknownError(error_.code, *error_.message);
}

std::vector<std::string> InAppPurchase2APIChannels(const std::string& suffix) {
  std::vector<std::string> names;
  for (const char* method : kMethods) {
    names.push_back(TypedChannelName(kStoreKit2Package, kInAppPurchase2Api, method, suffix));
  }
  return names;
}

void InAppPurchase2APISetup::setUp(BinaryMessenger* binaryMessenger, InAppPurchase2API* api,
                                   const std::string& messageChannelSuffix) {
  std::vector<std::string> names = InAppPurchase2APIChannels(messageChannelSuffix);
  Handler h[kMethodCount];
  if (api != nullptr) {
    h[0] = [api](const ValueList&, MessageReply reply) {
      reply(WrapResult(Value(api->canMakePayments())));
    };
    h[1] = [api](const ValueList& args, MessageReply reply) {
      api->products(StringListArg(args, 0, "identifiers"),
                    Answer<std::vector<SK2ProductMessage>>(std::move(reply)));
    };
    h[2] = [api](const ValueList& args, MessageReply reply) {
      const std::string& id = StringArg(args, 0, "id");
      auto options = OptionsArg(args, 1);
      api->purchase(id, options, Answer<SK2ProductPurchaseResultMessage>(std::move(reply)));
    };
    h[3] = [api](const ValueList& args, MessageReply reply) {
      const std::string& product = StringArg(args, 0, "productId");
      const std::string& offer = StringArg(args, 1, "offerId");
      api->isWinBackOfferEligible(product, offer, Answer<bool>(std::move(reply)));
    };
    h[4] = [api](const ValueList& args, MessageReply reply) {
      api->isIntroductoryOfferEligible(StringArg(args, 0, "productId"),
                                       Answer<bool>(std::move(reply)));
    };
    h[5] = [api](const ValueList&, MessageReply reply) {
      api->transactions(Answer<std::vector<SK2TransactionMessage>>(std::move(reply)));
    };
    h[6] = [api](const ValueList&, MessageReply reply) {
      api->unfinishedTransactions(Answer<std::vector<SK2TransactionMessage>>(std::move(reply)));
    };
    h[7] = [api](const ValueList& args, MessageReply reply) {
      api->finish(IntArg(args, 0, "id"), Answer<SK2Void>(std::move(reply)));
    };
    h[8] = [api](const ValueList&, MessageReply reply) {
      api->startListeningToTransactions();
      reply(WrapResult(Value()));
    };
    h[9] = [api](const ValueList&, MessageReply reply) {
      api->stopListeningToTransactions();
      reply(WrapResult(Value()));
    };
    h[10] = [api](const ValueList&, MessageReply reply) {
      api->restorePurchases(Answer<SK2Void>(std::move(reply)));
    };
    h[11] = [api](const ValueList&, MessageReply reply) {
      api->countryCode(Answer<std::string>(std::move(reply)));
    };
    h[12] = [api](const ValueList&, MessageReply reply) {
      api->sync(Answer<SK2Void>(std::move(reply)));
    };
    h[13] = [api](const ValueList&, MessageReply reply) {
      api->presentOfferCodeRedeemSheet(Answer<SK2Void>(std::move(reply)));
    };
  }
  for (size_t i = 0; i < kMethodCount; ++i) Install(binaryMessenger, names[i], std::move(h[i]));
}

InAppPurchase2CallbackAPI::InAppPurchase2CallbackAPI(BinaryMessenger* binaryMessenger,
                                                     std::string messageChannelSuffix)
    : binaryMessenger_(binaryMessenger),
      messageChannelSuffix_(std::move(messageChannelSuffix)),
      channel_name_(TypedChannelName(kStoreKit2Package, kInAppPurchase2CallbackApi,
                                     "onTransactionsUpdated", messageChannelSuffix_)) {}

void InAppPurchase2CallbackAPI::onTransactionsUpdated(
    const std::vector<SK2TransactionMessage>& newTransactions,
    std::function<void(std::optional<FlutterError>)> completion) {
  BasicMessageChannel channel(binaryMessenger_, channel_name_, &StoreKit2MessagesPigeonCodec());
  CallTypedApi(channel, ValueList{ToValue(newTransactions)},
               [completion = std::move(completion)](std::variant<Value, FlutterError> outcome) {
                 if (!completion) return;
                 if (auto* error = std::get_if<FlutterError>(&outcome)) {
                   completion(std::move(*error));
                 } else {
                   completion(std::nullopt);
                 }
               });
}

std::string DescribePigeonError(const FlutterError& error) {
  auto text = [](const Value& v) { return v.is_string() ? v.as_string() : v.DebugString(); };
  return "PigeonError(code: " + error.code + ", message: " + error.message.value_or("nil") +
         ", details: " + (error.details.is_null() ? std::string("nil") : text(error.details)) + ")";
}

}  // namespace kelvo
