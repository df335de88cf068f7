// The first-generation store API in a real `kelvo` process, driven over its
// engine socket as the user interface would, on a local store configured by
// the test (KELVO_STORE_CONFIG) at the system version it picks
// (KELVO_OS_VERSION).
#include <gtest/gtest.h>
#include <signal.h>

#include <condition_variable>
#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>

#include "host/testing/kelvo_process.h"
#include "platform/engine/typed_messages.h"
#include "platform/store/store_test_controls.h"
#include "services/store/in_app_purchase2_api.h"
#include "services/store/in_app_purchase_plugin.h"

namespace kelvo {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kLimit = std::chrono::seconds(10);

constexpr const char* kConfig = R"({
  "storefront": {"countryCode": "ESP", "identifier": "143454"},
  "locale": {"identifier": "es_ES", "currencySymbol": "€", "currencyCode": "EUR", "countryCode": "ES"},
  "subscriptionGroups": [{"id": "pro"}],
  "products": [
    {"id": "coins", "type": "consumable", "title": "Coins", "price": "0.99"},
    {"id": "premium", "type": "nonConsumable", "price": "4.99"},
    {"id": "monthly", "type": "autoRenewable", "price": "9.99", "subscriptionGroup": "pro",
     "period": "P1M", "promotionalOffers": [{"id": "promo10", "price": "8.99", "period": "P1M"}]},
    {"id": "slow", "type": "consumable", "price": "1.99", "purchaseOutcome": "pending"},
    {"id": "broken", "type": "consumable", "price": "2.99", "purchaseOutcome": "failed"}
  ]
})";

struct Reply {
  bool answered = false;
  Value result;
  std::optional<FlutterError> error;
};

// kelvo with the store's variables on top of the host's test environment.
class StoreProcess {
 public:
  explicit StoreProcess(std::string config, std::string os_version = "") {
    std::ofstream(config_path()) << config;
    env_.extra_variables.push_back("KELVO_STORE_CONFIG=" + config_path());
    if (!os_version.empty()) env_.extra_variables.push_back("KELVO_OS_VERSION=" + os_version);
  }

  std::string config_path() const { return env_.root() + "/store.json"; }
  std::string Stderr() const { return process_.Stderr(); }
  testing::KelvoProcess& process() { return process_; }

  // Starts kelvo; ready once the store's channels answer.
  std::optional<std::string> Start() {
    if (std::optional<std::string> why = process_.Start()) return why;
    client_ = &process_.client();
    client_->SetMessageHandler(kInAppPurchaseCallbackChannel, [this](Payload m, BinaryReply r) {
      Add(MethodCodec::Standard().DecodeMethodCall(*m).value());
      r(std::nullopt);
    });
    for (auto deadline = Clock::now() + kLimit; Clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
      if (Send("canMakePayments").answered) return std::nullopt;
    }
    return "the store did not answer in time";
  }

  int Stop() { return process_.Stop(SIGTERM); }

  // A typed request; a channel of the first-generation API by default.
  Reply Send(const std::string& method, const ValueList& args = {}, std::string channel = "") {
    if (channel.empty())
      channel = TypedChannelName(kInAppPurchasePackage, kInAppPurchaseApi, method);
    Reply reply;
    EngineCallResult r =
        client_->SendAndWait(channel, FIAGetMessagesCodec().Encode(Value(args)), kLimit);
    EXPECT_TRUE(r.ok()) << *r.error;
    if (!r.ok() || !r.reply) return reply;
    reply.answered = true;
    ValueList list = FIAGetMessagesCodec().Decode(*r.reply).value().as_list();
    if (list.size() == 1) {
      reply.result = list[0];
    } else {
      reply.error = FlutterError{
          list.at(0).as_string(),
          list.at(1).is_string() ? std::optional(list[1].as_string()) : std::nullopt, list.at(2)};
    }
    return reply;
  }
  // A call on the store's test controls; whether it succeeded.
  bool Control(const std::string& method, ValueMap args) {
    EngineCallResult r = client_->SendAndWait(
        kStoreTestControlsChannel,
        MethodCodec::Standard().EncodeMethodCall({method, Value(std::move(args))}), kLimit);
    if (!r.ok() || !r.reply) return false;
    auto envelope = MethodCodec::Standard().DecodeEnvelope(*r.reply);
    return envelope.ok() && std::holds_alternative<Value>(envelope.value());
  }

