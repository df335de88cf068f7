// The store's test controls over their method channel, as kelvoctl and the
// integration tests use them.
#include "platform/store/store_test_controls.h"

#include <gtest/gtest.h>

#include "platform/engine/in_process_messenger.h"
#include "platform/engine/method_codec.h"
#include "platform/store/fake_store_observer.h"
#include "platform/store/local_store_test_util.h"

namespace kelvo {
namespace {

class ControlsTest : public ::testing::Test {
 protected:
  ControlsTest() {
    SetUpStoreTestControls(&messenger_, h_.shared());
    h_.queue().AddTransactionObserver(&observer_);
  }

  // The reply envelope; a payload of nothing (not implemented) as an error
  // with code "(none)".
  Envelope Call(const std::string& method, const Value& args = Value()) {
    std::optional<Payload> reply;
    messenger_.SendFromInterface(kStoreTestControlsChannel,
                                 MethodCodec::Standard().EncodeMethodCall({method, args}),
                                 [&](Payload r) { reply = r; });
    h_.dispatch().RunUntilIdle();
    EXPECT_TRUE(reply);
    if (!reply || !*reply) return FlutterError{"(none)", std::nullopt, Value()};
    auto envelope = MethodCodec::Standard().DecodeEnvelope(**reply);
    EXPECT_TRUE(envelope.ok());
    return envelope.ok() ? envelope.value() : Envelope(Value());
  }

  Value Ok(const std::string& method, const Value& args = Value()) {
    Envelope e = Call(method, args);
    if (const FlutterError* error = std::get_if<FlutterError>(&e)) {
      ADD_FAILURE() << method << ": " << error->code << " " << error->message.value_or("");
      return Value();
    }
    return std::get<Value>(e);
  }

  FlutterError Err(const std::string& method, const Value& args = Value()) {
    Envelope e = Call(method, args);
    const FlutterError* error = std::get_if<FlutterError>(&e);
    EXPECT_TRUE(error) << method << " succeeded";
    return error ? *error : FlutterError{};
  }

