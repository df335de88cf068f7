#include "services/store/callback_maps.h"

#include "platform/engine/utf8.h"
#include "services/store/user_info_encoding.h"

namespace kelvo {
namespace {

Value Optional(const std::optional<std::string>& text) { return text ? Value(*text) : Value(); }

}  // namespace

std::optional<std::string> RequestDataText(const std::optional<std::vector<uint8_t>>& data) {
  if (!data || !IsValidUtf8(*data)) return std::nullopt;
  return std::string(data->begin(), data->end());
}

ValueMap PaymentMap(const StorePayment& payment) {
  return ValueMap{
      {Value("applicationUsername"), Optional(payment.application_username)},
      {Value("productIdentifier"), Optional(payment.product_identifier)},
      {Value("quantity"), Value(payment.quantity)},
      {Value("requestData"), Optional(RequestDataText(payment.request_data))},
      {Value("simulatesAskToBuyInSandbox"), Value(payment.simulates_ask_to_buy_in_sandbox)},
  };
}

ValueMap TransactionMap(const StorePaymentTransaction& transaction) {
  return ValueMap{
      {Value("error"), transaction.error ? Value(ErrorMap(*transaction.error)) : Value()},
      {Value("payment"), Value(PaymentMap(transaction.payment))},
      {Value("originalTransaction"),
       transaction.original ? Value(TransactionMap(*transaction.original)) : Value()},
      {Value("transactionTimeStamp"), transaction.date ? Value(*transaction.date) : Value()},
      {Value("transactionIdentifier"), Optional(transaction.identifier)},
      {Value("transactionState"), Value(transaction.state)},
  };
}

ValueMap LocaleMap(const StoreLocale& locale) {
  return ValueMap{
      {Value("currencySymbol"), Optional(locale.currency_symbol)},
      {Value("currencyCode"), Optional(locale.currency_code)},
      {Value("countryCode"), Optional(locale.country_code)},
  };
}

ValueMap PeriodMap(const StoreSubscriptionPeriod& period) {
  return ValueMap{
      {Value("numberOfUnits"), Value(period.number_of_units)},
      {Value("unit"), Value(static_cast<int64_t>(period.unit))},
  };
}

ValueMap DiscountMap(const StoreOffer& discount) {
  return ValueMap{
      {Value("identifier"), Optional(discount.identifier)},
      {Value("numberOfPeriods"), Value(discount.number_of_periods)},
      {Value("paymentMode"), Value(static_cast<int64_t>(discount.payment_mode))},
      {Value("price"), Value(discount.price)},
      {Value("subscriptionPeriod"), Value(PeriodMap(discount.period))},
      {Value("type"), Value(static_cast<int64_t>(discount.discount_type))},
      {Value("priceLocale"), Value(LocaleMap(discount.price_locale))},
  };
}

ValueMap ProductMap(const StoreProduct& product) {
  ValueList discounts;
  discounts.reserve(product.promotional_offers.size());
  for (const StoreOffer& offer : product.promotional_offers) {
    discounts.push_back(Value(DiscountMap(offer)));
  }
  return ValueMap{
      {Value("discounts"), Value(std::move(discounts))},
      {Value("introductoryPrice"),
       product.introductory_offer ? Value(DiscountMap(*product.introductory_offer)) : Value()},
      {Value("localizedDescription"), Value(product.localized_description)},
      {Value("localizedTitle"), Value(product.localized_title)},
      {Value("productIdentifier"), Value(product.identifier)},
      {Value("price"), Value(product.price)},
      {Value("subscriptionGroupIdentifier"), Optional(product.subscription_group_identifier)},
      {Value("subscriptionPeriod"),
       product.subscription_period ? Value(PeriodMap(*product.subscription_period)) : Value()},
      {Value("priceLocale"), Value(LocaleMap(product.price_locale))},
  };
}

}  // namespace kelvo
