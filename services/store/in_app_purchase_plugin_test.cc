// The plugin through its channels on a fake store, in virtual time: what
// the end-to-end test cannot steer (request handler lifetimes, every
// validation branch, callback order against replies).
#include "services/store/in_app_purchase_plugin.h"

#include <gtest/gtest.h>

#include "platform/dispatch/virtual_dispatch.h"
#include "platform/engine/in_process_messenger.h"
#include "platform/engine/testing/test_registrar.h"
#include "platform/engine/typed_messages.h"
#include "services/store/in_app_purchase2_api.h"
#include "services/store/testing/fake_store_kit.h"

namespace kelvo {
namespace {

using testing::FakeRequestState;
using testing::MakeProduct;
using testing::MakeTransaction;

struct Reply {
  bool answered = false;
  Value result;
  std::optional<FlutterError> error;
};

ValueMap Payment(const std::string& product) {
  return ValueMap{{Value("productIdentifier"), Value(product)}};
}

class InAppPurchasePluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    messenger_.SetInterfaceHandler(kInAppPurchaseCallbackChannel, [this](Payload m, BinaryReply) {
      MethodCall call = MethodCodec::Standard().DecodeMethodCall(*m).value();
      journal_.push_back(call.method);
      callbacks_.push_back(call);
    });
  }
  void Register(OperatingSystemVersion os = {15, 0, 0}) {
    plugin_ = InAppPurchasePlugin::RegisterWithStore(&registrar_, store_, os);
  }

  // Sends without running the main queue; the reply lands in the result.
  std::shared_ptr<Reply> Post(const std::string& method, const ValueList& args = {}) {
    auto reply = std::make_shared<Reply>();
    messenger_.SendFromInterface(
        TypedChannelName(kInAppPurchasePackage, kInAppPurchaseApi, method),
        FIAGetMessagesCodec().Encode(Value(args)), [this, reply](Payload data) {
          journal_.push_back("reply");
          reply->answered = data.has_value();
          if (!data) return;
          ValueList list = FIAGetMessagesCodec().Decode(*data).value().as_list();
          if (list.size() == 1) {
            reply->result = list[0];
          } else {
            reply->error = FlutterError{
                list.at(0).as_string(),
                list.at(1).is_string() ? std::optional(list[1].as_string()) : std::nullopt,
                list.at(2)};
          }
        });
    dispatch_.RunUntilIdle();
    return reply;
  }
  Reply Send(const std::string& method, const ValueList& args = {}) { return *Post(method, args); }
  std::string ErrorCode(const std::string& method, const ValueList& args) {
    Reply r = Send(method, args);
    return r.error ? r.error->code : "<none>";
  }
  // A products request the store answers with `ids`.
  void Fetch(const std::vector<std::string>& ids) {
    ValueList args;
    StoreProductsResponse response;
    for (const auto& id : ids) {
      args.push_back(Value(id));
      response.products.push_back(MakeProduct(id));
    }
    auto reply = Post("startProductRequest", {Value(args)});
    store_->requests.back()->delegate->DidReceiveResponse(response);
    dispatch_.RunUntilIdle();
    ASSERT_TRUE(reply->answered);
  }
  StorePaymentQueueObserver* observer() { return store_->queue.observers.at(0); }

  VirtualDispatch dispatch_;
  InProcessMessenger messenger_{dispatch_.MainQueue()};
  testing::TestRegistrar registrar_{&messenger_, &dispatch_};
  std::shared_ptr<testing::FakeStoreKit> store_ = std::make_shared<testing::FakeStoreKit>();
  std::shared_ptr<InAppPurchasePlugin> plugin_;
  std::vector<std::string> journal_;
  std::vector<MethodCall> callbacks_;
};

TEST_F(InAppPurchasePluginTest, RegistrationDependsOnTheSystemVersion) {
  Register({11, 9, 0});
  EXPECT_EQ(Send("supportsStoreKit2").result, Value(false));
  EXPECT_FALSE(messenger_.HasNativeHandler(InAppPurchase2APIChannels()[0]));
  for (const std::string& name : FIAInAppPurchaseAPIChannels()) {
    EXPECT_TRUE(messenger_.HasNativeHandler(name)) << name;
  }
  EXPECT_EQ(registrar_.published, std::vector<std::shared_ptr<void>>{plugin_});

  Register({12, 0, 0});
  EXPECT_EQ(Send("supportsStoreKit2").result, Value(true));
  for (const std::string& name : InAppPurchase2APIChannels()) {
    EXPECT_TRUE(messenger_.HasNativeHandler(name)) << name;
  }
  // The callback channel: a listener may attach, nothing else is served.
  auto call = [&](const std::string& method) {
    std::optional<Payload> reply;
    messenger_.SendFromInterface(kInAppPurchaseCallbackChannel,
                                 MethodCodec::Standard().EncodeMethodCall({method, Value()}),
                                 [&](Payload data) { reply = data; });
    dispatch_.RunUntilIdle();
    return reply;
  };
  EXPECT_EQ(call("updatedTransactions"), std::optional<Payload>(std::in_place, std::nullopt));
  EXPECT_EQ(call("listen"), Payload(MethodCodec::Standard().EncodeSuccessEnvelope(Value())));
}

