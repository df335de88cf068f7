#include "services/store/messages.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "services/store/messages_test_util.h"

namespace kelvo {
namespace {

using Bytes = std::vector<uint8_t>;

const StandardCodec& Codec() { return FIAGetMessagesCodec(); }

Result<Value> Decode(const Bytes& bytes) { return Codec().Decode(bytes); }

// ---- Samples with every field set ----

FIASKPriceLocaleMessage Locale() { return {"$", "USD", "US"}; }

FIASKProductSubscriptionPeriodMessage Period() {
  return {3, FIASKSubscriptionPeriodUnitMessage::month};
}

FIASKProductDiscountMessage Discount() {
  return {"0.99",
          std::make_shared<const FIASKPriceLocaleMessage>(Locale()),
          2,
          FIASKProductDiscountPaymentModeMessage::freeTrial,
          std::make_shared<const FIASKProductSubscriptionPeriodMessage>(Period()),
          "intro-1",
          FIASKProductDiscountTypeMessage::subscription};
}

FIASKProductMessage Product() {
  return {"net.kelvo.pro",
          "Kelvo Pro",
          "Every server, every device — sin límites",
          std::make_shared<const FIASKPriceLocaleMessage>(Locale()),
          "group.pro",
          "4.99",
          std::make_shared<const FIASKProductSubscriptionPeriodMessage>(Period()),
          std::make_shared<const FIASKProductDiscountMessage>(Discount()),
          std::vector<FIASKProductDiscountMessage>{Discount(), FIASKProductDiscountMessage{}}};
}

FIASKProductsResponseMessage Response() {
  return {std::vector<FIASKProductMessage>{Product(), FIASKProductMessage{}},
          std::vector<std::string>{"net.kelvo.gone", ""}};
}

FIASKPaymentDiscountMessage PaymentDiscount() {
  // A timestamp beyond 32 bits travels as an int64.
  return {"promo", "key-1", "3F2504E0-4F89-11D3-9A0C-0305E82C3301", "c2ln", 1700000000123};
}

FIASKPaymentMessage Payment() {
  return {"net.kelvo.pro",
          "user-7",
          "{\"a\":1}",
          2,
          true,
          std::make_shared<const FIASKPaymentDiscountMessage>(PaymentDiscount())};
}

FIASKErrorMessage Error() {
  return {-1001, "SKErrorDomain",
          ValueMap{{"NSLocalizedDescription", "Cannot connect"},
                   {"nested", Value(ValueList{Value(1), Value(2.5), Value("x")})},
                   {"inner", Value(ValueMap{{"code", 3}})}}};
}

FIASKPaymentTransactionMessage Transaction() {
  FIASKPaymentTransactionMessage original{std::make_shared<const FIASKPaymentMessage>(Payment()),
                                          FIASKPaymentTransactionStateMessage::purchased,
                                          nullptr,
                                          1600000000.0,
                                          "1000",
                                          nullptr};
  return {std::make_shared<const FIASKPaymentMessage>(Payment()),
          FIASKPaymentTransactionStateMessage::restored,
          std::make_shared<const FIASKPaymentTransactionMessage>(original),
          1700000000.25,
          "1001",
          std::make_shared<const FIASKErrorMessage>(Error())};
}

FIASKStorefrontMessage Storefront() { return {"US", "USA"}; }

TEST(FIAMessagesCodecTest, EnumerationBoxesTravelAsTagAndNumber) {
  // The boxes on their own.
  const FIASKPaymentTransactionStateMessageBox state(FIASKPaymentTransactionStateMessage::deferred);
  const FIASKProductDiscountTypeMessageBox type(FIASKProductDiscountTypeMessage::subscription);
  const FIASKProductDiscountPaymentModeMessageBox mode(
      FIASKProductDiscountPaymentModeMessage::payUpFront);
  const FIASKSubscriptionPeriodUnitMessageBox unit(FIASKSubscriptionPeriodUnitMessage::year);
  const Value boxes(ValueList{state.ToValue(), type.ToValue(), mode.ToValue(), unit.ToValue()});
  const Bytes bytes = Codec().Encode(boxes);
  EXPECT_EQ(bytes, (Bytes{12, 4,   129, 3, 4, 0, 0, 0,   130, 3, 1, 0, 0,
                          0,  131, 3,   1, 0, 0, 0, 132, 3,   3, 0, 0, 0}));
  Result<Value> decoded = Decode(bytes);
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(FIASKPaymentTransactionStateMessageBox::FromValue(decoded.value().as_list()[0]), state);
  EXPECT_EQ(FIASKSubscriptionPeriodUnitMessageBox::FromValue(decoded.value().as_list()[3]), unit);
  // A box of one enumeration is not read as another.
  EXPECT_EQ(FIASKProductDiscountTypeMessageBox::FromValue(decoded.value().as_list()[0]),
            std::nullopt);
}

TEST(FIAMessagesCodecTest, WireFormIsTagThenFieldList) {
  // 137, list of 2, "US", null.
  EXPECT_EQ(Codec().Encode(FIASKStorefrontMessage{"US", std::nullopt}.ToValue()),
            (Bytes{137, 12, 2, 7, 2, 'U', 'S', 0}));
  // Standard values pass through untouched.
  const Value plain(ValueMap{{"productIdentifier", "p"}, {"quantity", 2}});
  EXPECT_EQ(Codec().Encode(plain), StandardCodec::Instance().Encode(plain));
  // A typed reply: the one-element list around the record list.
  const Value reply(ValueList{Value(ValueList{Transaction().ToValue()})});
  Result<Value> decoded = Decode(Codec().Encode(reply));
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded.value(), reply);
}

TEST(FIAMessagesCodecTest, NullsAndShortListsReadAsAbsent) {
  // A box tag followed by null is no box at all.
  Result<Value> no_box = Decode(Bytes{129, 0});
  ASSERT_TRUE(no_box.ok());
  EXPECT_TRUE(no_box.value().is_null());

  // A message tag followed by null: object fields absent, numbers zero.
  Result<Value> empty = Decode(Bytes{134, 0});
  ASSERT_TRUE(empty.ok()) << empty.error().message;
  std::optional<FIASKPaymentMessage> payment = FIASKPaymentMessage::FromValue(empty.value());
  ASSERT_TRUE(payment.has_value());
  EXPECT_EQ(payment->productIdentifier, std::nullopt);
  EXPECT_EQ(payment->quantity, 0);
  EXPECT_FALSE(payment->simulatesAskToBuyInSandbox);
  EXPECT_EQ(payment->paymentDiscount, nullptr);
  // ...and it is normalised to the full list of nulls and zeros.
  EXPECT_EQ(empty.value(), FIASKPaymentMessage{}.ToValue());

  // Null elements: absent, 0, false, member 0 (a null box inside the list).
  Result<Value> nulls = Decode(Bytes{133, 12, 6, 0, 129, 0, 0, 0, 0, 0});
  ASSERT_TRUE(nulls.ok()) << nulls.error().message;
  auto transaction = FIASKPaymentTransactionMessage::FromValue(nulls.value());
  ASSERT_TRUE(transaction.has_value());
  EXPECT_EQ(transaction->transactionState, FIASKPaymentTransactionStateMessage::purchasing);
  EXPECT_EQ(transaction->transactionTimeStamp, std::nullopt);
  EXPECT_TRUE(*transaction == FIASKPaymentTransactionMessage{});

  // A short list reads its missing tail as null; extra elements are dropped.
  Result<Value> short_list = Decode(Bytes{140, 12, 1, 7, 1, '$'});
  ASSERT_TRUE(short_list.ok());
  EXPECT_TRUE(*FIASKPriceLocaleMessage::FromValue(short_list.value()) ==
              (FIASKPriceLocaleMessage{"$", std::nullopt, std::nullopt}));
  Result<Value> long_list = Decode(Bytes{137, 12, 3, 7, 1, 'A', 0, 3, 9, 0, 0, 0});
  ASSERT_TRUE(long_list.ok());
  EXPECT_EQ(long_list.value(), (FIASKStorefrontMessage{"A", std::nullopt}.ToValue()));

  // nullableFromList: nothing for null, the record for a list.
  EXPECT_EQ(FIASKStorefrontMessage::nullableFromList(Value()), std::nullopt);
  EXPECT_TRUE(FIASKStorefrontMessage::nullableFromList(Value(ValueList{})) ==
              FIASKStorefrontMessage{});

  // An integer where the timestamp's double belongs reads as that number.
  Result<Value> int_time = Decode(Bytes{133, 12, 4, 0, 0, 0, 3, 5, 0, 0, 0});
  ASSERT_TRUE(int_time.ok());
  EXPECT_EQ(FIASKPaymentTransactionMessage::FromValue(int_time.value())->transactionTimeStamp, 5.0);
}

TEST(FIAMessagesCodecTest, NumbersOutsideTheMembersAreKept) {
  // A box holds any number; the message keeps it rather than guessing.
  Result<Value> odd = Decode(Bytes{142, 12, 2, 3, 1, 0, 0, 0, 132, 3, 9, 0, 0, 0});
  ASSERT_TRUE(odd.ok());
  auto period = FIASKProductSubscriptionPeriodMessage::FromValue(odd.value());
  ASSERT_TRUE(period.has_value());
  EXPECT_EQ(static_cast<uint64_t>(period->unit), 9u);
  EXPECT_EQ(period->description(),
            "FIASKProductSubscriptionPeriodMessage(numberOfUnits: 1, unit: 9)");
  EXPECT_EQ(Codec().Encode(period->ToValue()), Codec().Encode(odd.value()));
}

TEST(FIAMessagesCodecTest, WrongTypesAreDecodeErrors) {
  const std::vector<std::pair<Bytes, std::string>> cases = {
      // quantity as a string
      {{134, 12, 4, 0, 0, 0, 7, 1, '2'}, "FIASKPaymentMessage.quantity"},
      // productIdentifier as an integer
      {{134, 12, 1, 3, 1, 0, 0, 0}, "FIASKPaymentMessage.productIdentifier"},
      // flag as an integer
      {{134, 12, 5, 0, 0, 0, 3, 1, 0, 0, 0, 3, 1, 0, 0, 0}, "simulatesAskToBuyInSandbox"},
      // the state in a box of another enumeration
      {{133, 12, 2, 0, 130, 3, 1, 0, 0, 0}, "FIASKPaymentTransactionMessage.transactionState"},
      // the state as a bare integer
      {{133, 12, 2, 0, 3, 1, 0, 0, 0}, "transactionState"},
      // a nested record of the wrong type
      {{133, 12, 1, 137, 0}, "FIASKPaymentTransactionMessage.payment"},
      // a product list holding a string, and a null
      {{138, 12, 1, 12, 1, 7, 1, 'p'}, "FIASKProductsResponseMessage.products"},
      {{138, 12, 1, 12, 1, 0}, "FIASKProductsResponseMessage.products"},
      // invalid identifiers holding a number
      {{138, 12, 2, 0, 12, 1, 3, 1, 0, 0, 0}, "invalidProductIdentifiers"},
      // userInfo that is a list
      {{135, 12, 3, 3, 1, 0, 0, 0, 0, 12, 0}, "FIASKErrorMessage.userInfo"},
      // a message tag followed by something that is neither a list nor null
      {{137, 7, 1, 'x'}, "FIASKStorefrontMessage"},
      // a box holding a string
      {{129, 7, 1, 'x'}, "box 129"},
      // tags that are not ours
      {{128, 0}, "unknown type byte 128"},
      {{143, 12, 0}, "unknown type byte 143"},
  };
  for (const auto& [bytes, expected] : cases) {
    Result<Value> decoded = Decode(bytes);
    ASSERT_FALSE(decoded.ok()) << expected << ": " << decoded.value().DebugString();
    EXPECT_NE(decoded.error().message.find(expected), std::string::npos) << decoded.error().message;
  }
  // Truncated input never reads past the end.
  const Bytes full = Codec().Encode(Transaction().ToValue());
  for (size_t n = 0; n < full.size(); ++n) {
    EXPECT_FALSE(Codec().Decode(std::span<const uint8_t>(full.data(), n)).ok()) << n;
  }
  // FromValue refuses the same shapes when they are built by hand.
  EXPECT_EQ(FIASKPaymentMessage::FromValue(Value::Custom(134, Value(ValueList{Value(1)}))),
            std::nullopt);
  EXPECT_EQ(FIASKPaymentMessage::FromValue(Value::Custom(134, Value("x"))), std::nullopt);
  EXPECT_EQ(FIASKPaymentMessage::FromValue(Storefront().ToValue()), std::nullopt);
}

TEST(FIAMessagesCodecTest, CodecIsOneSharedInstance) {
  std::vector<const StandardCodec*> seen(4);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = &FIAGetMessagesCodec(); });
  }
  for (auto& t : threads) t.join();
  for (const StandardCodec* codec : seen) EXPECT_EQ(codec, &FIAGetMessagesCodec());
}

