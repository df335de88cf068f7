#include "services/store/in_app_purchase_plugin_store_kit2.h"

#include <gtest/gtest.h>

#include "platform/dispatch/virtual_dispatch.h"
#include "platform/engine/in_process_messenger.h"

namespace kelvo {
namespace {

const std::string kApi = "dev.flutter.pigeon.in_app_purchase_storekit.InAppPurchase2API.";
const std::string kCallback =
    "dev.flutter.pigeon.in_app_purchase_storekit.InAppPurchase2CallbackAPI.onTransactionsUpdated";
const char* const kNonce = "6f9619ff-8b86-d011-b42d-00c04fc964ff";
using Kind = StorePurchaseResult::Kind;
using Status = SK2PurchaseStatusMessage;

StoreError Failure(std::string localized, std::string description) {
  return {0, "SKErrorDomain", {}, std::move(localized), std::move(description)};
}

StoreVerificationResult Txn(uint64_t id, std::string product, bool verified = true) {
  StoreVerificationResult v;
  v.transaction.id = v.transaction.original_id = id;
  v.transaction.product_id = std::move(product);
  v.verified = verified;
  v.jws_representation = "jws-" + std::to_string(id);
  v.verification_error = verified ? "" : "bad signature";
  return v;
}

StoreProduct Product(std::string id, bool subscription) {
  StoreProduct p;
  p.identifier = std::move(id);
  p.price = "0.99";
  if (!subscription) return p;
  p.type = StoreProductType::kAutoRenewable;
  p.subscription_group_identifier = "g1";
  p.subscription_period = StoreSubscriptionPeriod{1, 2};
  p.win_back_offers.push_back({StoreOffer::Kind::kWinBack, "back1", "0", {}, 1, 0, {1, 2}, 0});
  return p;
}

// The store's second generation, answering from fields the test sets and
// noting what the bridge asks of it.
class FakeStoreKit2 : public StoreKit2 {
 public:
  explicit FakeStoreKit2(std::shared_ptr<Queue> main) : main_(std::move(main)) {}

  bool can_pay = true;
  std::vector<StoreProduct> catalog;
  std::optional<StoreError> products_error, purchase_error, eligibility_error, sync_error,
      sheet_error;
  std::optional<StorePurchaseResult> result;
  std::vector<StoreVerificationResult> all, unfinished, entitlements;
  std::vector<StoreSubscriptionStatus> statuses;
  std::optional<StoreStorefront> storefront;
  std::vector<std::string> calls;
  std::vector<StorePurchaseOptions> purchases;
  std::vector<uint64_t> finished;
  bool blocking_call_on_main = false;
  int sheets = 0;

  bool CanMakePayments() override { return can_pay; }
  std::vector<StoreProduct> Products(const std::vector<std::string>& ids,
                                     std::optional<StoreError>* error) override {
    Note("products");
    *error = products_error;
    std::vector<StoreProduct> out;
    for (const auto& id : ids) {
      for (const auto& p : catalog) {
        if (p.identifier == id && !products_error) out.push_back(p);
      }
    }
    return out;
  }
  std::optional<StorePurchaseResult> Purchase(const StoreProduct& product,
                                              const StorePurchaseOptions& options,
                                              std::optional<StoreError>* error) override {
    Note("purchase " + product.identifier);
    purchases.push_back(options);
    *error = purchase_error;
    return purchase_error ? std::nullopt : result;
  }
  std::vector<StoreVerificationResult> AllTransactions() override { return Note("all"), all; }
  std::vector<StoreVerificationResult> UnfinishedTransactions() override {
    return Note("unfinished"), unfinished;
  }
  std::vector<StoreVerificationResult> CurrentEntitlements() override {
    return Note("entitlements"), entitlements;
  }
  void Finish(uint64_t id) override { finished.push_back(id); }
  std::optional<bool> IsEligibleForIntroOffer(const std::string& group,
                                              std::optional<StoreError>* error) override {
    Note("intro " + group);
    *error = eligibility_error;
    return eligibility_error ? std::nullopt : std::optional(true);
  }
  std::vector<StoreSubscriptionStatus> SubscriptionStatuses(
      const std::string& group, std::optional<StoreError>* error) override {
    Note("statuses " + group);
    *error = eligibility_error;
    return statuses;
  }
  std::optional<StoreStorefront> CurrentStorefront() override { return Note("sf"), storefront; }
  std::optional<StoreError> Sync() override { return Note("sync"), sync_error; }
  std::optional<StoreError> PresentOfferCodeRedeemSheet() override {
    sheets += main_->IsCurrent() ? 1 : 100;  // the sheet belongs on the main queue
    return sheet_error;
  }
  std::shared_ptr<void> SubscribeToUpdates(UpdateHandler handler) override {
    auto shared = std::make_shared<UpdateHandler>(std::move(handler));
    subscribers_.push_back(shared);
    return shared;
  }