  // The queue as "product:state" per transaction.
  std::vector<std::string> Queue() {
    std::vector<std::string> out;
    Reply r = Send("transactions");
    for (const Value& v : r.result.is_list() ? r.result.as_list() : ValueList{}) {
      auto t = FIASKPaymentTransactionMessage::FromValue(v);
      out.push_back(t->payment->productIdentifier.value_or("?") + ":" +
                    std::to_string(static_cast<int>(t->transactionState)));
    }
    return out;
  }
  // The store settles purchases on its own time: asks again until the
  // queue reads `expected` (bounded).
  bool WaitForQueue(const std::vector<std::string>& expected) {
    for (auto deadline = Clock::now() + kLimit; Clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
      if (Queue() == expected) return true;
    }
    return false;
  }

  // The callbacks so far, after waiting (bounded) for at least `count`.
  std::vector<MethodCall> Callbacks(size_t count = 0) {
    std::unique_lock lock(mu_);
    changed_.wait_for(lock, kLimit, [&] { return calls_.size() >= count; });
    return calls_;
  }

 private:
  void Add(MethodCall call) {
    std::lock_guard lock(mu_);
    calls_.push_back(std::move(call));
    changed_.notify_all();
  }

  testing::HostEnvironment env_;
  testing::KelvoProcess process_{env_};
  EngineSocketClient* client_ = nullptr;  // the process's
  std::mutex mu_;
  std::condition_variable changed_;
  std::vector<MethodCall> calls_;
};

ValueMap Map(std::initializer_list<ValueMap::Entry> entries) { return ValueMap(entries); }
ValueMap Payment(const std::string& product) {
  return Map({{Value("productIdentifier"), Value(product)}});
}

// "method product:state ..." of a callback with transaction maps.
std::string Describe(const MethodCall& call) {
  std::string out = call.method;
  for (const Value& map : call.arguments.is_list() ? call.arguments.as_list() : ValueList{}) {
    out += " " + map.find("payment")->find("productIdentifier")->as_string() + ":" +
           std::to_string(map.find("transactionState")->as_int());
  }
  return out;
}

class StoreProcessTest : public ::testing::Test {
 protected:
  void Start(const char* config, std::string os_version = "") {
    kelvo_ = std::make_unique<StoreProcess>(config, std::move(os_version));
    ASSERT_EQ(kelvo_->Start(), std::nullopt);
  }
  void TearDown() override {
    if (kelvo_) {
      EXPECT_EQ(kelvo_->Stop(), 0) << kelvo_->Stderr();
    }
  }
  void Fetch(ValueList ids) {
    ASSERT_TRUE(kelvo_->Send("startProductRequest", {Value(std::move(ids))}).result.is_custom());
  }
  std::unique_ptr<StoreProcess> kelvo_;
};

