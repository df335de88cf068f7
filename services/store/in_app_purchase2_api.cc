#include "services/store/in_app_purchase2_api.h"

#include <memory>
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

using Handler = AsyncTypedHandler;

// Typed channels answer requests that do not decode, or are not argument
// lists, with "bad-request"; null stands for no arguments.
void Install(BinaryMessenger* messenger, const std::string& name, Handler handler) {
  BasicMessageChannel channel(messenger, name, &StoreKit2MessagesPigeonCodec());
  SetAsyncTypedHandler(channel, std::move(handler));
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
      api->products(TypedStringListArgument(args, 0, "identifiers"),
                    Answer<std::vector<SK2ProductMessage>>(std::move(reply)));
    };
    h[2] = [api](const ValueList& args, MessageReply reply) {
      const std::string& id = TypedStringArgument(args, 0, "id");
      auto options = OptionsArg(args, 1);
      api->purchase(id, options, Answer<SK2ProductPurchaseResultMessage>(std::move(reply)));
    };
    h[3] = [api](const ValueList& args, MessageReply reply) {
      const std::string& product = TypedStringArgument(args, 0, "productId");
      const std::string& offer = TypedStringArgument(args, 1, "offerId");
      api->isWinBackOfferEligible(product, offer, Answer<bool>(std::move(reply)));
    };
    h[4] = [api](const ValueList& args, MessageReply reply) {
      api->isIntroductoryOfferEligible(TypedStringArgument(args, 0, "productId"),
                                       Answer<bool>(std::move(reply)));
    };
    h[5] = [api](const ValueList&, MessageReply reply) {
      api->transactions(Answer<std::vector<SK2TransactionMessage>>(std::move(reply)));
    };
    h[6] = [api](const ValueList&, MessageReply reply) {
      api->unfinishedTransactions(Answer<std::vector<SK2TransactionMessage>>(std::move(reply)));
    };
    h[7] = [api](const ValueList& args, MessageReply reply) {
      api->finish(TypedIntArgument(args, 0, "id"), Answer<SK2Void>(std::move(reply)));
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
