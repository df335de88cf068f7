// What the user interface sees of the store's objects: the messages, the
// callback maps and the user-info encoding.
#include "services/store/object_translator.h"

#include <gtest/gtest.h>

#include "services/store/callback_maps.h"
#include "services/store/testing/fake_store_kit.h"
#include "services/store/user_info_encoding.h"

namespace kelvo {
namespace {

using testing::MakeProduct;
using testing::MakeTransaction;

StoreOffer MakeOffer(uint64_t payment_mode, uint64_t type, uint64_t unit) {
  StoreOffer offer;
  offer.price = "1.99";
  offer.price_locale = {"de_DE", "€", "EUR", "DE"};
  offer.number_of_periods = 3;
  offer.payment_mode = payment_mode;
  offer.discount_type = type;
  offer.period = {2, unit};
  return offer;
}

TEST(ObjectTranslatorTest, FoldsStoreNumbersOutsideTheKnownMembers) {
  using State = FIASKPaymentTransactionStateMessage;
  const std::pair<int64_t, State> states[] = {
      {0, State::purchasing}, {1, State::purchased},  {2, State::failed},     {3, State::restored},
      {4, State::deferred},   {5, State::purchasing}, {-1, State::purchasing}};
  for (const auto& [raw, expected] : states) {
    EXPECT_EQ(FIAObjectTranslator::convertTransactionStateToPigeon(raw), expected) << raw;
  }
  using Mode = FIASKProductDiscountPaymentModeMessage;
  using Type = FIASKProductDiscountTypeMessage;
  using Unit = FIASKSubscriptionPeriodUnitMessage;
  const std::tuple<uint64_t, Mode, uint64_t, Type, uint64_t, Unit> offers[] = {
      {0, Mode::payAsYouGo, 0, Type::introductory, 0, Unit::day},
      {1, Mode::payUpFront, 1, Type::subscription, 1, Unit::week},
      {2, Mode::freeTrial, 7, Type::subscription, 2, Unit::month},
      {9, Mode::freeTrial, 0, Type::introductory, 3, Unit::year},
      {0, Mode::payAsYouGo, 0, Type::introductory, 4, Unit::day},
  };
  for (const auto& [mode, want_mode, type, want_type, unit, want_unit] : offers) {
    StoreOffer offer = MakeOffer(mode, type, unit);
    auto message = FIAObjectTranslator::convertProductDiscountToPigeon(&offer);
    EXPECT_EQ(message->paymentMode, want_mode) << mode;
    EXPECT_EQ(message->type, want_type) << type;
    EXPECT_EQ(message->subscriptionPeriod->unit, want_unit) << unit;
  }
}

TEST(ObjectTranslatorTest, TransactionsAndProducts) {
  StorePaymentTransaction transaction = MakeTransaction("gold", 3, "101");
  transaction.original =
      std::make_shared<StorePaymentTransaction>(MakeTransaction("gold", 1, "100"));
  transaction.date.reset();
  transaction.payment.request_data = std::vector<uint8_t>{'h', 'i'};
  transaction.payment.payment_discount = StorePaymentDiscount{"d", "k", "N", "s", 5'000'000'000};
  auto message = FIAObjectTranslator::convertTransactionToPigeon(&transaction);
  EXPECT_EQ(message->transactionTimeStamp, 0.0) << "no date gives 0";
  EXPECT_EQ(message->originalTransaction->transactionIdentifier, "100");
  EXPECT_EQ(message->originalTransaction->transactionTimeStamp, 1'700'000'000.5);
  EXPECT_EQ(message->payment->requestData, "hi");
  EXPECT_EQ(message->payment->paymentDiscount->timestamp, 5'000'000'000) << "beyond 32 bits";
  EXPECT_FALSE(message->error);
  EXPECT_EQ(FIAObjectTranslator::convertTransactionToPigeon(nullptr), nullptr);

  // Request data is text only when it is UTF-8.
  for (std::vector<uint8_t> bad : {std::vector<uint8_t>{0xFF},
                                   {0xC3},
                                   {0xC0, 0xAF},
                                   {0xED, 0xA0, 0x80},
                                   {0xF4, 0x90, 0x80, 0x80}}) {
    EXPECT_EQ(RequestDataText(bad), std::nullopt) << int(bad[0]);
  }
  EXPECT_EQ(RequestDataText(std::vector<uint8_t>{0xF0, 0x9F, 0x98, 0x80}), "\xF0\x9F\x98\x80");

  StoreProduct monthly = MakeProduct("monthly");
  monthly.promotional_offers = {MakeOffer(0, 1, 2), MakeOffer(1, 1, 3)};
  monthly.promotional_offers[1].identifier = "second";
  StoreProductsResponse response;
  response.products = {MakeProduct("one"), monthly};
  auto products = FIAObjectTranslator::convertProductsResponseToPigeon(&response);
  EXPECT_EQ(products->invalidProductIdentifiers, std::vector<std::string>{}) << "empty, not null";
  ASSERT_EQ(products->products->size(), 2u);
  EXPECT_EQ((*products->products)[1].discounts->at(1).identifier, "second");
  EXPECT_FALSE((*products->products)[1].introductoryPrice);
}

TEST(CallbackMapsTest, MapsKeepTheStoreNumbersAndNulls) {
  StorePaymentTransaction transaction = MakeTransaction("gold", 7, std::nullopt);
  transaction.date.reset();
  transaction.payment.request_data = std::vector<uint8_t>{0xFF};
  transaction.payment.payment_discount = StorePaymentDiscount{"d", "k", "n", "s", 1};
  ValueMap expected{
      {Value("error"), Value()},
      {Value("payment"), Value(ValueMap{{Value("applicationUsername"), Value()},
                                        {Value("productIdentifier"), Value("gold")},
                                        {Value("quantity"), Value(1)},
                                        {Value("requestData"), Value()},
                                        {Value("simulatesAskToBuyInSandbox"), Value(false)}})},
      {Value("originalTransaction"), Value()},
      {Value("transactionTimeStamp"), Value()},
      {Value("transactionIdentifier"), Value()},
      {Value("transactionState"), Value(7)}};
  EXPECT_EQ(TransactionMap(transaction), expected);
  StorePaymentTransaction restored = MakeTransaction("gold", 3, "2");
  restored.original = std::make_shared<StorePaymentTransaction>(transaction);
  EXPECT_EQ(*TransactionMap(restored).find("originalTransaction"), Value(expected));

  StoreOffer offer = MakeOffer(9, 5, 8);
  ValueMap discount{{Value("identifier"), Value()},
                    {Value("numberOfPeriods"), Value(3)},
                    {Value("paymentMode"), Value(9)},
                    {Value("price"), Value("1.99")},
                    {Value("subscriptionPeriod"), Value(ValueMap{{Value("numberOfUnits"), Value(2)},
                                                                 {Value("unit"), Value(8)}})},
                    {Value("type"), Value(5)},
                    {Value("priceLocale"), Value(ValueMap{{Value("currencySymbol"), Value("€")},
                                                          {Value("currencyCode"), Value("EUR")},
                                                          {Value("countryCode"), Value("DE")}})}};
  EXPECT_EQ(DiscountMap(offer), discount);
  StoreProduct product = MakeProduct("coins");
  ValueMap map = ProductMap(product);
  EXPECT_EQ(map.size(), 9u);
  EXPECT_EQ(*map.find("discounts"), Value(ValueList{})) << "empty, not null";
  EXPECT_TRUE(map.find("introductoryPrice")->is_null() &&
              map.find("subscriptionPeriod")->is_null());
  product.introductory_offer = offer;
  product.promotional_offers = {MakeOffer(0, 1, 0), offer};
  map = ProductMap(product);
  EXPECT_EQ(*map.find("introductoryPrice"), Value(discount));
  EXPECT_EQ(map.find("discounts")->as_list().at(1), Value(discount));
}

TEST(UserInfoEncodingTest, EncodesEveryKindAndNamesWhatItCannot) {
  auto text = [](StoreUserInfoValue::Kind kind, std::string s) {
    StoreUserInfoValue v;
    v.kind = kind;
    v.text = std::move(s);
    return v;
  };
  auto nested = std::make_shared<StoreError>();
  nested->code = 4;
  nested->domain = "NSURLErrorDomain";
  nested->user_info = {{"url", text(StoreUserInfoValue::Kind::kUrl, "https://example.invalid/a")}};
  StoreUserInfoValue error_value, number, list, map;
  error_value.kind = StoreUserInfoValue::Kind::kError;
  error_value.error = nested;
  number.kind = StoreUserInfoValue::Kind::kDouble;
  number.number = 2.5;
  list.kind = StoreUserInfoValue::Kind::kList;
  list.list = {number, text(StoreUserInfoValue::Kind::kOther, "NSDate")};
  map.kind = StoreUserInfoValue::Kind::kMap;
  map.map = {{"inner", list}};
  StoreError error;
  error.code = -1;
  error.user_info = {{"underlying", error_value}, {"values", map}};

  const std::string fallback =
      "Unable to encode native userInfo object of type NSDate to map. Please submit an issue at "
      "https://github.com/flutter/flutter/issues/new with the title \"[in_app_purchase_storekit] "
      "Unable to encode userInfo of type NSDate\" and add reproduction steps and the error "
      "details in the description field.";
  ValueMap expected_nested{
      {Value("code"), Value(4)},
      {Value("domain"), Value("NSURLErrorDomain")},
      {Value("userInfo"), Value(ValueMap{{Value("url"), Value("https://example.invalid/a")}})}};
  ValueMap info{{Value("underlying"), Value(expected_nested)},
                {Value("values"),
                 Value(ValueMap{{Value("inner"), Value(ValueList{Value(2.5), Value(fallback)})}})}};
  EXPECT_EQ(ErrorMap(error), (ValueMap{{Value("code"), Value(-1)},
                                       {Value("domain"), Value("")},
                                       {Value("userInfo"), Value(info)}}));
  EXPECT_EQ(FIAObjectTranslator::convertSKErrorToPigeon(&error)->userInfo, info);
}

}  // namespace
}  // namespace kelvo