// ---- Deep equality and hashing ----

TEST(FLTPigeonDeepTest, NumbersFollowTheDeepRules) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(FLTPigeonDeepEquals(Value(nan), Value(-nan)));
  EXPECT_EQ(FLTPigeonDeepHash(Value(nan)), 0x7FF8000000000000ULL);
  EXPECT_EQ(FLTPigeonDeepHash(Value(-nan)), 0x7FF8000000000000ULL);
  EXPECT_TRUE(FLTPigeonDeepEquals(Value(-0.0), Value(0.0)));
  EXPECT_EQ(FLTPigeonDeepHash(Value(-0.0)), FLTPigeonDeepHash(Value(0.0)));
  EXPECT_EQ(FLTPigeonNumberHash(0.0), 0u);
  EXPECT_NE(FLTPigeonNumberHash(1.0), FLTPigeonNumberHash(2.0));
  // Integers and doubles are numbers alike; booleans are not numbers.
  EXPECT_TRUE(FLTPigeonDeepEquals(Value(1), Value(1.0)));
  EXPECT_EQ(FLTPigeonDeepHash(Value(1)), FLTPigeonDeepHash(Value(1.0)));
  EXPECT_FALSE(FLTPigeonDeepEquals(Value(1), Value(1.5)));
  EXPECT_FALSE(FLTPigeonDeepEquals(Value(true), Value(1)));
  // Neighbouring large integers stay apart even though they share a double.
  const int64_t big = (int64_t{1} << 53) + 1;
  EXPECT_FALSE(FLTPigeonDeepEquals(Value(big), Value(static_cast<double>(big))));
  EXPECT_FALSE(FLTPigeonDeepEquals(Value(big), Value(big - 1)));
  EXPECT_FALSE(FLTPigeonDeepEquals(Value(std::numeric_limits<int64_t>::max()), Value(9.3e18)));
  EXPECT_FALSE(FLTPigeonDeepEquals(Value(0), Value(nan)));
  // Null equals only null.
  EXPECT_TRUE(FLTPigeonDeepEquals(Value(), Value()));
  EXPECT_FALSE(FLTPigeonDeepEquals(Value(), Value("")));
  EXPECT_EQ(FLTPigeonDeepHash(Value()), 0u);
}

