// FIAObjectTranslator: builds the first-generation messages (messages.h)
// from the store's objects (platform/store/store_types.h).
//
// Numbers outside the known members are folded: transaction states other
// than 1..4 become purchasing; period units other than 1..3 become day; a
// discount payment mode above 1 becomes freeTrial; a discount type other
// than 0 becomes subscription. A transaction without a date has time stamp
// 0; a payment whose request data is absent or not UTF-8 has none; a
// products response without invalid identifiers carries an empty list.
// Pure functions; any thread.
#pragma once

#include <memory>
#include <optional>

#include "platform/store/store_types.h"
#include "services/store/messages.h"

namespace kelvo {

class FIAObjectTranslator {
 public:
  static std::shared_ptr<const FIASKPaymentTransactionMessage> convertTransactionToPigeon(
      const StorePaymentTransaction* transaction);
  static std::shared_ptr<const FIASKPaymentMessage> convertPaymentToPigeon(
      const StorePayment* payment);
  static std::shared_ptr<const FIASKPaymentDiscountMessage> convertPaymentDiscountToPigeon(
      const StorePaymentDiscount* discount);
  static std::shared_ptr<const FIASKErrorMessage> convertSKErrorToPigeon(const StoreError* error);
  static FIASKPaymentTransactionStateMessage convertTransactionStateToPigeon(int64_t state);
  static std::shared_ptr<const FIASKStorefrontMessage> convertStorefrontToPigeon(
      const StoreStorefront* storefront);
  static std::shared_ptr<const FIASKProductsResponseMessage> convertProductsResponseToPigeon(
      const StoreProductsResponse* response);
  static std::shared_ptr<const FIASKProductMessage> convertProductToPigeon(
      const StoreProduct* product);
  static std::shared_ptr<const FIASKProductDiscountMessage> convertProductDiscountToPigeon(
      const StoreOffer* discount);
  static std::shared_ptr<const FIASKProductSubscriptionPeriodMessage>
  convertSKProductSubscriptionPeriodToPigeon(const StoreSubscriptionPeriod* period);
  static std::shared_ptr<const FIASKPriceLocaleMessage> convertNSLocaleToPigeon(
      const StoreLocale* locale);
};

}  // namespace kelvo
