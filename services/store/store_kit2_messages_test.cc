#include "services/store/store_kit2_messages.h"

#include <gtest/gtest.h>

#include <limits>

#include "services/store/messages_test_util.h"

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
  SK2TransactionMessage pending;
  pending.productId = "net.kelvo.pro";
  pending.purchasedQuantity = 1;
  pending.status = SK2PurchaseStatusMessage::pending;
  EXPECT_EQ(pending.description(),
            "SK2TransactionMessage(id: 0, originalId: 0, productId: net.kelvo.pro, "
            "purchaseDate: nil, expirationDate: nil, purchasedQuantity: 1, appAccountToken: nil, "
            "receiptData: nil, error: nil, jsonRepresentation: nil, status: pending)");
}

// ---- Pinned wire form ----

TEST(SK2MessagesGoldenTest, EveryRecordFullAndEmptyIsPinned) {
  const std::vector<SK2SubscriptionOfferMessage> offers = Product().subscription->promotionalOffers;
  ExpectGolden(Codec(), Period(), "880c020301000000840302000000", 0x31df354c34752af7ULL,
               "SK2SubscriptionPeriodMessage(value: 1, unit: month)");
  ExpectGolden(Codec(), SK2SubscriptionPeriodMessage{}, "880c020300000000840300000000",
               0x31df354c34752ad6ULL, "SK2SubscriptionPeriodMessage(value: 0, unit: day)");
  ExpectGolden(Codec(), Offer(SK2SubscriptionOfferTypeMessage::winBack),
               "870c06070d6f666665722d77696e4261636b060000000000ae47e17a14aeef3f82030200"
               "0000880c0203020000008403010000000303000000830301000000",
               0x67482dda9c6fb451ULL,
               "SK2SubscriptionOfferMessage(id: offer-winBack, price: 0.99, "
               "type: winBack, period: SK2SubscriptionPeriodMessage(value: 2, "
               "unit: week), periodCount: 3, paymentMode: payUpFront)");
  ExpectGolden(Codec(), SK2SubscriptionOfferMessage{},
               "870c0600060000000000000000000000820300000000880c020300000000840300000000"
               "0300000000830300000000",
               0x86f731a9f16e4125ULL,
               "SK2SubscriptionOfferMessage(id: nil, price: 0, type: introductory, "
               "period: SK2SubscriptionPeriodMessage(value: 0, unit: day), "
               "periodCount: 0, paymentMode: payAsYouGo)");
  ExpectGolden(Codec(), *Product().subscription,
               "890c030c03870c06070d6f666665722d77696e4261636b06ae47e17a14aeef3f82030200"
               "0000880c0203020000008403010000000303000000830301000000870c0607116f666665"
               "722d70726f6d6f74696f6e616c060000ae47e17a14aeef3f820301000000880c02030200"
               "00008403010000000303000000830301000000870c06000600000000ae47e17a14aeef3f"
               "820300000000880c0203020000008403010000000303000000830302000000070967726f"
               "75702e70726f880c020301000000840302000000",
               0x63a2b264118a0fabULL,
               "SK2SubscriptionInfoMessage(promotionalOffers: [" + offers[0].description() +
                   ", " + offers[1].description() + ", " + offers[2].description() +
                   "], subscriptionGroupID: group.pro, subscriptionPeriod: " +
                   Period().description() + ")");
  ExpectGolden(Codec(), SK2SubscriptionInfoMessage{}, "890c030c000700880c020300000000840300000000",
               0x4fad9d40fdd2ad35ULL,
               "SK2SubscriptionInfoMessage(promotionalOffers: [], subscriptionGroupID: , "
               "subscriptionPeriod: SK2SubscriptionPeriodMessage(value: 0, unit: day))");
  ExpectGolden(Codec(), Product(),
               "8a0c08070d6e65742e6b656c766f2e70726f07094b656c766f2050726f071d53696e206c"
               "c3ad6d6974657320e280942065766572792073657276657206000000f6285c8fc2f51340"
               "070524342e3939810303000000890c030c03870c06070d6f666665722d77696e4261636b"
               "06000000ae47e17a14aeef3f820302000000880c02030200000084030100000003030000"
               "00830301000000870c0607116f666665722d70726f6d6f74696f6e616c060000ae47e17a"
               "14aeef3f820301000000880c020302000000840301000000030300000083030100000087"
               "0c06000600000000ae47e17a14aeef3f820300000000880c020302000000840301000000"
               "0303000000830302000000070967726f75702e70726f880c020301000000840302000000"
               "8b0c020703555344070124",
               0x062aa82ef1679cddULL,
               "SK2ProductMessage(id: net.kelvo.pro, displayName: Kelvo Pro, "
               "localizedDescription: Sin límites — every server, price: 4.99, "
               "displayPrice: $4.99, type: autoRenewable, subscription: " +
                   Product().subscription->description() +
                   ", priceLocale: " + Product().priceLocale.description() + ")");
  ExpectGolden(Codec(), SK2ProductMessage{},
               "8a0c080700070007000600000000000000000000000000000700810300000000008b0c02"
               "07000700",
               0xe1f289a82fa0838cULL,
               "SK2ProductMessage(id: , displayName: , localizedDescription: , price: 0, "
               "displayPrice: , type: consumable, subscription: nil, "
               "priceLocale: SK2PriceLocaleMessage(currencyCode: , currencySymbol: ))");
  ExpectGolden(Codec(), Product().priceLocale, "8b0c020703555344070124", 0x63b8e04d148d8929ULL,
               "SK2PriceLocaleMessage(currencyCode: USD, currencySymbol: $)");
  ExpectGolden(Codec(), SK2PriceLocaleMessage{}, "8b0c0207000700", 0x56c1716f88dbde3dULL,
               "SK2PriceLocaleMessage(currencyCode: , currencySymbol: )");
  ExpectGolden(Codec(), Options().promotionalOffer->promotionalOfferSignature,
               "8c0c0407056b65792d31072445363231453146382d433336432d343935412d393346432d"
               "304332343741334536453546047b68e5cf8b010000070463326c6e",
               0x10653ddcdebf4af3ULL,
               "SK2SubscriptionOfferSignatureMessage(keyID: key-1, "
               "nonce: E621E1F8-C36C-495A-93FC-0C247A3E6E5F, timestamp: 1700000000123, "
               "signature: c2ln)");
  ExpectGolden(Codec(), SK2SubscriptionOfferSignatureMessage{}, "8c0c040700070003000000000700",
               0x76fb95b34ef0743eULL,
               "SK2SubscriptionOfferSignatureMessage(keyID: , nonce: , timestamp: 0, "
               "signature: )");
  ExpectGolden(Codec(), *Options().promotionalOffer,
               "8d0c02070570726f6d6f8c0c0407056b65792d31072445363231453146382d433336432d"
               "343935412d393346432d304332343741334536453546047b68e5cf8b010000070463326c"
               "6e",
               0xcb5ba2e60bf2369dULL,
               "SK2SubscriptionOfferPurchaseMessage(promotionalOfferId: promo, "
               "promotionalOfferSignature: " +
                   Options().promotionalOffer->promotionalOfferSignature.description() + ")");
  ExpectGolden(Codec(), SK2SubscriptionOfferPurchaseMessage{},
               "8d0c0207008c0c040700070003000000000700", 0xb1079cff356d2c23ULL,
               "SK2SubscriptionOfferPurchaseMessage(promotionalOfferId: , "
               "promotionalOfferSignature: SK2SubscriptionOfferSignatureMessage(keyID: , "
               "nonce: , timestamp: 0, signature: ))");
  ExpectGolden(
      Codec(), Options(),
      "8e0c04072433463235303445302d344638392d313144332d394130432d30333035453832"
      "433333303103020000008d0c02070570726f6d6f8c0c0407056b65792d31072445363231"
      "453146382d433336432d343935412d393346432d304332343741334536453546047b68e5"
      "cf8b010000070463326c6e070977696e6261636b2d31",
      0x40b983a3f5b4fc6dULL,
      "SK2ProductPurchaseOptionsMessage(appAccountToken: 3F2504E0-4F89-11D3-9A0C-0305E82C3301, "
      "quantity: 2, promotionalOffer: " +
          Options().promotionalOffer->description() + ", winBackOfferId: winback-1)");
  ExpectGolden(Codec(), SK2ProductPurchaseOptionsMessage{}, "8e0c0400000000", 0xd4b1da799ce11cf8ULL,
               "SK2ProductPurchaseOptionsMessage(appAccountToken: nil, quantity: nil, "
               "promotionalOffer: nil, winBackOfferId: nil)");
  ExpectGolden(Codec(), Transaction(),
               "8f0c0b037b9435770301943577070d6e65742e6b656c766f2e70726f0600000000002040"
               "fc54d941060000000000000000002080df5ed9410301000000072433463235303445302d"
               "344638392d313144332d394130432d303330354538324333333031071d65794a68624763"
               "694f694a46557a49314e694a392e6533302e63326c6e900c030302000000070853746f72"
               "654b69740d020706726561736f6e07017807016e06000000000000000000f83f071e7b22"
               "7472616e73616374696f6e4964223a2232303030303030313233227d860303000000",
               0xe383594a42f03279ULL,
               "SK2TransactionMessage(id: 2000000123, originalId: 2000000001, "
               "productId: net.kelvo.pro, purchaseDate: 1700000000.5, "
               "expirationDate: 1702592000.5, purchasedQuantity: 1, "
               "appAccountToken: 3F2504E0-4F89-11D3-9A0C-0305E82C3301, "
               "receiptData: eyJhbGciOiJFUzI1NiJ9.e30.c2ln, "
               "error: SK2ErrorMessage(code: 2, domain: StoreKit, userInfo: {reason: x, "
               "n: 1.5}), jsonRepresentation: {\"transactionId\":\"2000000123\"}, "
               "status: restored)");
  ExpectGolden(Codec(), SK2TransactionMessage{},
               "8f0c0b0300000000030000000007000000030000000000000000860300000000",
               0x837b2484eb43bf49ULL,
               "SK2TransactionMessage(id: 0, originalId: 0, productId: , "
               "purchaseDate: nil, expirationDate: nil, purchasedQuantity: 0, "
               "appAccountToken: nil, receiptData: nil, error: nil, "
               "jsonRepresentation: nil, status: purchased)");
  ExpectGolden(Codec(), *Transaction().error,
               "900c030302000000070853746f72654b69740d020706726561736f6e07017807016e0600"
               "00000000000000000000f83f",
               0x6a281b3295e4d565ULL,
               "SK2ErrorMessage(code: 2, domain: StoreKit, userInfo: {reason: x, n: 1.5})");
  ExpectGolden(Codec(), SK2ErrorMessage{}, "900c030300000000070000", 0xfc1764a2c09a8cd1ULL,
               "SK2ErrorMessage(code: 0, domain: , userInfo: nil)");
}

}  // namespace
}  // namespace kelvo