TEST_F(InAppPurchasePluginTest, RequestHandlersLiveUntilTheirOneCompletion) {
  Register();
  auto ok = Post("startProductRequest",
                 {Value(ValueList{Value("gold"), Value("silver"), Value("gold")})});
  std::shared_ptr<FakeRequestState> request = store_->requests.at(0);
  EXPECT_EQ(request->identifiers, (std::set<std::string>{"gold", "silver"}));
  EXPECT_TRUE(request->started);
  EXPECT_EQ(plugin_->requestHandlers().size(), 1u);
  StoreProductsResponse response;
  response.products = {MakeProduct("gold")};
  request->delegate->DidReceiveResponse(response);
  request->delegate->RequestDidFinish();  // the same request, reported twice
  EXPECT_EQ(plugin_->requestHandlers().size(), 1u) << "not released inside the store's report";
  dispatch_.RunUntilIdle();
  EXPECT_TRUE(plugin_->requestHandlers().empty());
  EXPECT_TRUE(request->destroyed);
  auto message = FIASKProductsResponseMessage::FromValue(ok->result);
  ASSERT_TRUE(message);
  EXPECT_EQ((*message->products)[0].productIdentifier, "gold");
  EXPECT_EQ(message->invalidProductIdentifiers, std::vector<std::string>{});
  EXPECT_EQ(plugin_->productsCache().count("gold"), 1u);

  auto silent = Post("startProductRequest", {Value(ValueList{Value("b"), Value("b")})});
  store_->requests.back()->delegate->RequestDidFinish();
  auto failed = Post("startProductRequest", {Value(ValueList{Value("c")})});
  StoreError error;
  error.localized_description = "The operation couldn’t be completed.";
  store_->requests.back()->delegate->DidFailWithError(error);
  dispatch_.RunUntilIdle();
  EXPECT_EQ(silent->error, (FlutterError{"storekit_platform_no_response", kNoResponseMessage,
                                         Value(ValueList{Value("b"), Value("b")})}));
  EXPECT_EQ(failed->error,
            (FlutterError{"storekit_getproductrequest_platform_error", error.localized_description,
                          Value(error.localized_description)}));
  EXPECT_TRUE(plugin_->requestHandlers().empty());
  EXPECT_EQ(plugin_->productsCache().size(), 1u);

  // Refreshes: null properties dropped, values as text; nothing left is none.
  auto refresh = Post("refreshReceipt", {Value(ValueMap{{Value("isExpired"), Value(true)},
                                                        {Value("gone"), Value()},
                                                        {Value("count"), Value(2)}})});
  using Properties = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(store_->requests.back()->properties,
            (Properties{{"isExpired", "true"}, {"count", "2"}}));
  store_->requests.back()->delegate->RequestDidFinish();
  auto refused = Post("refreshReceipt", {Value(ValueMap{{Value("gone"), Value()}})});
  EXPECT_EQ(store_->requests.back()->properties, std::nullopt);
  store_->requests.back()->delegate->DidFailWithError(error);
  dispatch_.RunUntilIdle();
  EXPECT_TRUE(refresh->answered && !refresh->error);
  EXPECT_EQ(refused->error,
            (FlutterError{"storekit_refreshreceiptrequest_platform_error",
                          error.localized_description, Value(error.localized_description)}));
  EXPECT_TRUE(plugin_->requestHandlers().empty());
}

TEST_F(InAppPurchasePluginTest, APluginThatIsGoneRepliesNothing) {
  auto plugin = InAppPurchasePlugin::Create(&registrar_, store_, {15, 0, 0});
  bool completed = false;
  plugin->startProductRequest({"a"}, [&](auto) { completed = true; });
  std::shared_ptr<FakeRequestState> request = store_->requests.back();
  plugin.reset();
  EXPECT_TRUE(request->destroyed) << "its handlers go with it";
  EXPECT_TRUE(store_->queue.observers.empty());
  dispatch_.RunUntilIdle();
  EXPECT_FALSE(completed);
}

