#include "services/store/store_kit2_messages.h"

#include <gtest/gtest.h>

#include <limits>

namespace kelvo {
namespace {

using Bytes = std::vector<uint8_t>;

const StandardCodec& Codec() { return StoreKit2MessagesPigeonCodec(); }

Result<Value> Decode(const Bytes& bytes) { return Codec().Decode(bytes); }

// ---- Samples with every field set ----

SK2SubscriptionPeriodMessage Period() { return {1, SK2SubscriptionPeriodUnitMessage::month}; }

SK2SubscriptionOfferMessage Offer(SK2SubscriptionOfferTypeMessage type) {
  return {"offer-" + ToString(type),
          0.99,
          type,
          {2, SK2SubscriptionPeriodUnitMessage::week},
          3,
          SK2SubscriptionOfferPaymentModeMessage::payUpFront};
}

SK2ProductMessage Product() {
  SK2SubscriptionOfferMessage intro = Offer(SK2SubscriptionOfferTypeMessage::introductory);
  intro.id = std::nullopt;
  intro.paymentMode = SK2SubscriptionOfferPaymentModeMessage::freeTrial;
  return {"net.kelvo.pro",
          "Kelvo Pro",
          "Sin límites — every server",
          4.99,
          "$4.99",
          SK2ProductTypeMessage::autoRenewable,
          SK2SubscriptionInfoMessage{{Offer(SK2SubscriptionOfferTypeMessage::winBack),
                                      Offer(SK2SubscriptionOfferTypeMessage::promotional), intro},
                                     "group.pro",
                                     Period()},
          {"USD", "$"}};
}

SK2ProductPurchaseOptionsMessage Options() {
  return {"3F2504E0-4F89-11D3-9A0C-0305E82C3301", 2,
          SK2SubscriptionOfferPurchaseMessage{
              "promo", {"key-1", "E621E1F8-C36C-495A-93FC-0C247A3E6E5F", 1700000000123, "c2ln"}},
          "winback-1"};
}

SK2TransactionMessage Transaction() {
  return {2000000123,
          2000000001,
          "net.kelvo.pro",
          1700000000.5,
          1702592000.5,
          1,
          "3F2504E0-4F89-11D3-9A0C-0305E82C3301",
          "eyJhbGciOiJFUzI1NiJ9.e30.c2ln",
          SK2ErrorMessage{2, "StoreKit", ValueMap{{"reason", "x"}, {"n", 1.5}}},
          "{\"transactionId\":\"2000000123\"}",
          SK2PurchaseStatusMessage::restored};
}

template <typename T>
void ExpectRoundTrip(const T& record, uint8_t tag) {
  SCOPED_TRACE(record.description());
  const Bytes bytes = Codec().Encode(record.ToValue());
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(bytes[0], tag);
  Result<Value> decoded = Decode(bytes);
  ASSERT_TRUE(decoded.ok()) << decoded.error().message;
  std::optional<T> back = T::FromValue(decoded.value());
  ASSERT_TRUE(back.has_value());
  EXPECT_TRUE(*back == record) << back->description();
  EXPECT_EQ(back->hash(), record.hash());
  EXPECT_EQ(Codec().Encode(decoded.value()), bytes);
  EXPECT_TRUE(T::fromList(record.toList()) == record);
}

TEST(SK2MessagesCodecTest, EveryRecordRoundTripsByteExact) {
  ExpectRoundTrip(Period(), 136);
  ExpectRoundTrip(Offer(SK2SubscriptionOfferTypeMessage::winBack), 135);
  ExpectRoundTrip(*Product().subscription, 137);
  ExpectRoundTrip(Product(), 138);
  ExpectRoundTrip(SK2PriceLocaleMessage{"EUR", "€"}, 139);
  ExpectRoundTrip(Options().promotionalOffer->promotionalOfferSignature, 140);
  ExpectRoundTrip(*Options().promotionalOffer, 141);
  ExpectRoundTrip(Options(), 142);
  ExpectRoundTrip(SK2ProductPurchaseOptionsMessage{}, 142);
  ExpectRoundTrip(Transaction(), 143);
  ExpectRoundTrip(*Transaction().error, 144);
  // Optional fields absent.
  SK2ProductMessage consumable = Product();
  consumable.subscription = std::nullopt;
  consumable.type = SK2ProductTypeMessage::consumable;
  ExpectRoundTrip(consumable, 138);
  ExpectRoundTrip(SK2TransactionMessage{}, 143);
}

TEST(SK2MessagesCodecTest, EnumerationsTravelAsTagAndNumber) {
  const Value all(ValueList{ToValue(SK2ProductTypeMessage::nonRenewable),
                            ToValue(SK2SubscriptionOfferTypeMessage::winBack),
                            ToValue(SK2SubscriptionOfferPaymentModeMessage::freeTrial),
                            ToValue(SK2SubscriptionPeriodUnitMessage::year),
                            ToValue(SK2ProductPurchaseResultMessage::userCancelled),
                            ToValue(SK2PurchaseStatusMessage::cancelled)});
  const Bytes bytes = Codec().Encode(all);
  EXPECT_EQ(bytes, (Bytes{12, 6,   129, 3, 2, 0, 0, 0,   130, 3, 2, 0, 0, 0,   131, 3, 2, 0, 0,
                          0,  132, 3,   3, 0, 0, 0, 133, 3,   2, 0, 0, 0, 134, 3,   2, 0, 0, 0}));
  Result<Value> decoded = Decode(bytes);
  ASSERT_TRUE(decoded.ok());
  const ValueList& list = decoded.value().as_list();
  EXPECT_EQ(SK2ProductTypeMessageFromValue(list[0]), SK2ProductTypeMessage::nonRenewable);
  EXPECT_EQ(SK2SubscriptionOfferTypeMessageFromValue(list[1]),
            SK2SubscriptionOfferTypeMessage::winBack);
  EXPECT_EQ(SK2SubscriptionOfferPaymentModeMessageFromValue(list[2]),
            SK2SubscriptionOfferPaymentModeMessage::freeTrial);
  EXPECT_EQ(SK2SubscriptionPeriodUnitMessageFromValue(list[3]),
            SK2SubscriptionPeriodUnitMessage::year);
  EXPECT_EQ(SK2ProductPurchaseResultMessageFromValue(list[4]),
            SK2ProductPurchaseResultMessage::userCancelled);
  EXPECT_EQ(SK2PurchaseStatusMessageFromValue(list[5]), SK2PurchaseStatusMessage::cancelled);
  // One enumeration's value is not another's.
  EXPECT_EQ(SK2PurchaseStatusMessageFromValue(list[4]), std::nullopt);

  // 139, list of 2, "USD", "$".
  EXPECT_EQ(Codec().Encode(SK2PriceLocaleMessage{"USD", "$"}.ToValue()),
            (Bytes{139, 12, 2, 7, 3, 'U', 'S', 'D', 7, 1, '$'}));
  // A transaction without an expiration date carries null in its place.
  SK2TransactionMessage t = Transaction();
  t.expirationDate = std::nullopt;
  EXPECT_TRUE(t.toList()[4].is_null());
  EXPECT_EQ(ToString(static_cast<SK2PurchaseStatusMessage>(7)), "unknown(7)");
}

TEST(SK2MessagesCodecTest, EnumerationOutsideItsMembersReadsAsNothing) {
  for (const Bytes& bytes : {
           Bytes{129, 0},                          // null
           Bytes{129, 3, 4, 0, 0, 0},              // one past autoRenewable
           Bytes{130, 3, 3, 0, 0, 0},              // one past winBack
           Bytes{133, 3, 255, 255, 255, 255},      // -1
           Bytes{134, 4, 0, 0, 0, 0, 1, 0, 0, 0},  // 2^32
       }) {
    Result<Value> decoded = Decode(bytes);
    ASSERT_TRUE(decoded.ok()) << decoded.error().message;
    EXPECT_TRUE(decoded.value().is_null()) << decoded.value().DebugString();
  }
  // Inside a reply list the slot is null, the rest intact.
  Result<Value> reply = Decode(Bytes{12, 2, 133, 3, 9, 0, 0, 0, 7, 1, 'k'});
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(reply.value(), Value(ValueList{Value(), Value("k")}));
  // A required enumeration field out of range makes its record unreadable.
  Bytes period = Codec().Encode(Period().ToValue());
  ASSERT_EQ(period[period.size() - 6], 132);
  period[period.size() - 4] = 9;
  EXPECT_FALSE(Decode(period).ok());
  // Anything but an integer or null after an enumeration tag is an error.
  EXPECT_FALSE(Decode(Bytes{129, 7, 1, '1'}).ok());
  EXPECT_FALSE(Decode(Bytes{129, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).ok());
}

TEST(SK2MessagesCodecTest, RecordsThatAreNotCompleteListsAreDecodeErrors) {
  const Bytes locale_ok = {139, 12, 2, 7, 1, 'a', 7, 1, 'b'};
  ASSERT_TRUE(Decode(locale_ok).ok());
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {{139, 0}, "SK2PriceLocaleMessage: expected a field list"},
      {{139, 7, 1, 'a'}, "SK2PriceLocaleMessage: expected a field list"},
      {{139, 12, 1, 7, 1, 'a'}, "expected a list of 2 fields, got 1"},
      {{139, 12, 3, 7, 1, 'a', 7, 1, 'b', 0}, "expected a list of 2 fields, got 3"},
      {{139, 12, 2, 0, 7, 1, 'b'}, "SK2PriceLocaleMessage.currencyCode: expected a string"},
      {{139, 12, 2, 7, 1, 'a', 3, 1, 0, 0, 0}, "SK2PriceLocaleMessage.currencySymbol"},
      // value as a double
      {{136, 12, 2, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xf0, 0x3f, 132, 3, 0, 0, 0, 0},
       "SK2SubscriptionPeriodMessage.value: expected an integer"},
      // unit as a bare integer instead of its tag
      {{136, 12, 2, 3, 1, 0, 0, 0, 3, 0, 0, 0, 0}, "SK2SubscriptionPeriodMessage.unit"},
      // unit with the wrong enumeration's tag
      {{136, 12, 2, 3, 1, 0, 0, 0, 129, 3, 0, 0, 0, 0}, "SK2SubscriptionPeriodMessage.unit"},
      // subscription info whose offers hold a null
      {{137, 12, 3, 12, 1, 0, 7, 1, 'g', 136, 12, 2, 3, 1, 0, 0, 0, 132, 3, 0, 0, 0, 0},
       "SK2SubscriptionInfoMessage.promotionalOffers"},
      // subscription info whose period is a price locale
      {{137, 12, 3, 12, 0, 7, 1, 'g', 139, 12, 2, 7, 1, 'a', 7, 1, 'b'},
       "SK2SubscriptionInfoMessage.subscriptionPeriod"},
      // options whose quantity is a string
      {{142, 12, 4, 0, 7, 1, '2', 0, 0}, "SK2ProductPurchaseOptionsMessage.quantity"},
      // an error whose user info has an integer key
      {{144, 12, 3, 3, 1, 0, 0, 0, 7, 1, 'd', 13, 1, 3, 1, 0, 0, 0, 0},
       "SK2ErrorMessage.userInfo: expected a map with string keys"},
      {{145, 0}, "unknown type byte 145"},
      {{128, 0}, "unknown type byte 128"},
  };
  for (const auto& [bytes, expected] : cases) {
    Result<Value> decoded = Decode(bytes);
    ASSERT_FALSE(decoded.ok()) << expected << ": " << decoded.value().DebugString();
    EXPECT_NE(decoded.error().message.find(expected), std::string::npos) << decoded.error().message;
  }
  // Every strict prefix of a record fails cleanly.
  const Bytes full = Codec().Encode(Transaction().ToValue());
  for (size_t n = 0; n < full.size(); ++n) {
    EXPECT_FALSE(Codec().Decode(std::span<const uint8_t>(full.data(), n)).ok()) << n;
  }
  // Hand-made values of the wrong shape are no record.
  EXPECT_EQ(SK2PriceLocaleMessage::FromValue(Value::Custom(139, Value(ValueList{Value("a")}))),
            std::nullopt);
  EXPECT_EQ(SK2PriceLocaleMessage::FromValue(Value::Custom(139, Value())), std::nullopt);
  EXPECT_EQ(SK2PriceLocaleMessage::FromValue(Period().ToValue()), std::nullopt);
  // A nested record must be complete as well.
  SK2ProductPurchaseOptionsMessage options;
  ValueList fields = options.toList();
  fields[2] = Value::Custom(141, Value(ValueList{Value("promo")}));
  EXPECT_EQ(SK2ProductPurchaseOptionsMessage::FromValue(Value::Custom(142, Value(fields))),
            std::nullopt);
}

TEST(SK2MessagesCodecTest, IntegerInADoubleFieldReadsAsThatNumber) {
  // price 3 sent as an integer; normalised to a double on the way in.
  const Bytes bytes = {135, 12, 6, 0,   3, 3, 0, 0, 0, 130, 3, 1, 0, 0, 0,   136, 12, 2, 3, 1,
                       0,   0,  0, 132, 3, 0, 0, 0, 0, 3,   1, 0, 0, 0, 131, 3,   0,  0, 0, 0};
  Result<Value> decoded = Decode(bytes);
  ASSERT_TRUE(decoded.ok()) << decoded.error().message;
  auto offer = SK2SubscriptionOfferMessage::FromValue(decoded.value());
  ASSERT_TRUE(offer.has_value());
  EXPECT_EQ(offer->price, 3.0);
  EXPECT_TRUE(decoded.value().as_custom().payload->as_list()[1].is_double());
}

// ---- Equality, hashing and descriptions ----

TEST(SK2MessageEqualityTest, DoublesListsAndMapsCompareDeeply) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  SK2ProductMessage a = Product();
  SK2ProductMessage b = Product();
  a.price = nan;
  b.price = -nan;
  EXPECT_TRUE(a == b);
  EXPECT_EQ(a.hash(), b.hash());
  a.price = -0.0;
  b.price = 0.0;
  EXPECT_TRUE(a == b);
  EXPECT_EQ(a.hash(), b.hash());
  // NaN inside a nested offer's price.
  a.subscription->promotionalOffers[0].price = nan;
  b.subscription->promotionalOffers[0].price = nan;
  EXPECT_TRUE(a == b);
  EXPECT_EQ(a.hash(), b.hash());
  // Offer order matters.
  std::swap(b.subscription->promotionalOffers[0], b.subscription->promotionalOffers[1]);
  EXPECT_FALSE(a == b);