TEST(FLTPigeonDeepTest, CollectionsCompareDeeply) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Value a(ValueMap{{"x", 1}, {"y", Value(ValueList{Value(nan), Value(-0.0)})}, {"z", "t"}});
  const Value b(ValueMap{{"z", "t"}, {"y", Value(ValueList{Value(nan), Value(0.0)})}, {"x", 1.0}});
  EXPECT_TRUE(FLTPigeonDeepEquals(a, b));
  EXPECT_TRUE(FLTPigeonDeepEquals(b, a));
  EXPECT_EQ(FLTPigeonDeepHash(a), FLTPigeonDeepHash(b));

  // Same count, but a key of `a` has no partner in `c`.
  const Value c(ValueMap{{"x", 1}, {"y", 2}, {"w", "t"}});
  EXPECT_FALSE(FLTPigeonDeepEquals(a, c));
  // A missing entry.
  EXPECT_FALSE(FLTPigeonDeepEquals(Value(ValueMap{{"x", 1}}), Value(ValueMap{})));
  // Equal keys, different values.
  EXPECT_FALSE(FLTPigeonDeepEquals(Value(ValueMap{{"x", 1}}), Value(ValueMap{{"x", 2}})));
  // Keys match deeply too: 1 and 1.0 are the same key.
  EXPECT_TRUE(FLTPigeonDeepEquals(Value(ValueMap{{1, "v"}}), Value(ValueMap{{1.0, "v"}})));

  // Lists keep their order.
  EXPECT_FALSE(FLTPigeonDeepEquals(Value(ValueList{Value(1), Value(2)}),
                                   Value(ValueList{Value(2), Value(1)})));
  EXPECT_NE(FLTPigeonDeepHash(Value(ValueList{Value(1), Value(2)})),
            FLTPigeonDeepHash(Value(ValueList{Value(2), Value(1)})));
  EXPECT_FALSE(FLTPigeonDeepEquals(Value(ValueList{Value(1)}), Value(ValueList{})));
  // Tagged values compare their payloads deeply.
  EXPECT_TRUE(FLTPigeonDeepEquals(Value::Custom(140, Value(ValueList{Value(-0.0)})),
                                  Value::Custom(140, Value(ValueList{Value(0.0)}))));
  EXPECT_FALSE(FLTPigeonDeepEquals(Value::Custom(140, Value()), Value::Custom(141, Value())));
}

