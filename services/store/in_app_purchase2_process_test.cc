// The second-generation store API in a real `kelvo` process, driven over
// its engine socket as the user interface would: requests on the
// InAppPurchase2API channels, transaction updates answered on the
// callback channel, on a local store configured by the test (the store
// reads $XDG_CONFIG_HOME/kelvo/store.json).
#include <gtest/gtest.h>
#include <signal.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "host/testing/kelvo_process.h"
#include "platform/engine/typed_messages.h"
#include "platform/store/store_test_controls.h"
#include "services/store/in_app_purchase2_api.h"

namespace kelvo {
namespace {

using testing::HostEnvironment;
using testing::KelvoProcess;
using Result2 = SK2ProductPurchaseResultMessage;
using Batch = std::vector<SK2TransactionMessage>;

constexpr const char* kConfig = R"({
  "storefront": {"countryCode": "DEU", "identifier": "143443"},
  "products": [
    {"id": "coins", "type": "consumable", "price": "0.99"},
    {"id": "premium", "type": "nonConsumable", "price": "4.99"},
    {"id": "shady", "type": "nonConsumable", "price": "1.49", "verified": false,
     "verificationError": "signature mismatch"},
    {"id": "slow", "type": "consumable", "price": "1.99", "purchaseOutcome": "pending"},
    {"id": "regret", "type": "consumable", "price": "2.99", "purchaseOutcome": "cancelled"}
  ]
})";

class StoreKit2ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(env.config_home() + "/kelvo");
    std::ofstream(env.config_home() + "/kelvo/store.json") << kConfig;
    ASSERT_EQ(kelvo.Start(), std::nullopt);
    kelvo.client().SetMessageHandler(kCallback, [this](Payload message, BinaryReply reply) {
      Batch batch;
      Result<Value> args = codec().Decode(message.value_or(std::vector<uint8_t>{}));
      if (args.ok() && args.value().is_list() && !args.value().as_list().empty() &&
          args.value().as_list()[0].is_list()) {
        for (const Value& t : args.value().as_list()[0].as_list()) {
          if (auto m = SK2TransactionMessage::FromValue(t)) batch.push_back(*m);
        }
      }
      std::lock_guard lock(mu);
      pushes.push_back(std::move(batch));
      arrived.notify_all();
      reply(codec().Encode(ValueList{Value()}));
    });
    // The services register just after the socket serves.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Send("canMakePayments") != Value(ValueList{true}) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  void TearDown() override { EXPECT_EQ(kelvo.Stop(SIGTERM), 0); }

  static const StandardCodec& codec() { return StoreKit2MessagesPigeonCodec(); }
  // The whole reply list, or a text saying why there is none.
  Value Send(const std::string& method, ValueList args = {}) {
    EngineCallResult r = kelvo.client().SendAndWait(
        TypedChannelName(kStoreKit2Package, kInAppPurchase2Api, method),
        codec().Encode(Value(std::move(args))), std::chrono::seconds(10));
    if (!r.ok() || !r.reply) return Value("no reply");
    Result<Value> decoded = codec().Decode(*r.reply);
    return decoded.ok() ? decoded.value() : Value("undecodable");
  }
  Value Ok(const std::string& method, ValueList args = {}) {
    Value reply = Send(method, std::move(args));
    EXPECT_TRUE(reply.is_list() && reply.as_list().size() == 1) << method << ": " << reply;
    return reply.is_list() && reply.as_list().size() == 1 ? reply.as_list()[0] : Value("failed");
  }
  std::vector<int64_t> Ids(const std::string& method) {
    Value list = Ok(method);
    std::vector<int64_t> ids;
    if (!list.is_list()) return {-1};
    for (const Value& t : list.as_list()) ids.push_back(SK2TransactionMessage::FromValue(t)->id);
    return ids;
  }
  // Waits (bounded) until `count` updates have arrived; all of them.
  std::vector<Batch> WaitForPushes(size_t count) {
    std::unique_lock lock(mu);
    arrived.wait_for(lock, std::chrono::seconds(10), [&] { return pushes.size() >= count; });
    return pushes;
  }
  static Value Outcome(Result2 r) { return ToValue(r); }

  const std::string kCallback =
      TypedChannelName(kStoreKit2Package, kInAppPurchase2CallbackApi, "onTransactionsUpdated");
  HostEnvironment env;
  KelvoProcess kelvo{env};
  std::mutex mu;
  std::condition_variable arrived;
  std::vector<Batch> pushes;
};