  SK2TransactionMessage t = Transaction();
  SK2TransactionMessage u = Transaction();
  u.error->userInfo = ValueMap{{"n", 1.5}, {"reason", "x"}};
  EXPECT_TRUE(t == u);
  EXPECT_EQ(t.hash(), u.hash());
  t.purchaseDate = nan;
  u.purchaseDate = nan;
  EXPECT_TRUE(t == u);
  EXPECT_EQ(t.hash(), u.hash());

  auto differs = [](auto change) {
    SK2TransactionMessage c = Transaction();
    change(c);
    EXPECT_FALSE(c == Transaction()) << c.description();
    EXPECT_NE(c.hash(), Transaction().hash());
  };
  differs([](auto& c) { c.expirationDate = std::nullopt; });
  differs([](auto& c) { c.status = SK2PurchaseStatusMessage::purchased; });
  differs([](auto& c) { c.error->userInfo = std::nullopt; });
  differs([](auto& c) { c.error->userInfo = ValueMap{{"reason", "y"}, {"n", 1.5}}; });
  differs([](auto& c) { c.originalId = 0; });
  differs([](auto& c) { c.appAccountToken = std::nullopt; });
  // Absent and empty are different.
  SK2ProductPurchaseOptionsMessage o;
  SK2ProductPurchaseOptionsMessage p;
  p.winBackOfferId = "";
  EXPECT_FALSE(o == p);
}

TEST(SK2MessageDescriptionTest, NamesFieldsAndMembers) {
  EXPECT_EQ(SK2PriceLocaleMessage({"USD", "$"}).description(),
            "SK2PriceLocaleMessage(currencyCode: USD, currencySymbol: $)");
  SK2TransactionMessage pending;
  pending.productId = "net.kelvo.pro";
  pending.purchasedQuantity = 1;
  pending.status = SK2PurchaseStatusMessage::pending;
  EXPECT_EQ(pending.description(),
            "SK2TransactionMessage(id: 0, originalId: 0, productId: net.kelvo.pro, "
            "purchaseDate: nil, expirationDate: nil, purchasedQuantity: 1, appAccountToken: nil, "
            "receiptData: nil, error: nil, jsonRepresentation: nil, status: pending)");
  EXPECT_EQ(SK2SubscriptionInfoMessage(
                {{Offer(SK2SubscriptionOfferTypeMessage::promotional)}, "g", Period()})
                .description(),
            "SK2SubscriptionInfoMessage(promotionalOffers: [SK2SubscriptionOfferMessage(id: "
            "offer-promotional, price: 0.99, type: promotional, period: "
            "SK2SubscriptionPeriodMessage(value: 2, unit: week), periodCount: 3, paymentMode: "
            "payUpFront)], subscriptionGroupID: g, subscriptionPeriod: "
            "SK2SubscriptionPeriodMessage(value: 1, unit: month))");
}

}  // namespace
}  // namespace kelvo
