#include "services/store/store_kit2_conversions.h"

#include <gtest/gtest.h>

#include <limits>

namespace kelvo {
namespace {

using OfferType = SK2SubscriptionOfferTypeMessage;

StoreOffer Offer(StoreOffer::Kind kind, std::optional<std::string> id, uint64_t payment_mode) {
  return {kind, std::move(id), "1.99", {}, 3, payment_mode, {1, 2}, 0};
}

StoreProduct Subscription() {
  StoreProduct p;
  p.identifier = "pro";
  p.price = "4.99";
  p.price_locale = {"de_DE", "€", "EUR", "DE"};
  p.type = StoreProductType::kAutoRenewable;
  p.subscription_group_identifier = "g1";
  p.subscription_period = StoreSubscriptionPeriod{1, 2};
  p.introductory_offer = Offer(StoreOffer::Kind::kIntroductory, std::nullopt, 2);
  p.promotional_offers = {Offer(StoreOffer::Kind::kPromotional, "promo1", 1)};
  p.win_back_offers = {Offer(StoreOffer::Kind::kWinBack, "back1", 0)};
  return p;
}

std::vector<OfferType> OfferTypes(const SK2ProductMessage& m) {
  std::vector<OfferType> out;
  for (const auto& offer : m.subscription->promotionalOffers) out.push_back(offer.type);
  return out;
}

TEST(StoreKit2ConversionsTest, OffersGoWinBackFirstFrom15AndTheIntroductoryOfferLast) {
  SK2ProductMessage m = convertToPigeon(Subscription(), {15, 0, 0});
  EXPECT_EQ(m.price, 4.99);
  EXPECT_EQ(m.type, SK2ProductTypeMessage::autoRenewable);
  EXPECT_EQ(m.priceLocale, (SK2PriceLocaleMessage{"EUR", "€"}));
  ASSERT_TRUE(m.subscription);
  EXPECT_EQ(m.subscription->subscriptionGroupID, "g1");
  EXPECT_EQ(OfferTypes(m), (std::vector<OfferType>{OfferType::winBack, OfferType::promotional,
                                                   OfferType::introductory}));
  const SK2SubscriptionOfferMessage& intro = m.subscription->promotionalOffers.at(2);
  EXPECT_EQ(intro.id, std::nullopt);
  EXPECT_EQ(intro.paymentMode, SK2SubscriptionOfferPaymentModeMessage::freeTrial);
  EXPECT_EQ(intro.period,
            (SK2SubscriptionPeriodMessage{1, SK2SubscriptionPeriodUnitMessage::month}));
  EXPECT_EQ(OfferTypes(convertToPigeon(Subscription(), {14, 4, 0})),
            (std::vector<OfferType>{OfferType::promotional, OfferType::introductory}));

  // A group without a period is no subscription; a missing locale text is
  // the empty string.
  StoreProduct plain;
  plain.price = "0.99";
  plain.subscription_group_identifier = "g1";
  SK2ProductMessage p = convertToPigeon(plain, {15, 0, 0});
  EXPECT_EQ(p.subscription, std::nullopt);
  EXPECT_EQ(p.priceLocale, (SK2PriceLocaleMessage{"", ""}));
}

// Values the API cannot name end the conversion with the fixed text and a
// note of the value, never with a crash.
TEST(StoreKit2ConversionsTest, UnknownStoreValuesAreReportedWithTheirTexts) {
  auto text_of = [](auto&& convert) -> std::string {
    try {
      convert();
    } catch (const StoreValueError& e) {
      return std::string(e.what()) + " | " + e.value();
    }
    return "no error";
  };
  EXPECT_EQ(text_of([] { convertToPigeon(static_cast<StoreProductType>(9)); }),
            "An unknown ProductType was passed in | ProductType 9");
  EXPECT_EQ(text_of([] { convertPaymentModeToPigeon(3); }),
            "Encountered an unknown PaymentMode | PaymentMode 3");
  EXPECT_EQ(text_of([] { convertPeriodUnitToPigeon(4); }),
            "unknown SubscriptionPeriodUnit encountered | SubscriptionPeriodUnit 4");
  EXPECT_EQ(text_of([] {
              convertToPigeon(StoreOffer::Kind::kWinBack, {14, 4, 0});
            }),
            "An unknown or unsupported OfferType was passed in | OfferType 2");
  EXPECT_EQ(text_of([] { convertToPigeon(StorePurchaseResult{}); }),
            " | PurchaseResult success without a transaction");
  StoreProduct p = Subscription();
  p.promotional_offers[0].period.unit = 17;  // deep inside a product
  EXPECT_THROW(convertToPigeon(p, {15, 0, 0}), StoreValueError);
  for (const char* price : {"", "abc", "1.2.3", "nan", "inf", "1e5", "4.99 "}) {
    p = Subscription();
    p.price = price;
    EXPECT_THROW(convertToPigeon(p, {15, 0, 0}), StoreValueError) << price;
  }
}

TEST(StoreKit2ConversionsTest, TransactionsKeepIdsBitForBitAndAnAbsentExpirationNull) {
  StoreTransaction t;
  t.id = std::numeric_limits<uint64_t>::max();
  t.original_id = 7;
  t.purchase_date = 1700000000.5;
  SK2TransactionMessage m = convertToPigeon(t, std::nullopt, SK2PurchaseStatusMessage::restored);
  EXPECT_EQ(m.id, -1);
  EXPECT_EQ(m.originalId, 7);
  EXPECT_EQ(m.purchaseDate, 1700000000.5);
  EXPECT_TRUE(m.toList()[4].is_null());  // expirationDate
  EXPECT_TRUE(m.toList()[7].is_null());  // receiptData
  EXPECT_EQ(m.status, SK2PurchaseStatusMessage::restored);
  t.expiration_date = 1702592000.0;
  m = convertToPigeon(t, "jws", SK2PurchaseStatusMessage::purchased);
  EXPECT_EQ(m.expirationDate, 1702592000.0);
  EXPECT_EQ(m.receiptData, "jws");
}

}  // namespace
}  // namespace kelvo