  // An update to every live subscriber, on the main queue.
  void Deliver(const StoreVerificationResult& update) {
    for (const auto& weak : subscribers_) {
      if (auto handler = weak.lock()) main_->Async([handler, update] { (*handler)(update); });
    }
  }

 private:
  void Note(std::string call) {
    calls.push_back(std::move(call));
    blocking_call_on_main = blocking_call_on_main || main_->IsCurrent();
  }

  std::shared_ptr<Queue> main_;
  std::vector<std::weak_ptr<UpdateHandler>> subscribers_;
};

class StoreKit2PluginTest : public ::testing::Test {
 protected:
  StoreKit2PluginTest() {
    store.catalog = {Product("coins", false), Product("pro", true)};
    messenger.SetInterfaceHandler(kCallback, [this](Payload message, BinaryReply reply) {
      std::vector<SK2TransactionMessage> batch;
      Value request = codec().Decode(*message).value();
      for (const Value& t : request.as_list()[0].as_list()) {
        batch.push_back(*SK2TransactionMessage::FromValue(t));
      }
      pushes.push_back(std::move(batch));
      events.push_back("push");
      reply(codec().Encode(callback_answer));
    });
    Make();
  }
  ~StoreKit2PluginTest() override {
    InAppPurchase2APISetup::setUp(&messenger, nullptr);
    EXPECT_FALSE(store.blocking_call_on_main);  // the store's calls block
  }

  void Make(OperatingSystemVersion os = {15, 0, 0}, bool has_view_controller = true) {
    plugin = std::make_shared<InAppPurchasePluginStoreKit2>(
        &store, &dispatch, &messenger, os, [has_view_controller] { return has_view_controller; });
    InAppPurchase2APISetup::setUp(&messenger, plugin.get());
  }
  static const StandardCodec& codec() { return StoreKit2MessagesPigeonCodec(); }

  // The whole reply list.
  Value SendBytes(const std::string& method, Payload message) {
    std::optional<Value> reply;
    messenger.SendFromInterface(kApi + method, std::move(message), [&, method](Payload r) {
      events.push_back("reply " + method);
      if (r) reply = codec().Decode(*r).value();
    });
    dispatch.RunUntilIdle();
    return reply.value_or(Value("no reply"));
  }
  Value Send(const std::string& method, ValueList args = {}) {
    return SendBytes(method, codec().Encode(Value(std::move(args))));
  }
  // The result of a request that must succeed.
  Value Ok(const std::string& method, ValueList args = {}) {
    Value reply = Send(method, std::move(args));
    EXPECT_TRUE(reply.is_list() && reply.as_list().size() == 1) << method << ": " << reply;
    return reply.is_list() && reply.as_list().size() == 1 ? reply.as_list()[0] : Value("failed");
  }
  Value Purchase(const std::string& id, const SK2ProductPurchaseOptionsMessage& options = {}) {
    return Send("purchase", {id, options.ToValue()});
  }
  static Value Error(const char* code, const char* message, Value details = Value()) {
    return Value(ValueList{code, message, std::move(details)});
  }
  static Value Generic(const char* description) {
    return Value(ValueList{description, "StoreError", "Stacktrace: "});
  }
  static Value Reply(Value result) { return Value(ValueList{std::move(result)}); }

