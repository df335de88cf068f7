// The maps the first-generation API sends to the user interface on its
// callback channel (standard codec). Keys as below, in this order; a
// missing value is null.
//   transaction  "error", "payment", "originalTransaction" (recursive),
//                "transactionTimeStamp" (seconds since 1970, null without
//                a date), "transactionIdentifier", "transactionState" (the
//                store's number, unchanged)
//   payment      "applicationUsername", "productIdentifier", "quantity",
//                "requestData" (UTF-8 text; null when absent or not
//                UTF-8), "simulatesAskToBuyInSandbox"; no discount
//   product      "discounts", "introductoryPrice", "localizedDescription",
//                "localizedTitle", "productIdentifier", "price",
//                "subscriptionGroupIdentifier", "subscriptionPeriod",
//                "priceLocale"
//   discount     "identifier", "numberOfPeriods", "paymentMode", "price",
//                "subscriptionPeriod", "type", "priceLocale" (the store's
//                numbers, unchanged)
//   period       "numberOfUnits", "unit"
//   locale       "currencySymbol", "currencyCode", "countryCode"
// The error map is ErrorMap (user_info_encoding.h).
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/engine/value.h"
#include "platform/store/store_types.h"

namespace kelvo {

ValueMap TransactionMap(const StorePaymentTransaction& transaction);
ValueMap PaymentMap(const StorePayment& payment);
ValueMap ProductMap(const StoreProduct& product);
ValueMap DiscountMap(const StoreOffer& discount);
ValueMap PeriodMap(const StoreSubscriptionPeriod& period);
ValueMap LocaleMap(const StoreLocale& locale);

// A payment's request data read as UTF-8 text: nothing when there is none
// or it is not valid UTF-8.
std::optional<std::string> RequestDataText(const std::optional<std::vector<uint8_t>>& data);

}  // namespace kelvo