TEST_F(StoreKit2ProcessTest, PurchasesDuplicatesTransactionsAndFinishing) {
  EXPECT_EQ(Ok("purchase", {"coins", Value()}), Outcome(Result2::success));
  const SK2TransactionMessage coins = WaitForPushes(1).at(0).at(0);
  EXPECT_EQ(coins.productId, "coins");
  EXPECT_EQ(coins.status, SK2PurchaseStatusMessage::purchased);
  EXPECT_TRUE(coins.receiptData && !coins.receiptData->empty());
  EXPECT_EQ(Ids("unfinishedTransactions"), std::vector<int64_t>{coins.id});
  EXPECT_EQ(Send("purchase", {"coins", Value()}).as_list().at(0),
            Value("storekit_duplicate_product_object"));

  EXPECT_EQ(Ok("finish", {coins.id}), Value());
  EXPECT_EQ(Ids("unfinishedTransactions"), std::vector<int64_t>{});
  EXPECT_EQ(Ids("transactions"), std::vector<int64_t>{coins.id});
  EXPECT_EQ(Ok("purchase", {"coins", Value()}), Outcome(Result2::success));

  EXPECT_EQ(Ok("purchase", {"slow", Value()}), Outcome(Result2::pending));
  EXPECT_EQ(Ok("purchase", {"regret", Value()}), Outcome(Result2::userCancelled));
  std::vector<Batch> batches = WaitForPushes(4);
  ASSERT_EQ(batches.size(), 4u);
  EXPECT_EQ(batches[2].at(0).id, 0);
  EXPECT_EQ(batches[2].at(0).productId, "slow");
  EXPECT_EQ(batches[2].at(0).status, SK2PurchaseStatusMessage::pending);
  EXPECT_EQ(batches[3].at(0).status, SK2PurchaseStatusMessage::cancelled);
  EXPECT_EQ(Send("purchase", {"ghost", Value()}),
            Value(ValueList{"storekit2_failed_to_fetch_product",
                            "Storekit has failed to fetch this product.", "Product ID : ghost"}));
  EXPECT_EQ(Ok("countryCode"), Value("DEU"));
}

TEST_F(StoreKit2ProcessTest, RestoreReportsAnUnverifiedEntitlement) {
  EXPECT_EQ(Ok("purchase", {"premium", Value()}), Outcome(Result2::success));
  EXPECT_EQ(Ok("purchase", {"shady", Value()}), Outcome(Result2::unverified));
  std::vector<Batch> batches = WaitForPushes(2);
  const int64_t premium = batches.at(0).at(0).id, shady = batches.at(1).at(0).id;

  Value reply = Send("restorePurchases");
  ASSERT_EQ(reply.as_list().size(), 3u) << reply;
  EXPECT_EQ(reply.as_list()[0], Value("storekit2_restore_failed"));
  const Value& details = reply.as_list()[2];
  ASSERT_TRUE(details.is_map() && details.as_map().size() == 1) << details;
  const Value* entry = details.as_map().find(Value(shady));
  ASSERT_NE(entry, nullptr) << details;
  EXPECT_EQ(*entry->find("error"), Value("signature mismatch"));
  EXPECT_TRUE(entry->find("jwsRepresentation")->is_string());
  batches = WaitForPushes(3);
  ASSERT_EQ(batches.size(), 3u);
  ASSERT_EQ(batches[2].size(), 1u);
  EXPECT_EQ(batches[2][0].id, premium);
  EXPECT_EQ(batches[2][0].status, SK2PurchaseStatusMessage::restored);
}

TEST_F(StoreKit2ProcessTest, TheListenerPushesVerifiedUpdatesUntilStopped) {
  auto control = [&](const std::string& method, ValueMap args) {
    testing::CallReply r = kelvo.Call(method, Value(std::move(args)), kStoreTestControlsChannel);
    EXPECT_TRUE(r.value && r.value->is_int()) << r.Describe();
    return r.value && r.value->is_int() ? r.value->as_int() : -1;
  };
  EXPECT_EQ(Ok("startListeningToTransactions"), Value());
  control("pushTransactionUpdate", {{"productIdentifier", "premium"}, {"verified", false}});
  int64_t update = control("pushTransactionUpdate", {{"productIdentifier", "premium"}});
  EXPECT_EQ(Ok("purchase", {"slow", Value()}), Outcome(Result2::pending));
  int64_t approved = control("approveTransaction", {{"productIdentifier", "slow"}});
  std::vector<Batch> batches = WaitForPushes(3);
  ASSERT_EQ(batches.size(), 3u);  // the unverified update is skipped
  EXPECT_EQ(batches[0].at(0).id, update);
  EXPECT_EQ(batches[1].at(0).status, SK2PurchaseStatusMessage::pending);
  EXPECT_EQ(batches[2].at(0).id, approved);

  // Once stopped, the next push to arrive is the purchase's own, which
  // follows the store's update on the main queue.
  EXPECT_EQ(Ok("stopListeningToTransactions"), Value());
  control("pushTransactionUpdate", {{"productIdentifier", "premium"}});
  EXPECT_EQ(Ok("purchase", {"regret", Value()}), Outcome(Result2::userCancelled));
  batches = WaitForPushes(4);
  ASSERT_EQ(batches.size(), 4u);
  EXPECT_EQ(batches[3].at(0).productId, "regret");
}

}  // namespace
}  // namespace kelvo