TEST(FIAMessageEqualityTest, MessagesUseTheDeepRules) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  FIASKPaymentTransactionMessage a = Transaction();
  FIASKPaymentTransactionMessage b = Transaction();
  a.transactionTimeStamp = nan;
  b.transactionTimeStamp = -nan;
  EXPECT_TRUE(a == b);
  EXPECT_EQ(a.hash(), b.hash());
  a.transactionTimeStamp = -0.0;
  b.transactionTimeStamp = 0.0;
  EXPECT_TRUE(a == b);
  EXPECT_EQ(a.hash(), b.hash());

  // User-info maps in another order, nested one level down.
  FIASKErrorMessage reordered = Error();
  const std::vector<ValueMap::Entry>& entries = reordered.userInfo->entries();
  ValueMap info;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) info.append(it->first, it->second);
  reordered.userInfo = info;
  b.error = std::make_shared<const FIASKErrorMessage>(reordered);
  EXPECT_TRUE(a == b);
  EXPECT_EQ(a.hash(), b.hash());

  // Each kind of field difference is seen, down the nesting.
  auto differs = [&](auto change) {
    FIASKPaymentTransactionMessage c = Transaction();
    change(c);
    EXPECT_FALSE(c == Transaction()) << c.description();
    EXPECT_NE(c.hash(), Transaction().hash());
  };
  differs([](auto& c) { c.transactionState = FIASKPaymentTransactionStateMessage::failed; });
  differs([](auto& c) { c.transactionIdentifier = std::nullopt; });
  differs([](auto& c) { c.transactionTimeStamp = std::nullopt; });
  differs([](auto& c) { c.error = nullptr; });
  differs([](auto& c) {
    FIASKPaymentMessage p = Payment();
    p.simulatesAskToBuyInSandbox = false;
    c.payment = std::make_shared<const FIASKPaymentMessage>(p);
  });
  differs([](auto& c) {
    FIASKPaymentTransactionMessage o = *c.originalTransaction;
    o.transactionIdentifier = "999";
    c.originalTransaction = std::make_shared<const FIASKPaymentTransactionMessage>(o);
  });
  // An absent string is not the empty string.
  EXPECT_FALSE(FIASKStorefrontMessage{} == (FIASKStorefrontMessage{"", ""}));
  // Lists compare element by element.
  FIASKProductsResponseMessage r = Response();
  std::swap((*r.products)[0], (*r.products)[1]);
  EXPECT_FALSE(r == Response());
  EXPECT_NE(r.hash(), Response().hash());
  // Hashes start from the type: equal field lists of two types differ.
  EXPECT_NE(FIASKStorefrontMessage{}.hash(), FIASKPriceLocaleMessage{}.hash());
}