TEST_F(InAppPurchasePluginTest, PaymentsNeedACachedProductAndAValidMap) {
  Register();
  Reply early = Send("addPayment", {Value(Payment("gold"))});
  EXPECT_EQ(early.error, (FlutterError{"storekit_invalid_payment_object",
                                       kInvalidPaymentObjectMessage, Value(Payment("gold"))}));
  Fetch({"gold"});
  EXPECT_EQ(Send("addPayment", {Value()}).error,
            (FlutterError{"storekit_missing_product_identifier", kMissingProductIdentifierMessage,
                          Value()}));
  EXPECT_EQ(Send("addPayment", {Value(ValueMap{})}).error->details, Value(ValueMap{}));
  EXPECT_EQ(ErrorCode("addPayment", {Value(ValueMap{{Value("productIdentifier"), Value(5)}})}),
            "storekit_missing_product_identifier");
  EXPECT_EQ(ErrorCode("addPayment", {Value("gold")}), "bad-request");

  // Values of the wrong type fall back.
  ValueMap odd = Payment("gold");
  odd.set(Value("quantity"), Value(2.0));
  odd.set(Value("applicationUsername"), Value(7));
  odd.set(Value("simulatesAskToBuyInSandbox"), Value("yes"));
  odd.set(Value("paymentDiscount"), Value(ValueMap{}));
  EXPECT_FALSE(Send("addPayment", {Value(odd)}).error);
  ASSERT_EQ(store_->queue.added.size(), 1u);
  const StorePayment& added = store_->queue.added[0];
  EXPECT_EQ(added.quantity, 1);
  EXPECT_FALSE(added.application_username || added.simulates_ask_to_buy_in_sandbox ||
               added.payment_discount);

  // A transaction of the product in the queue, even purchased, blocks it.
  store_->queue.transactions = {MakeTransaction("gold", 1, "9")};
  EXPECT_EQ(Send("addPayment", {Value(Payment("gold"))}).error,
            (FlutterError{"storekit_duplicate_product_object", kDuplicateProductMessage,
                          Value(Payment("gold"))}));
  EXPECT_EQ(store_->queue.added.size(), 1u);
}