TEST_F(StoreProcessTest, PurchasesWaitForTheObserverThenFinishAndRestore) {
  Start(kConfig);
  EXPECT_EQ(kelvo_->Send("addPayment", {Value(Payment("coins"))}).error->code,
            "storekit_invalid_payment_object")
      << "not fetched yet";
  Reply products = kelvo_->Send(
      "startProductRequest",
      {Value(ValueList{Value("coins"), Value("premium"), Value("coins"), Value("nope")})});
  auto response = FIASKProductsResponseMessage::FromValue(products.result);
  ASSERT_TRUE(response);
  ASSERT_EQ(response->products->size(), 2u);
  EXPECT_EQ(response->invalidProductIdentifiers, std::vector<std::string>{"nope"});

  EXPECT_FALSE(kelvo_->Send("addPayment", {Value(Payment("coins"))}).error);
  EXPECT_EQ(
      kelvo_->Send("addPayment", {Value(Payment("coins"))}).error,
      (FlutterError{kDuplicateProductCode, kDuplicateProductMessage, Value(Payment("coins"))}));
  EXPECT_FALSE(kelvo_->Send("addPayment", {Value(Payment("premium"))}).error);
  ASSERT_TRUE(kelvo_->WaitForQueue({"coins:1", "premium:1"}));
  EXPECT_TRUE(kelvo_->Callbacks().empty());

  // What was held back comes in one call, in arrival order, before the reply.
  EXPECT_TRUE(kelvo_->Send("startObservingPaymentQueue").answered);
  std::vector<MethodCall> calls = kelvo_->Callbacks();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(Describe(calls[0]), "updatedTransactions coins:0 coins:1 premium:0 premium:1");

  auto coins =
      FIASKPaymentTransactionMessage::FromValue(kelvo_->Send("transactions").result.as_list()[0]);
  ASSERT_TRUE(coins && coins->transactionIdentifier);
  EXPECT_FALSE(
      kelvo_
          ->Send("finishTransaction", {Value(Map({{Value("transactionIdentifier"),
                                                   Value(*coins->transactionIdentifier)}}))})
          .error);
  EXPECT_EQ(Describe(kelvo_->Callbacks(2).at(1)), "removedTransactions coins:1");
  // premium has an identifier: finishing by product alone leaves it.
  kelvo_->Send("finishTransaction", {Value(Payment("premium"))});
  // Purchasing is never finished; a failed purchase, identifier-less, is.
  Fetch({Value("slow"), Value("broken")});
  kelvo_->Send("addPayment", {Value(Payment("slow"))});
  kelvo_->Send("addPayment", {Value(Payment("broken"))});
  ASSERT_TRUE(kelvo_->WaitForQueue({"premium:1", "slow:0", "broken:2"}));
  kelvo_->Send("finishTransaction", {Value(Payment("slow"))});
  kelvo_->Send("finishTransaction", {Value(Payment("broken"))});
  EXPECT_TRUE(kelvo_->WaitForQueue({"premium:1", "slow:0"}));
  EXPECT_EQ(
      kelvo_->Send("finishTransaction", {Value(Map({{Value("productIdentifier"), Value(true)}}))})
          .error->code,
      kInvalidFinishMapCode);

  // Restoring brings back what is not consumable, then says it finished.
  size_t before = kelvo_->Callbacks().size();
  EXPECT_TRUE(kelvo_->Send("restoreTransactions", {Value("user-1")}).answered);
  calls = kelvo_->Callbacks(before + 2);
  ASSERT_EQ(calls.size(), before + 2);
  EXPECT_EQ(Describe(calls[before]), "updatedTransactions premium:3");
  const Value& restored = calls[before].arguments.as_list()[0];
  EXPECT_EQ(*restored.find("payment")->find("applicationUsername"), Value("user-1"));
  EXPECT_TRUE(restored.find("originalTransaction")->is_map());
  EXPECT_EQ(calls.back().method, "paymentQueueRestoreCompletedTransactionsFinished");
}

TEST_F(StoreProcessTest, DiscountsAreCheckedAndStorePurchasesOfferedToTheInterface) {
  Start(kConfig);
  kelvo_->Send("startObservingPaymentQueue");
  Fetch({Value("monthly")});
  ValueMap discount{{Value("identifier"), Value("promo10")},
                    {Value("keyIdentifier"), Value("KEY1")},
                    {Value("nonce"), Value("0f8fad5b-d9cb-469f-a165-70867728950e")},
                    {Value("signature"), Value("c2lnbmF0dXJl")},
                    {Value("timestamp"), Value(0)}};
  auto buy = [&] {
    ValueMap payment = Payment("monthly");
    payment.set(Value("paymentDiscount"), Value(discount));
    return kelvo_->Send("addPayment", {Value(payment)});
  };
  EXPECT_NE(buy().error->message->find("the 'timestamp' field is mandatory"), std::string::npos);
  discount.set(Value("timestamp"), Value(int64_t{1'700'000'000'000}));
  EXPECT_FALSE(buy().error);
  ASSERT_TRUE(kelvo_->WaitForQueue({"monthly:1"}));
  auto bought =
      FIASKPaymentTransactionMessage::FromValue(kelvo_->Send("transactions").result.as_list()[0]);
  ASSERT_TRUE(bought && bought->payment && bought->payment->paymentDiscount);
  EXPECT_EQ(bought->payment->paymentDiscount->nonce, "0F8FAD5B-D9CB-469F-A165-70867728950E");
  EXPECT_EQ(bought->payment->paymentDiscount->timestamp, 1'700'000'000'000);

  // Started in the store, for a product never fetched: offered, not added.
  size_t before = kelvo_->Callbacks(2).size();
  ASSERT_TRUE(kelvo_->Control("postStorePurchase", Payment("premium")));
  std::vector<MethodCall> calls = kelvo_->Callbacks(before + 1);
  ASSERT_EQ(calls.size(), before + 1);
  EXPECT_EQ(calls.back().method, "shouldAddStorePayment");
  EXPECT_EQ(*calls.back().arguments.find("product")->find("price"), Value("4.99"));
  EXPECT_EQ(kelvo_->Queue(), std::vector<std::string>{"monthly:1"});
  EXPECT_FALSE(kelvo_->Send("addPayment", {Value(Payment("premium"))}).error);
  EXPECT_TRUE(kelvo_->WaitForQueue({"monthly:1", "premium:1"}));
}