// ---- Descriptions ----

TEST(FIAMessageDescriptionTest, FormatsFollowTheFieldOrder) {
  FIASKPaymentTransactionMessage t;
  t.transactionState = FIASKPaymentTransactionStateMessage::deferred;
  t.transactionTimeStamp = 1.5;
  EXPECT_EQ(t.description(),
            "FIASKPaymentTransactionMessage(payment: (null), transactionState: 4, "
            "originalTransaction: (null), transactionTimeStamp: 1.5, transactionIdentifier: "
            "(null), error: (null))");
  EXPECT_EQ(FIASKErrorMessage({7, "d", ValueMap{{"k", Value(ValueList{Value(1), Value()})}}})
                .description(),
            "FIASKErrorMessage(code: 7, domain: d, userInfo: {k: [1, (null)]})");
  FIASKProductsResponseMessage r;
  r.products = std::vector<FIASKProductMessage>{};
  r.invalidProductIdentifiers = std::vector<std::string>{"a", "b"};
  EXPECT_EQ(r.description(),
            "FIASKProductsResponseMessage(products: [], invalidProductIdentifiers: [a, b])");
}

// ---- Pinned wire form ----

TEST(FIAMessagesGoldenTest, EveryRecordFullAndEmptyIsPinned) {
  ExpectGolden(Codec(), Locale(), "8c0c03070124070355534407025553", 0xb05e8593a564f8f6ULL,
               "FIASKPriceLocaleMessage(currencySymbol: $, currencyCode: USD, "
               "countryCode: US)");
  ExpectGolden(Codec(), FIASKPriceLocaleMessage{}, "8c0c03000000", 0x66637e275a1f5011ULL,
               "FIASKPriceLocaleMessage(currencySymbol: (null), currencyCode: (null), "
               "countryCode: (null))");
  ExpectGolden(Codec(), Period(), "8e0c020303000000840302000000", 0x251eb450b68d6cc7ULL,
               "FIASKProductSubscriptionPeriodMessage(numberOfUnits: 3, unit: 2)");
  ExpectGolden(Codec(), FIASKProductSubscriptionPeriodMessage{}, "8e0c020300000000840300000000",
               0x2426b450b68d6cc7ULL,
               "FIASKProductSubscriptionPeriodMessage(numberOfUnits: 0, unit: 0)");
  ExpectGolden(Codec(), Discount(),
               "8d0c070704302e39398c0c0307012407035553440702555303020000008303020000008e"
               "0c0203030000008403020000000707696e74726f2d31820301000000",
               0x5c7e5c742602c065ULL,
               "FIASKProductDiscountMessage(price: 0.99, priceLocale: " + Locale().description() +
                   ", numberOfPeriods: 2, paymentMode: 2, subscriptionPeriod: " +
                   Period().description() + ", identifier: intro-1, type: 1)");
  ExpectGolden(Codec(), FIASKProductDiscountMessage{},
               "8d0c07000003000000008303000000000000820300000000", 0x387d4691f76af4eeULL,
               "FIASKProductDiscountMessage(price: (null), priceLocale: (null), "
               "numberOfPeriods: 0, paymentMode: 0, subscriptionPeriod: (null), "
               "identifier: (null), type: 0)");
  ExpectGolden(Codec(), Product(),
               "8b0c09070d6e65742e6b656c766f2e70726f07094b656c766f2050726f072b4576657279"
               "207365727665722c2065766572792064657669636520e280942073696e206cc3ad6d6974"
               "65738c0c03070124070355534407025553070967726f75702e70726f0704342e39398e0c"
               "0203030000008403020000008d0c070704302e39398c0c03070124070355534407025553"
               "03020000008303020000008e0c0203030000008403020000000707696e74726f2d318203"
               "010000000c028d0c070704302e39398c0c03070124070355534407025553030200000083"
               "03020000008e0c0203030000008403020000000707696e74726f2d318203010000008d0c"
               "07000003000000008303000000000000820300000000",
               0xd3f575ad2ce458c2ULL,
               "FIASKProductMessage(productIdentifier: net.kelvo.pro, "
               "localizedTitle: Kelvo Pro, localizedDescription: Every server, "
               "every device — sin límites, priceLocale: " + Locale().description() +
                   ", subscriptionGroupIdentifier: group.pro, price: 4.99, subscriptionPeriod: " +
                   Period().description() + ", introductoryPrice: " + Discount().description() +
                   ", discounts: [" + Discount().description() + ", " +
                   FIASKProductDiscountMessage{}.description() + "])");
  ExpectGolden(Codec(), FIASKProductMessage{}, "8b0c09000000000000000000", 0xc359824297e080d9ULL,
               "FIASKProductMessage(productIdentifier: (null), localizedTitle: (null), "
               "localizedDescription: (null), priceLocale: (null), "
               "subscriptionGroupIdentifier: (null), price: (null), "
               "subscriptionPeriod: (null), introductoryPrice: (null), discounts: (null))");
  ExpectGolden(Codec(), Response(),
               "8a0c020c028b0c09070d6e65742e6b656c766f2e70726f07094b656c766f2050726f072b"
               "4576657279207365727665722c2065766572792064657669636520e280942073696e206c"
               "c3ad6d697465738c0c03070124070355534407025553070967726f75702e70726f070434"
               "2e39398e0c0203030000008403020000008d0c070704302e39398c0c0307012407035553"
               "440702555303020000008303020000008e0c0203030000008403020000000707696e7472"
               "6f2d318203010000000c028d0c070704302e39398c0c0307012407035553440702555303"
               "020000008303020000008e0c0203030000008403020000000707696e74726f2d31820301"
               "0000008d0c070000030000000083030000000000008203000000008b0c09000000000000"
               "0000000c02070e6e65742e6b656c766f2e676f6e650700",
               0x465868d475415159ULL,
               "FIASKProductsResponseMessage(products: [" + Product().description() + ", " +
                   FIASKProductMessage{}.description() +
                   "], invalidProductIdentifiers: [net.kelvo.gone, ])");
  ExpectGolden(Codec(), FIASKProductsResponseMessage{}, "8a0c020000", 0x9c783b4a9798a469ULL,
               "FIASKProductsResponseMessage(products: (null), "
               "invalidProductIdentifiers: (null))");
  ExpectGolden(Codec(), PaymentDiscount(),
               "880c05070570726f6d6f07056b65792d31072433463235303445302d344638392d313144"
               "332d394130432d303330354538324333333031070463326c6e047b68e5cf8b010000",
               0xe0a429685d7de82fULL,
               "FIASKPaymentDiscountMessage(identifier: promo, keyIdentifier: key-1, "
               "nonce: 3F2504E0-4F89-11D3-9A0C-0305E82C3301, signature: c2ln, "
               "timestamp: 1700000000123)");
  ExpectGolden(Codec(), FIASKPaymentDiscountMessage{}, "880c05000000000300000000",
               0xf4e3a4a016111c13ULL,
               "FIASKPaymentDiscountMessage(identifier: (null), keyIdentifier: (null), "
               "nonce: (null), signature: (null), timestamp: 0)");
  ExpectGolden(Codec(), Payment(),
               "860c06070d6e65742e6b656c766f2e70726f0706757365722d3707077b2261223a317d03"
               "0200000001880c05070570726f6d6f07056b65792d31072433463235303445302d344638"
               "392d313144332d394130432d303330354538324333333031070463326c6e047b68e5cf8b"
               "010000",
               0xf22f8305b9c54f38ULL,
               "FIASKPaymentMessage(productIdentifier: net.kelvo.pro, "
               "applicationUsername: user-7, requestData: {\"a\":1}, quantity: 2, "
               "simulatesAskToBuyInSandbox: true, paymentDiscount: " +
                   PaymentDiscount().description() + ")");
  ExpectGolden(Codec(), FIASKPaymentMessage{}, "860c0600000003000000000200", 0x2c525eea7f231994ULL,
               "FIASKPaymentMessage(productIdentifier: (null), "
               "applicationUsername: (null), requestData: (null), quantity: 0, "
               "simulatesAskToBuyInSandbox: false, paymentDiscount: (null))");
  ExpectGolden(Codec(), Error(),
               "870c030317fcffff070d534b4572726f72446f6d61696e0d0307164e534c6f63616c697a"
               "65644465736372697074696f6e070e43616e6e6f7420636f6e6e65637407066e65737465"
               "640c030301000000060000000000000000000000000004400701780705696e6e65720d01"
               "0704636f64650303000000",
               0x12c3501ef00605afULL,
               "FIASKErrorMessage(code: -1001, domain: SKErrorDomain, "
               "userInfo: {NSLocalizedDescription: Cannot connect, nested: [1, 2.5, x], "
               "inner: {code: 3}})");
  ExpectGolden(Codec(), FIASKErrorMessage{}, "870c0303000000000000", 0x2ad94529613d6dfcULL,
               "FIASKErrorMessage(code: 0, domain: (null), userInfo: (null))");
  ExpectGolden(Codec(), Transaction(),
               "850c06860c06070d6e65742e6b656c766f2e70726f0706757365722d3707077b2261223a"
               "317d030200000001880c05070570726f6d6f07056b65792d31072433463235303445302d"
               "344638392d313144332d394130432d303330354538324333333031070463326c6e047b68"
               "e5cf8b010000810303000000850c06860c06070d6e65742e6b656c766f2e70726f070675"
               "7365722d3707077b2261223a317d030200000001880c05070570726f6d6f07056b65792d"
               "31072433463235303445302d344638392d313144332d394130432d303330354538324333"
               "333031070463326c6e047b68e5cf8b010000810301000000000600000000000000000000"
               "84d7d741070431303030000600001040fc54d941070431303031870c030317fcffff070d"
               "534b4572726f72446f6d61696e0d0307164e534c6f63616c697a65644465736372697074"
               "696f6e070e43616e6e6f7420636f6e6e65637407066e65737465640c0303010000000600"
               "00000000000004400701780705696e6e65720d010704636f64650303000000",
               0xac6d92cb3d6fc19cULL,
               "FIASKPaymentTransactionMessage(payment: " + Payment().description() +
                   ", transactionState: 3, originalTransaction: "
                   "FIASKPaymentTransactionMessage(payment: " + Payment().description() +
                   ", transactionState: 1, originalTransaction: (null), "
                   "transactionTimeStamp: 1.6e+09, transactionIdentifier: 1000, error: (null)), "
                   "transactionTimeStamp: 1700000000.25, transactionIdentifier: 1001, error: " +
                   Error().description() + ")");
  ExpectGolden(Codec(), FIASKPaymentTransactionMessage{}, "850c060081030000000000000000",
               0x9f1e72e37374a85aULL,
               "FIASKPaymentTransactionMessage(payment: (null), transactionState: 0, "
               "originalTransaction: (null), transactionTimeStamp: (null), "
               "transactionIdentifier: (null), error: (null))");
  ExpectGolden(Codec(), Storefront(), "890c02070255530703555341", 0x57be218f3552cf7bULL,
               "FIASKStorefrontMessage(countryCode: US, identifier: USA)");
  ExpectGolden(Codec(), FIASKStorefrontMessage{}, "890c020000", 0xd8dcf186577e22ecULL,
               "FIASKStorefrontMessage(countryCode: (null), identifier: (null))");
}

}  // namespace
}  // namespace kelvo