TEST_F(InAppPurchasePluginTest, PaymentDiscountsAreValidatedInOrder) {
  Register();
  Fetch({"gold"});
  const ValueMap valid{{Value("identifier"), Value("offer")},
                       {Value("keyIdentifier"), Value("key")},
                       {Value("nonce"), Value("4a1b7c3e-1f2d-4e5a-9b6c-7d8e9f0a1b2c")},
                       {Value("signature"), Value("c2ln")},
                       {Value("timestamp"), Value(5e9)}};
  auto message = [&](const ValueMap& discount) -> std::string {
    ValueMap payment = Payment("gold");
    payment.set(Value("paymentDiscount"), Value(discount));
    Reply r = Send("addPayment", {Value(payment)});
    if (!r.error) return "<none>";
    EXPECT_EQ(r.error->code, "storekit_invalid_payment_discount_object");
    EXPECT_EQ(r.error->message->rfind(kInvalidPaymentDiscountMessagePrefix, 0), 0u);
    return r.error->message->substr(std::string(kInvalidPaymentDiscountMessagePrefix).size() +
                                    std::string("When specifying a payment discount the ").size());
  };
  const std::pair<const char*, Value> bad[] = {
      {"identifier", Value("")},  {"keyIdentifier", Value(3)}, {"nonce", Value("")},
      {"signature", Value()},     {"timestamp", Value(0)},     {"timestamp", Value(-5)},
      {"timestamp", Value("17")}, {"timestamp", Value(0.5)},   {"timestamp", Value(1e300)},
  };
  for (const auto& [field, value] : bad) {
    ValueMap discount = valid;
    discount.set(Value(field), value);
    EXPECT_EQ(message(discount), "'" + std::string(field) + "' field is mandatory.") << field;
  }
  ValueMap two_bad = valid;
  two_bad.set(Value("nonce"), Value(""));
  two_bad.erase(Value("signature"));
  EXPECT_EQ(message(two_bad), "'nonce' field is mandatory.") << "checked before the signature";
  ValueMap not_uuid = valid;
  not_uuid.set(Value("nonce"), Value("4a1b7c3e-1f2d-4e5a-9b6c-7d8e9f0a1b2"));
  EXPECT_EQ(message(not_uuid), "'nonce' field must be UUID text.");
  EXPECT_TRUE(store_->queue.added.empty());

  EXPECT_EQ(message(valid), "<none>");
  ASSERT_EQ(store_->queue.added.size(), 1u);
  const StorePaymentDiscount& d = *store_->queue.added[0].payment_discount;
  EXPECT_EQ(d.identifier + d.key_identifier + d.signature, "offerkeyc2ln");
  EXPECT_EQ(d.nonce, "4A1B7C3E-1F2D-4E5A-9B6C-7D8E9F0A1B2C");
  EXPECT_EQ(d.timestamp, 5'000'000'000);
}

TEST_F(InAppPurchasePluginTest, FinishingFollowsIdentifiersAndSkipsPurchasing) {
  Register();
  store_->queue.transactions = {
      MakeTransaction("a", 1, "1"),          MakeTransaction("a", 0, "1"),
      MakeTransaction("a", 2, std::nullopt), MakeTransaction("b", 1, std::nullopt),
      MakeTransaction("a", 3, "2"),          MakeTransaction("a", 0, std::nullopt),
  };
  auto finished = [&] {
    std::vector<std::string> out;
    for (const auto& t : store_->queue.finished) {
      out.push_back(*t.payment.product_identifier + t.identifier.value_or("-") +
                    std::to_string(t.state));
    }
    store_->queue.finished.clear();
    return out;
  };
  auto finish = [&](ValueMap map) { return Send("finishTransaction", {Value(map)}); };
  EXPECT_FALSE(finish({{Value("transactionIdentifier"), Value("1")},
                       {Value("productIdentifier"), Value("b")}})
                   .error);
  EXPECT_EQ(finished(), std::vector<std::string>{"a11"});
  finish({{Value("productIdentifier"), Value("a")}, {Value("transactionIdentifier"), Value()}});
  EXPECT_EQ(finished(), std::vector<std::string>{"a-2"});
  EXPECT_FALSE(finish({}).error);
  EXPECT_FALSE(Send("finishTransaction", {Value()}).error);
  EXPECT_TRUE(finished().empty());
  EXPECT_EQ(finish({{Value("transactionIdentifier"), Value(1)}}).error,
            (FlutterError{"storekit_invalid_finish_map",
                          "The finish map's values must be strings or null; the value of "
                          "'transactionIdentifier' is not.",
                          Value(ValueMap{{Value("transactionIdentifier"), Value(1)}})}));
  EXPECT_TRUE(finished().empty());
}

TEST_F(InAppPurchasePluginTest, CallbacksCarryTheMapsAndHeldBackOnesPrecedeTheStartReply) {
  Register();
  observer()->UpdatedTransactions({MakeTransaction("a", 0, std::nullopt)});
  observer()->UpdatedTransactions({MakeTransaction("a", 1, "1")});
  observer()->RemovedTransactions({MakeTransaction("z", 1, "0")});
  StoreError error;
  error.code = 2;
  error.domain = "SKErrorDomain";
  observer()->RestoreCompletedTransactionsFailed(error);  // never held back
  EXPECT_FALSE(Send("startObservingPaymentQueue").error);
  EXPECT_EQ(journal_,
            (std::vector<std::string>{"restoreCompletedTransactionsFailed", "updatedTransactions",
                                      "removedTransactions", "reply"}));
  EXPECT_EQ(callbacks_[0].arguments, Value(ValueMap{{Value("code"), Value(2)},
                                                    {Value("domain"), Value("SKErrorDomain")},
                                                    {Value("userInfo"), Value(ValueMap{})}}));
  ASSERT_EQ(callbacks_[1].arguments.as_list().size(), 2u);
  EXPECT_EQ(*callbacks_[1].arguments.as_list()[1].find("transactionIdentifier"), Value("1"));

  // A purchase started in the store is offered, not added; its product is
  // then known to addPayment.
  StorePayment payment;
  payment.product_identifier = "promo";
  EXPECT_FALSE(observer()->ShouldAddStorePayment(payment, MakeProduct("promo")));
  EXPECT_EQ(callbacks_.back().method, "shouldAddStorePayment");
  EXPECT_EQ(*callbacks_.back().arguments.find("product")->find("productIdentifier"),
            Value("promo"));
  EXPECT_EQ(*callbacks_.back().arguments.find("payment")->find("quantity"), Value(1));
  EXPECT_TRUE(store_->queue.added.empty());
  EXPECT_FALSE(Send("addPayment", {Value(Payment("promo"))}).error);
  EXPECT_EQ(store_->queue.added.size(), 1u);
}

}  // namespace
}  // namespace kelvo