TEST_F(StoreProcessTest, QueriesReceiptsAndStoreFailures) {
  Start(kConfig);
  EXPECT_EQ(kelvo_->Send("canMakePayments").result, Value(true));
  auto storefront = FIASKStorefrontMessage::FromValue(kelvo_->Send("storefront").result);
  EXPECT_EQ(storefront->countryCode, "ESP");
  EXPECT_EQ(storefront->identifier, "143454");
  for (const char* method :
       {"presentCodeRedemptionSheet", "registerPaymentQueueDelegate", "removePaymentQueueDelegate",
        "showPriceConsentIfNeeded", "stopObservingPaymentQueue"}) {
    Reply r = kelvo_->Send(method);
    EXPECT_TRUE(r.answered && r.result.is_null() && !r.error) << method;
  }
  Fetch({Value("premium")});
  kelvo_->Send("addPayment", {Value(Payment("premium"))});
  ASSERT_TRUE(kelvo_->WaitForQueue({"premium:1"}));
  Value receipt = kelvo_->Send("retrieveReceiptData").result;
  ASSERT_TRUE(receipt.is_string());
  EXPECT_EQ(receipt.as_string().size() % 4, 0u);
  EXPECT_EQ(receipt.as_string().find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
            std::string::npos);

  EXPECT_TRUE(
      kelvo_->Send("refreshReceipt", {Value(Map({{Value("isExpired"), Value(true)}}))}).answered);
  for (const auto& [method, arg, code] : {
           std::tuple{"refreshReceipt", Value(), kRefreshReceiptErrorCode},
           std::tuple{"startProductRequest", Value(ValueList{Value("coins")}), kProductRequestErrorCode}}) {
    ASSERT_TRUE(kelvo_->Control("failNextRequest", Map({{Value("message"), Value("No connection")}})));
    EXPECT_EQ(kelvo_->Send(method, {arg}).error,
              (FlutterError{code, "No connection", Value("No connection")})) << method;
  }
}

TEST_F(StoreProcessTest, WithoutAReceiptLocationTheReceiptIsNull) {
  Start(R"({"hasReceiptLocation": false, "canMakePayments": false})");
  Reply receipt = kelvo_->Send("retrieveReceiptData");
  EXPECT_TRUE(receipt.answered && receipt.result.is_null() && !receipt.error);
  EXPECT_EQ(kelvo_->Send("canMakePayments").result, Value(false));
  EXPECT_EQ(kelvo_->Send("storefront").result, Value());
}

TEST_F(StoreProcessTest, BelowVersion12TheSecondGenerationIsAbsent) {
  Start(kConfig, "11.0");
  EXPECT_EQ(kelvo_->Send("supportsStoreKit2").result, Value(false));
  for (const std::string& channel : InAppPurchase2APIChannels()) {
    EXPECT_FALSE(kelvo_->Send("", {}, channel).answered) << channel;
  }
  kelvo_->Stop();
  Start(kConfig, "12.0");
  EXPECT_EQ(kelvo_->Send("supportsStoreKit2").result, Value(true));
  EXPECT_EQ(kelvo_->Send("", {}, InAppPurchase2APIChannels()[0]).result, Value(true));
}

TEST(StoreProcessStartTest, AMalformedConfigurationStopsTheHost) {
  StoreProcess kelvo(R"({"products": [{"id": "coins", "type": "consumable", "price": 5}]})");
  // Whether it goes before or after the socket serves, the host ends.
  kelvo.process().Start();
  EXPECT_EQ(kelvo.process().WaitForExit(kLimit), 1);
  EXPECT_NE(kelvo.Stderr().find("kelvo: store configuration " + kelvo.config_path() +
                                ": products[0].price"),
            std::string::npos)
      << kelvo.Stderr();
}

}  // namespace
}  // namespace kelvo