  StoreHarness h_;
  InProcessMessenger messenger_{h_.dispatch().MainQueue()};
  RecordingQueueObserver observer_;
};

TEST_F(ControlsTest, ListsAndDecidesPurchasesOfBothGenerations) {
  h_.queue().AddPayment(PaymentFor("ask"));
  h_.queue().AddPayment(PaymentFor("coins"));
  std::optional<StoreError> error;
  h_.second().Purchase(h_.Product("slow"), {}, &error);
  h_.dispatch().RunUntilIdle();

  Value list = Ok("pendingTransactions");
  ASSERT_TRUE(list.is_list());
  ASSERT_EQ(list.as_list().size(), 3u);
  const Value& ask = list.as_list()[0];
  EXPECT_EQ(*ask.find("productIdentifier"), Value("ask"));
  EXPECT_EQ(*ask.find("state"), Value(4));
  EXPECT_EQ(*ask.find("stateName"), Value("deferred"));
  EXPECT_EQ(*ask.find("generation"), Value(1));
  EXPECT_TRUE(ask.find("transactionIdentifier")->is_null());
  const Value& coins = list.as_list()[1];
  EXPECT_EQ(*coins.find("transactionIdentifier"), Value(std::to_string(coins.find("id")->as_int())));
  EXPECT_EQ(*list.as_list()[2].find("generation"), Value(2));

  EXPECT_EQ(Ok("approveTransaction", ValueMap{{"id", *ask.find("id")}}), *ask.find("id"));
  EXPECT_EQ(Ok("failTransaction", ValueMap{{"productIdentifier", "slow"}}), *list.as_list()[2].find("id"));
  Value pushed = Ok("pushTransactionUpdate", ValueMap{{"productIdentifier", "monthly"}, {"verified", false}});
  ASSERT_TRUE(pushed.is_int());
  EXPECT_FALSE(h_.second().AllTransactions().back().verified);
  EXPECT_EQ(Ok("revokeTransaction", ValueMap{{"id", pushed}}), pushed);
  EXPECT_TRUE(Ok("postStorePurchase", ValueMap{{"productIdentifier", "lifetime"}}).is_null());
  h_.dispatch().RunUntilIdle();
  EXPECT_EQ(observer_.kinds().back(), "shouldAdd");
  EXPECT_EQ(h_.queue().Transactions()[0].state, 1);
}

TEST_F(ControlsTest, FailuresCanBeArrangedWithTheirError) {
  Ok("failNextRestore", ValueMap{{"code", 9}, {"domain", "Test"}, {"message", "no restore today"}});
  h_.queue().RestoreCompletedTransactions(std::nullopt);
  h_.dispatch().RunUntilIdle();
  ASSERT_EQ(observer_.kinds(), std::vector<std::string>{"restoreFailed"});
  EXPECT_EQ(observer_.reports[0].error->code, 9);
  EXPECT_EQ(observer_.reports[0].error->domain, "Test");
  EXPECT_EQ(observer_.reports[0].error->localized_description, "no restore today");

  Ok("failNext", ValueMap{{"operation", "sync"}});
  EXPECT_TRUE(h_.second().Sync());
  Ok("failNextRequest");
  RecordingRequestDelegate delegate;
  auto request = h_.store().CreateProductsRequest({"coins"});
  request->SetDelegate(&delegate);
  request->Start();
  h_.dispatch().RunUntilIdle();
  EXPECT_EQ(delegate.events, std::vector<std::string>{"failed"});

  h_.queue().AddPayment(PaymentFor("slow"));
  Ok("failTransaction", ValueMap{{"productIdentifier", "slow"}, {"code", 2}});
  EXPECT_EQ(h_.queue().Transactions()[0].error->code, 2);
  EXPECT_EQ(h_.queue().Transactions()[0].error->domain, "SKErrorDomain");
}

TEST_F(ControlsTest, BadArgumentsAndRefusalsAreClearErrors) {
  struct Case {
    const char* method;
    Value args;
    const char* code;
    const char* message;
  };
  const Case cases[] = {
      {"approveTransaction", Value(), "bad_args", R"(give "id" (integer) or "productIdentifier" (string))"},
      {"approveTransaction", ValueMap{{"id", "12"}}, "bad_args", R"("id" must be an integer)"},
      {"approveTransaction", ValueMap{{"id", -3}}, "bad_args", R"("id" must be a positive integer)"},
      {"deferTransaction", Value(ValueList{}), "bad_args", "arguments must be a map with string keys"},
      {"postStorePurchase", ValueMap{}, "bad_args", R"("productIdentifier" is missing)"},
      {"pushTransactionUpdate", ValueMap{{"productIdentifier", "coins"}, {"verified", 1}}, "bad_args",
       R"("verified" must be true or false)"},
      {"failNext", ValueMap{{"operation", "everything"}}, "bad_args", R"(unknown "operation" "everything")"},
      {"failNextRequest", ValueMap{{"code", "x"}}, "bad_args", R"("code" must be an integer)"},
      {"revokeTransaction", ValueMap{}, "bad_args", R"("id" is missing)"},
      {"approveTransaction", ValueMap{{"id", 77}}, "store_refused", "no purchase 77"},
      {"approveTransaction", ValueMap{{"productIdentifier", "coins"}}, "store_refused",
       R"(no waiting purchase of "coins")"},
      {"postStorePurchase", ValueMap{{"productIdentifier", "zzz"}}, "store_refused", R"(no product "zzz")"},
      {"revokeTransaction", ValueMap{{"id", 77}}, "store_refused", "no transaction 77"},
  };
  for (const Case& c : cases) {
    FlutterError e = Err(c.method, c.args);
    EXPECT_EQ(e.code, c.code) << c.method;
    EXPECT_EQ(e.message, c.message) << c.method;
  }
  EXPECT_EQ(Err("noSuchControl").code, "(none)");  // not implemented
  // Nothing changed on the way.
  EXPECT_TRUE(h_.store().PendingPurchases().empty());
  EXPECT_TRUE(h_.second().AllTransactions().empty());
}

}  // namespace
}  // namespace kelvo