  VirtualDispatch dispatch;
  InProcessMessenger messenger{dispatch.MainQueue()};
  FakeStoreKit2 store{dispatch.MainQueue()};
  std::shared_ptr<InAppPurchasePluginStoreKit2> plugin;
  std::vector<std::vector<SK2TransactionMessage>> pushes;
  std::vector<std::string> events;
  Value callback_answer = ValueList{Value()};
};

SK2ProductPurchaseOptionsMessage Promotional(std::string nonce, std::string signature) {
  SK2ProductPurchaseOptionsMessage o;
  o.promotionalOffer = SK2SubscriptionOfferPurchaseMessage{
      "promo1", {"key1", std::move(nonce), 1700, std::move(signature)}};
  return o;
}

TEST_F(StoreKit2PluginTest, MalformedRequestsGetAnErrorAndSuffixesNameTheChannels) {
  // The interface sends no message at all for a method without arguments.
  store.storefront = StoreStorefront{"DEU", "143443"};
  EXPECT_EQ(SendBytes("countryCode", std::nullopt), Reply("DEU"));

  auto code = [](const Value& reply) {
    return reply.is_list() && reply.as_list().size() == 3 ? reply.as_list()[0] : reply;
  };
  EXPECT_EQ(code(Send("products", {"coins"})), Value("bad-request"));
  EXPECT_EQ(code(Send("purchase", {"coins"})), Value("bad-request"));
  EXPECT_EQ(code(Send("purchase", {"coins", ValueMap{}})), Value("bad-request"));
  EXPECT_EQ(code(Send("finish", {1.0})), Value("bad-request"));
  // The purchase-options tag followed by an integer, not a field list:
  // ["id", <142> 5].
  EXPECT_EQ(
      code(SendBytes("purchase", std::vector<uint8_t>{12, 2, 7, 2, 'i', 'd', 142, 3, 5, 0, 0, 0})),
      Value("bad-request"));
  EXPECT_EQ(store.calls, std::vector<std::string>{"sf"});

  InAppPurchase2APISetup::setUp(&messenger, nullptr);
  EXPECT_FALSE(messenger.HasNativeHandler(kApi + "purchase"));
  InAppPurchase2APISetup::setUp(&messenger, plugin.get(), "x");
  EXPECT_TRUE(messenger.HasNativeHandler(kApi + "purchase.x"));
  InAppPurchase2APISetup::setUp(&messenger, nullptr, "x");
}

TEST_F(StoreKit2PluginTest, ProductsKeepTheStoresOrderAndFailWithTheStoresText) {
  Value list = Ok("products", {ValueList{"pro", "unknown", "coins"}});
  ASSERT_EQ(list.as_list().size(), 2u);
  EXPECT_EQ(SK2ProductMessage::FromValue(list.as_list()[0])->id, "pro");
  EXPECT_EQ(SK2ProductMessage::FromValue(list.as_list()[1])->id, "coins");

  store.catalog[1].win_back_offers[0].payment_mode = 9;  // not crash, but an error reply
  EXPECT_EQ(Send("products", {ValueList{"pro"}}),
            Error("storekit2_unknown_platform_value", "Encountered an unknown PaymentMode",
                  "PaymentMode 9"));
  store.products_error = Failure("Cannot connect", "Error Domain=SKErrorDomain Code=2");
  EXPECT_EQ(Send("products", {ValueList{"coins"}}),
            Error("storekit2_products_error", "Cannot connect", "Cannot connect"));
  // Fetching for a purchase fails by the generic rule.
  EXPECT_EQ(Purchase("coins"), Generic("Error Domain=SKErrorDomain Code=2"));
}

TEST_F(StoreKit2PluginTest, PurchaseOutcomesPushOneUpdateBeforeTheReply) {
  // Unknown product: nothing else happens, not even option checks.
  EXPECT_EQ(Purchase("nope", Promotional("bad nonce", "AAEC")),
            Error("storekit2_failed_to_fetch_product", "Storekit has failed to fetch this product.",
                  "Product ID : nope"));
  EXPECT_TRUE(store.purchases.empty());

  store.result = StorePurchaseResult{Kind::kSuccess, Txn(41, "coins")};
  EXPECT_EQ(Purchase("coins"), Reply(ToValue(SK2ProductPurchaseResultMessage::success)));
  EXPECT_EQ(events, (std::vector<std::string>{"reply purchase", "push", "reply purchase"}));
  store.result->verification = Txn(42, "coins", false);
  EXPECT_EQ(Purchase("coins"), Reply(ToValue(SK2ProductPurchaseResultMessage::unverified)));
  SK2ProductPurchaseOptionsMessage three;
  three.quantity = 3;
  store.result = StorePurchaseResult{Kind::kPending, std::nullopt};
  EXPECT_EQ(Purchase("coins", three), Reply(ToValue(SK2ProductPurchaseResultMessage::pending)));
  store.result->kind = Kind::kUserCancelled;
  EXPECT_EQ(Purchase("coins"), Reply(ToValue(SK2ProductPurchaseResultMessage::userCancelled)));
  store.purchase_error = Failure("declined", "Error Domain=SKErrorDomain Code=5");
  EXPECT_EQ(Purchase("coins"), Generic("Error Domain=SKErrorDomain Code=5"));

  ASSERT_EQ(pushes.size(), 4u);
  EXPECT_EQ(pushes[0][0].id, 41);
  EXPECT_EQ(pushes[0][0].receiptData, "jws-41");
  EXPECT_EQ(pushes[0][0].status, Status::purchased);
  EXPECT_EQ(pushes[1][0].receiptData, "jws-42");
  SK2TransactionMessage placeholder;  // id 0, no dates, one item
  placeholder.productId = "coins";
  placeholder.purchasedQuantity = 1;
  placeholder.status = Status::pending;
  EXPECT_EQ(pushes[2], std::vector<SK2TransactionMessage>{placeholder});
  placeholder.status = Status::cancelled;
  EXPECT_EQ(pushes[3], std::vector<SK2TransactionMessage>{placeholder});
}

TEST_F(StoreKit2PluginTest, OnlyAVerifiedUnfinishedTransactionOfTheProductBlocksAPurchase) {
  store.result = StorePurchaseResult{Kind::kPending, std::nullopt};
  store.unfinished = {Txn(7, "coins", false), Txn(8, "pro")};
  EXPECT_EQ(Purchase("coins"), Reply(ToValue(SK2ProductPurchaseResultMessage::pending)));
  store.unfinished.push_back(Txn(9, "coins"));
  EXPECT_EQ(Purchase("coins"),
            Error("storekit_duplicate_product_object",
                  "There is a pending transaction for the same product identifier. Please either "
                  "wait for it to be finished or finish it manually using `completePurchase` to "
                  "avoid edge cases.",
                  "coins"));
  EXPECT_EQ(store.purchases.size(), 1u);
  EXPECT_EQ(pushes.size(), 1u);
}

TEST_F(StoreKit2PluginTest, PurchaseOptionsFollowTheVersionAndTheProduct) {
  store.result = StorePurchaseResult{Kind::kPending, std::nullopt};
  SK2ProductPurchaseOptionsMessage o = Promotional(kNonce, "AAEC");
  o.appAccountToken = "not-a-uuid";  // dropped silently
  o.quantity = 2;
  o.winBackOfferId = "back1";
  Purchase("pro", o);
  o.appAccountToken = kNonce;
  o.winBackOfferId = "elsewhere";  // not listed: dropped silently
  Purchase("pro", o);
  Make({14, 4, 0});  // win-back offers from 15.0 only
  o.winBackOfferId = "back1";
  Purchase("pro", o);
  Make({14, 3, 0});  // promotional offers from 14.4 only
  Purchase("pro", Promotional("bad nonce", "%%"));

  ASSERT_EQ(store.purchases.size(), 4u);
  const StorePurchaseOptions& first = store.purchases[0];
  EXPECT_EQ(first.app_account_token, std::nullopt);
  EXPECT_EQ(first.quantity, 2);
  ASSERT_TRUE(first.promotional_offer);
  EXPECT_EQ(first.promotional_offer->first, "promo1");
  EXPECT_EQ(first.promotional_offer->second.nonce, "6F9619FF-8B86-D011-B42D-00C04FC964FF");
  EXPECT_EQ(first.promotional_offer->second.timestamp, 1700);
  EXPECT_EQ(first.promotional_offer->second.signature, (std::vector<uint8_t>{0, 1, 2}));
  EXPECT_EQ(first.win_back_offer_id, "back1");
  EXPECT_EQ(store.purchases[1].app_account_token, "6F9619FF-8B86-D011-B42D-00C04FC964FF");
  EXPECT_EQ(store.purchases[1].win_back_offer_id, std::nullopt);
  EXPECT_EQ(store.purchases[2].win_back_offer_id, std::nullopt);
  EXPECT_TRUE(store.purchases[2].promotional_offer);
  EXPECT_FALSE(store.purchases[3].promotional_offer);

  // From 14.4 an invalid promotional offer stops the purchase.
  Make({14, 4, 0});
  EXPECT_EQ(
      Purchase("pro", Promotional("abc", "AAEC")),
      Error("storekit2_invalid_promotional_offer", "Invalid UUID format for nonce: abc", "pro"));
  EXPECT_EQ(Purchase("pro", Promotional(kNonce, "no base64")),
            Error("storekit2_invalid_promotional_offer",
                  "Invalid Base64 format for signature: no base64", "pro"));
  EXPECT_EQ(store.purchases.size(), 4u);
}

TEST_F(StoreKit2PluginTest, EligibilityChecks) {
  store.statuses = {{false, {"back1"}}, {true, {"other"}}};
  EXPECT_EQ(Ok("isWinBackOfferEligible", {"pro", "back1"}), Value(false));
  store.statuses.push_back({true, {"x", "back1"}});
  EXPECT_EQ(Ok("isWinBackOfferEligible", {"pro", "back1"}), Value(true));
  EXPECT_EQ(Ok("isIntroductoryOfferEligible", {"pro"}), Value(true));
  EXPECT_EQ(store.calls, (std::vector<std::string>{"products", "statuses g1", "products",
                                                   "statuses g1", "products", "intro g1"}));
  EXPECT_EQ(Send("isWinBackOfferEligible", {"nope", "back1"}),
            Error("storekit2_failed_to_fetch_product", "Storekit has failed to fetch this product.",
                  "Product ID: nope"));
  EXPECT_EQ(
      Send("isIntroductoryOfferEligible", {"coins"}),
      Error("storekit2_not_subscription", "Product is not a subscription", "Product ID: coins"));
  store.eligibility_error = Failure("No network", "Error Domain=NSURLErrorDomain Code=-1009");
  EXPECT_EQ(
      Send("isWinBackOfferEligible", {"pro", "back1"}),
      Error("storekit2_eligibility_check_failed", "Failed to check offer eligibility: No network",
            "Product ID: pro, Error: Error Domain=NSURLErrorDomain Code=-1009"));

  Make({14, 4, 0});
  store.calls.clear();
  EXPECT_EQ(Send("isWinBackOfferEligible", {"pro", "back1"}),
            Error("storekit2_unsupported_platform_version",
                  "Win back offers require iOS 18+ or macOS 15.0+"));
  EXPECT_TRUE(store.calls.empty());  // not even the product was fetched
}

TEST_F(StoreKit2PluginTest, TransactionListsAndFinishTakeOnlyVerifiedTransactions) {
  store.all = {Txn(1, "coins"), Txn(2, "coins", false), Txn(3, "pro")};
  store.unfinished = {Txn(4, "coins", false), Txn(5, "coins")};
  ValueList all = Ok("transactions").as_list();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(SK2TransactionMessage::FromValue(all[1])->id, 3);
  EXPECT_EQ(SK2TransactionMessage::FromValue(all[1])->receiptData, std::nullopt);
  ValueList unfinished = Ok("unfinishedTransactions").as_list();
  ASSERT_EQ(unfinished.size(), 1u);
  EXPECT_EQ(SK2TransactionMessage::FromValue(unfinished[0])->receiptData, "jws-5");

  for (int64_t id : {1, 2, 99}) EXPECT_EQ(Ok("finish", {id}), Value()) << id;
  EXPECT_EQ(store.finished, std::vector<uint64_t>{1});
  EXPECT_EQ(Send("finish", {int64_t{-1}}),
            Error("storekit2_invalid_transaction_id", "A transaction id is never negative.",
                  int64_t{-1}));
}

TEST_F(StoreKit2PluginTest, ListenersPushVerifiedUpdatesAndAReplacedOneKeepsRunning) {
  EXPECT_EQ(Ok("stopListeningToTransactions"), Value());  // never started
  Ok("startListeningToTransactions");
  store.Deliver(Txn(10, "coins"));
  store.Deliver(Txn(11, "coins", false));
  dispatch.RunUntilIdle();
  ASSERT_EQ(pushes.size(), 1u);
  EXPECT_EQ(pushes[0][0].receiptData, "jws-10");

  Ok("startListeningToTransactions");  // both deliver now
  store.Deliver(Txn(12, "coins"));
  dispatch.RunUntilIdle();
  EXPECT_EQ(pushes.size(), 3u);
  Ok("stopListeningToTransactions");  // stops the second only
  store.Deliver(Txn(13, "coins"));
  dispatch.RunUntilIdle();
  ASSERT_EQ(pushes.size(), 4u);
  EXPECT_EQ(pushes[3][0].id, 13);

  // An update already on its way when the plugin goes is skipped.
  store.Deliver(Txn(14, "coins"));
  InAppPurchase2APISetup::setUp(&messenger, nullptr);
  plugin.reset();
  dispatch.RunUntilIdle();
  EXPECT_EQ(pushes.size(), 4u);
  Make();
}

TEST_F(StoreKit2PluginTest, RestorePushesVerifiedEntitlementsAndReportsTheOthersById) {
  store.entitlements = {Txn(1, "coins"), Txn(3, "pro")};
  EXPECT_EQ(Ok("restorePurchases"), Value());
  store.entitlements.push_back(Txn(2, "pro", false));
  ValueMap unverified;
  unverified.set(int64_t{2}, ValueMap{{"jwsRepresentation", "jws-2"}, {"error", "bad signature"}});
  EXPECT_EQ(Send("restorePurchases"),
            Error("storekit2_restore_failed", "This purchase could not be restored.", unverified));
  EXPECT_EQ(events, (std::vector<std::string>{"push", "reply restorePurchases", "push",
                                              "reply restorePurchases"}));
  ASSERT_EQ(pushes.size(), 2u);
  EXPECT_EQ(pushes[0].size(), 2u);
  EXPECT_EQ(pushes[1].size(), 2u);
  EXPECT_EQ(pushes[0][1].status, Status::restored);
  EXPECT_EQ(pushes[0][1].receiptData, "jws-3");
}

TEST_F(StoreKit2PluginTest, AnUpdateTheInterfaceRefusesIsWrittenToStandardOutput) {
  callback_answer = ValueList{"refused", "not now", Value()};
  Ok("startListeningToTransactions");
  store.Deliver(Txn(31, "coins"));
  ::testing::internal::CaptureStdout();
  dispatch.RunUntilIdle();
  messenger.SetInterfaceHandler(kCallback, nullptr);  // nobody listening
  store.Deliver(Txn(32, "coins"));
  dispatch.RunUntilIdle();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Failed to send transaction update: PigeonError(code: refused, message: not now, "
            "details: nil)\n"
            "Failed to send transaction update: PigeonError(code: channel-error, message: Unable "
            "to establish connection on channel: '" +
                kCallback + "'., details: )\n");
}

TEST_F(StoreKit2PluginTest, StorefrontSyncPaymentsAndTheOfferCodeSheet) {
  EXPECT_EQ(Send("countryCode"), Error("storekit2_failed_to_fetch_country_code",
                                       "Storekit has failed to fetch the country code.",
                                       "Storefront.current returned nil."));
  EXPECT_EQ(Ok("sync"), Value());
  store.sync_error = Failure("Cancelled", "Error Domain=SKErrorDomain Code=2");
  EXPECT_EQ(Send("sync"), Error("storekit2_failed_to_sync_to_app_store",
                                "Storekit has failed to sync to the app store.",
                                "Error Domain=SKErrorDomain Code=2"));
  store.can_pay = false;
  EXPECT_EQ(Ok("canMakePayments"), Value(false));

  EXPECT_EQ(Ok("presentOfferCodeRedeemSheet"), Value());
  EXPECT_EQ(store.sheets, 1);  // once, on the main queue
  store.sheet_error = Failure("gone", "Error Domain=SKErrorDomain Code=1");
  EXPECT_EQ(Send("presentOfferCodeRedeemSheet"), Generic("Error Domain=SKErrorDomain Code=1"));
  Make({15, 0, 0}, false);
  EXPECT_EQ(Send("presentOfferCodeRedeemSheet"),
            Error("storekit2_missing_view_controller", "Failed to fetch view controller",
                  "registrar.viewController returned nil."));
  Make({14, 4, 0});
  EXPECT_EQ(Send("presentOfferCodeRedeemSheet"), Error("storekit2_unsupported_platform_version",
                                                       "Offer code redemption requires macOS 15+"));
  EXPECT_EQ(store.sheets, 2);
}

}  // namespace
}  // namespace kelvo
