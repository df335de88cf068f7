#include "services/store/store_kit2_conversions.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace kelvo {
namespace {

double PriceToDouble(const std::string& price) {
  double value = 0;
  const char* end = price.data() + price.size();
  auto [ptr, ec] = std::from_chars(price.data(), end, value, std::chars_format::fixed);
  if (price.empty() || ec != std::errc() || ptr != end || !std::isfinite(value)) {
    throw StoreValueError("The product's price is not decimal text", price);
  }
  return value;
}

}  // namespace

bool HasSubscriptionInfo(const StoreProduct& product) {
  return product.subscription_group_identifier.has_value() &&
         product.subscription_period.has_value();
}

SK2ProductMessage convertToPigeon(const StoreProduct& product, const OperatingSystemVersion& os) {
  SK2ProductMessage m;
  m.id = product.identifier;
  m.displayName = product.localized_title;
  m.localizedDescription = product.localized_description;
  m.price = PriceToDouble(product.price);
  m.displayPrice = product.display_price;
  m.type = convertToPigeon(product.type);
  m.subscription = convertSubscriptionInfoToPigeon(product, os);
  // Before 13.0 the platform builds a currency format from the price
  // locale and its currency code; from 13.0 it reads the price format's
  // locale. Both end at the price locale's code and symbol.
  m.priceLocale.currencyCode = product.price_locale.currency_code.value_or("");
  m.priceLocale.currencySymbol = product.price_locale.currency_symbol.value_or("");
  return m;
}

SK2ProductTypeMessage convertToPigeon(StoreProductType type) {
  switch (type) {
    case StoreProductType::kConsumable:
      return SK2ProductTypeMessage::consumable;
    case StoreProductType::kNonConsumable:
      return SK2ProductTypeMessage::nonConsumable;
    case StoreProductType::kNonRenewable:
      return SK2ProductTypeMessage::nonRenewable;
    case StoreProductType::kAutoRenewable:
      return SK2ProductTypeMessage::autoRenewable;
  }
  throw StoreValueError("An unknown ProductType was passed in",
                        "ProductType " + std::to_string(static_cast<int>(type)));
}

std::optional<SK2SubscriptionInfoMessage> convertSubscriptionInfoToPigeon(
    const StoreProduct& product, const OperatingSystemVersion& os) {
  if (!HasSubscriptionInfo(product)) return std::nullopt;
  SK2SubscriptionInfoMessage m;
  if (os.AtLeast(15)) {
    for (const StoreOffer& offer : product.win_back_offers) {
      m.promotionalOffers.push_back(convertToPigeon(offer, os));
    }
  }
  for (const StoreOffer& offer : product.promotional_offers) {
    m.promotionalOffers.push_back(convertToPigeon(offer, os));
  }
  if (product.introductory_offer) {
    m.promotionalOffers.push_back(convertToPigeon(*product.introductory_offer, os));
  }
  m.subscriptionGroupID = *product.subscription_group_identifier;
  m.subscriptionPeriod = convertToPigeon(*product.subscription_period);
  return m;
}

SK2SubscriptionOfferMessage convertToPigeon(const StoreOffer& offer,
                                            const OperatingSystemVersion& os) {
  SK2SubscriptionOfferMessage m;
  m.id = offer.identifier;
  m.price = PriceToDouble(offer.price);
  m.type = convertToPigeon(offer.kind, os);
  m.period = convertToPigeon(offer.period);
  m.periodCount = offer.number_of_periods;
  m.paymentMode = convertPaymentModeToPigeon(offer.payment_mode);
  return m;
}

SK2SubscriptionOfferTypeMessage convertToPigeon(StoreOffer::Kind kind,
                                                const OperatingSystemVersion& os) {
  switch (kind) {
    case StoreOffer::Kind::kIntroductory:
      return SK2SubscriptionOfferTypeMessage::introductory;
    case StoreOffer::Kind::kPromotional:
      return SK2SubscriptionOfferTypeMessage::promotional;
    case StoreOffer::Kind::kWinBack:
      if (os.AtLeast(15)) return SK2SubscriptionOfferTypeMessage::winBack;
      break;
  }
  throw StoreValueError("An unknown or unsupported OfferType was passed in",
                        "OfferType " + std::to_string(static_cast<int>(kind)));
}

SK2SubscriptionOfferPaymentModeMessage convertPaymentModeToPigeon(uint64_t payment_mode) {
  switch (payment_mode) {
    case 0:
      return SK2SubscriptionOfferPaymentModeMessage::payAsYouGo;
    case 1:
      return SK2SubscriptionOfferPaymentModeMessage::payUpFront;
    case 2:
      return SK2SubscriptionOfferPaymentModeMessage::freeTrial;
    default:
      throw StoreValueError("Encountered an unknown PaymentMode",
                            "PaymentMode " + std::to_string(payment_mode));
  }
}

SK2SubscriptionPeriodMessage convertToPigeon(const StoreSubscriptionPeriod& period) {
  return {period.number_of_units, convertPeriodUnitToPigeon(period.unit)};
}

SK2SubscriptionPeriodUnitMessage convertPeriodUnitToPigeon(uint64_t unit) {
  switch (unit) {
    case 0:
      return SK2SubscriptionPeriodUnitMessage::day;
    case 1:
      return SK2SubscriptionPeriodUnitMessage::week;
    case 2:
      return SK2SubscriptionPeriodUnitMessage::month;
    case 3:
      return SK2SubscriptionPeriodUnitMessage::year;
    default:
      throw StoreValueError("unknown SubscriptionPeriodUnit encountered",
                            "SubscriptionPeriodUnit " + std::to_string(unit));
  }
}

SK2ProductPurchaseResultMessage convertToPigeon(const StorePurchaseResult& result) {
  switch (result.kind) {
    case StorePurchaseResult::Kind::kSuccess:
      if (!result.verification) break;
      return result.verification->verified ? SK2ProductPurchaseResultMessage::success
                                           : SK2ProductPurchaseResultMessage::unverified;
    case StorePurchaseResult::Kind::kUserCancelled:
      return SK2ProductPurchaseResultMessage::userCancelled;
    case StorePurchaseResult::Kind::kPending:
      return SK2ProductPurchaseResultMessage::pending;
  }
  throw StoreValueError("",
                        result.kind == StorePurchaseResult::Kind::kSuccess
                            ? "PurchaseResult success without a transaction"
                            : "PurchaseResult " + std::to_string(static_cast<int>(result.kind)));
}

SK2TransactionMessage convertToPigeon(const StoreTransaction& transaction,
                                      const std::optional<std::string>& receipt,
                                      SK2PurchaseStatusMessage status) {
  SK2TransactionMessage m;
  m.id = static_cast<int64_t>(transaction.id);
  m.originalId = static_cast<int64_t>(transaction.original_id);
  m.productId = transaction.product_id;
  m.purchaseDate = transaction.purchase_date;
  m.expirationDate = transaction.expiration_date;
  m.purchasedQuantity = transaction.purchased_quantity;
  m.appAccountToken = transaction.app_account_token;
  m.receiptData = receipt;
  m.jsonRepresentation = transaction.json_representation;
  m.status = status;
  return m;
}

}  // namespace kelvo
