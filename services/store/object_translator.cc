#include "services/store/object_translator.h"

#include "services/store/callback_maps.h"
#include "services/store/user_info_encoding.h"

namespace kelvo {

std::shared_ptr<const FIASKPaymentTransactionMessage>
FIAObjectTranslator::convertTransactionToPigeon(const StorePaymentTransaction* transaction) {
  if (transaction == nullptr) return nullptr;
  auto message = std::make_shared<FIASKPaymentTransactionMessage>();
  message->payment = convertPaymentToPigeon(&transaction->payment);
  message->transactionState = convertTransactionStateToPigeon(transaction->state);
  message->originalTransaction = convertTransactionToPigeon(transaction->original.get());
  message->transactionTimeStamp = transaction->date.value_or(0.0);
  message->transactionIdentifier = transaction->identifier;
  message->error = convertSKErrorToPigeon(transaction->error ? &*transaction->error : nullptr);
  return message;
}

std::shared_ptr<const FIASKPaymentMessage> FIAObjectTranslator::convertPaymentToPigeon(
    const StorePayment* payment) {
  if (payment == nullptr) return nullptr;
  auto message = std::make_shared<FIASKPaymentMessage>();
  message->productIdentifier = payment->product_identifier;
  message->applicationUsername = payment->application_username;
  message->requestData = RequestDataText(payment->request_data);
  message->quantity = payment->quantity;
  message->simulatesAskToBuyInSandbox = payment->simulates_ask_to_buy_in_sandbox;
  message->paymentDiscount = convertPaymentDiscountToPigeon(
      payment->payment_discount ? &*payment->payment_discount : nullptr);
  return message;
}

std::shared_ptr<const FIASKPaymentDiscountMessage>
FIAObjectTranslator::convertPaymentDiscountToPigeon(const StorePaymentDiscount* discount) {
  if (discount == nullptr) return nullptr;
  auto message = std::make_shared<FIASKPaymentDiscountMessage>();
  message->identifier = discount->identifier;
  message->keyIdentifier = discount->key_identifier;
  message->nonce = discount->nonce;
  message->signature = discount->signature;
  message->timestamp = discount->timestamp;
  return message;
}

std::shared_ptr<const FIASKErrorMessage> FIAObjectTranslator::convertSKErrorToPigeon(
    const StoreError* error) {
  if (error == nullptr) return nullptr;
  auto message = std::make_shared<FIASKErrorMessage>();
  message->code = error->code;
  message->domain = error->domain;
  message->userInfo = EncodeUserInfo(error->user_info);
  return message;
}

FIASKPaymentTransactionStateMessage FIAObjectTranslator::convertTransactionStateToPigeon(
    int64_t state) {
  switch (state) {
    case 1:
      return FIASKPaymentTransactionStateMessage::purchased;
    case 2:
      return FIASKPaymentTransactionStateMessage::failed;
    case 3:
      return FIASKPaymentTransactionStateMessage::restored;
    case 4:
      return FIASKPaymentTransactionStateMessage::deferred;
    default:
      return FIASKPaymentTransactionStateMessage::purchasing;
  }
}

std::shared_ptr<const FIASKStorefrontMessage> FIAObjectTranslator::convertStorefrontToPigeon(
    const StoreStorefront* storefront) {
  if (storefront == nullptr) return nullptr;
  auto message = std::make_shared<FIASKStorefrontMessage>();
  message->countryCode = storefront->country_code;
  message->identifier = storefront->identifier;
  return message;
}

std::shared_ptr<const FIASKProductsResponseMessage>
FIAObjectTranslator::convertProductsResponseToPigeon(const StoreProductsResponse* response) {
  if (response == nullptr) return nullptr;
  auto message = std::make_shared<FIASKProductsResponseMessage>();
  std::vector<FIASKProductMessage> products;
  products.reserve(response->products.size());
  for (const StoreProduct& product : response->products) {
    products.push_back(*convertProductToPigeon(&product));
  }
  message->products = std::move(products);
  message->invalidProductIdentifiers =
      response->invalid_product_identifiers.value_or(std::vector<std::string>{});
  return message;
}

std::shared_ptr<const FIASKProductMessage> FIAObjectTranslator::convertProductToPigeon(
    const StoreProduct* product) {
  if (product == nullptr) return nullptr;
  auto message = std::make_shared<FIASKProductMessage>();
  message->productIdentifier = product->identifier;
  message->localizedTitle = product->localized_title;
  message->localizedDescription = product->localized_description;
  message->priceLocale = convertNSLocaleToPigeon(&product->price_locale);
  message->subscriptionGroupIdentifier = product->subscription_group_identifier;
  message->price = product->price;
  message->subscriptionPeriod = convertSKProductSubscriptionPeriodToPigeon(
      product->subscription_period ? &*product->subscription_period : nullptr);
  message->introductoryPrice = convertProductDiscountToPigeon(
      product->introductory_offer ? &*product->introductory_offer : nullptr);
  std::vector<FIASKProductDiscountMessage> discounts;
  discounts.reserve(product->promotional_offers.size());
  for (const StoreOffer& offer : product->promotional_offers) {
    discounts.push_back(*convertProductDiscountToPigeon(&offer));
  }
  message->discounts = std::move(discounts);
  return message;
}

std::shared_ptr<const FIASKProductDiscountMessage>
FIAObjectTranslator::convertProductDiscountToPigeon(const StoreOffer* discount) {
  if (discount == nullptr) return nullptr;
  auto message = std::make_shared<FIASKProductDiscountMessage>();
  message->price = discount->price;
  message->priceLocale = convertNSLocaleToPigeon(&discount->price_locale);
  message->numberOfPeriods = discount->number_of_periods;
  switch (discount->payment_mode) {
    case 0:
      message->paymentMode = FIASKProductDiscountPaymentModeMessage::payAsYouGo;
      break;
    case 1:
      message->paymentMode = FIASKProductDiscountPaymentModeMessage::payUpFront;
      break;
    default:
      message->paymentMode = FIASKProductDiscountPaymentModeMessage::freeTrial;
  }
  message->subscriptionPeriod = convertSKProductSubscriptionPeriodToPigeon(&discount->period);
  message->identifier = discount->identifier;
  message->type = discount->discount_type == 0 ? FIASKProductDiscountTypeMessage::introductory
                                               : FIASKProductDiscountTypeMessage::subscription;
  return message;
}

std::shared_ptr<const FIASKProductSubscriptionPeriodMessage>
FIAObjectTranslator::convertSKProductSubscriptionPeriodToPigeon(
    const StoreSubscriptionPeriod* period) {
  if (period == nullptr) return nullptr;
  auto message = std::make_shared<FIASKProductSubscriptionPeriodMessage>();
  message->numberOfUnits = period->number_of_units;
  switch (period->unit) {
    case 1:
      message->unit = FIASKSubscriptionPeriodUnitMessage::week;
      break;
    case 2:
      message->unit = FIASKSubscriptionPeriodUnitMessage::month;
      break;
    case 3:
      message->unit = FIASKSubscriptionPeriodUnitMessage::year;
      break;
    default:
      message->unit = FIASKSubscriptionPeriodUnitMessage::day;
  }
  return message;
}

std::shared_ptr<const FIASKPriceLocaleMessage> FIAObjectTranslator::convertNSLocaleToPigeon(
    const StoreLocale* locale) {
  if (locale == nullptr) return nullptr;
  auto message = std::make_shared<FIASKPriceLocaleMessage>();
  message->currencySymbol = locale->currency_symbol;
  message->currencyCode = locale->currency_code;
  message->countryCode = locale->country_code;
  return message;
}

}  // namespace kelvo
