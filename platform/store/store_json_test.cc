#include "platform/store/store_json.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(StoreJsonTest, TransactionsSurviveTheRoundTripWhole) {
  StoreError inner = MakeStoreError("NSURLErrorDomain", -1009, "offline");
  StoreError error = MakeStoreError("SKErrorDomain", 2, "The payment was cancelled.");
  StoreUserInfoValue nested;
  nested.kind = StoreUserInfoValue::Kind::kError;
  nested.error = std::make_shared<const StoreError>(inner);
  StoreUserInfoValue list;
  list.kind = StoreUserInfoValue::Kind::kList;
  StoreUserInfoValue seven;
  seven.kind = StoreUserInfoValue::Kind::kInt;
  seven.integer = 7;
  StoreUserInfoValue two_and_a_half;
  two_and_a_half.kind = StoreUserInfoValue::Kind::kDouble;
  two_and_a_half.number = 2.5;
  list.list = {seven, two_and_a_half};
  error.user_info.emplace_back("NSUnderlyingError", nested);
  error.user_info.emplace_back("numbers", list);

  StorePaymentTransaction t;
  t.payment.product_identifier = "monthly";
  t.payment.application_username = "user";
  t.payment.request_data = std::vector<uint8_t>{0, 1, 0xff};
  t.payment.quantity = 3;
  t.payment.simulates_ask_to_buy_in_sandbox = true;
  t.payment.payment_discount = StorePaymentDiscount{"promo", "key", "8c4e5f6a-0000-4000-8000-000000000000", "sig", 42};
  t.state = 3;
  t.identifier = "2000000000000009";
  t.date = 1800000000.25;
  t.error = error;
  auto original = std::make_shared<StorePaymentTransaction>();
  original->payment.product_identifier = "monthly";
  original->state = 1;
  original->identifier = "2000000000000001";
  t.original = original;

  std::optional<StorePaymentTransaction> back = TransactionFromJson(TransactionToJson(t));
  ASSERT_TRUE(back);
  EXPECT_EQ(TransactionToJson(*back), TransactionToJson(t));
  EXPECT_EQ(back->payment.request_data, t.payment.request_data);
  ASSERT_TRUE(back->payment.payment_discount);
  EXPECT_EQ(back->payment.payment_discount->timestamp, 42);
  ASSERT_TRUE(back->original);
  EXPECT_EQ(back->original->identifier, "2000000000000001");
  ASSERT_TRUE(back->error);
  ASSERT_EQ(back->error->user_info.size(), 3u);
  ASSERT_TRUE(back->error->user_info[1].second.error);
  EXPECT_EQ(back->error->user_info[1].second.error->code, -1009);
  EXPECT_EQ(back->error->user_info[2].second.list[1].number, 2.5);
  EXPECT_EQ(back->error->localized_description, "The payment was cancelled.");
}

TEST(StoreJsonTest, DamagedRowsReadAsNothing) {
  using nlohmann::json;
  EXPECT_FALSE(TransactionFromJson(json::parse(R"({"state": 1})")));
  EXPECT_FALSE(TransactionFromJson(json::parse(R"({"payment": {"quantity": 1}, "state": "1"})")));
  EXPECT_FALSE(TransactionFromJson(json::parse(R"({"payment": {"quantity": 1, "requestData": "%%"}, "state": 1})")));
  EXPECT_FALSE(ErrorFromJson(json::parse(R"({"code": 1, "userInfo": [["k", {"kind": 99}]]})")));
  EXPECT_FALSE(ErrorFromJson(json::parse(R"({"code": 1, "userInfo": [["k", {"kind": 1}]]})")));
  EXPECT_FALSE(ErrorFromJson(json::parse("[]")));

  // Nesting without end does not exhaust the stack.
  json deep = json::parse(R"({"payment": {"quantity": 1}, "state": 1})");
  for (int i = 0; i < 200; ++i) deep = json{{"payment", {{"quantity", 1}}}, {"state", 1}, {"original", deep}};
  EXPECT_FALSE(TransactionFromJson(deep));
}

}  // namespace
}  // namespace kelvo
