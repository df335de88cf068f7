// From the store's second-generation values (platform/store) to the
// messages of the second-generation API, and the two text forms the API
// reads from the user interface.
//
// Contract: each convertToPigeon builds a new message and keeps nothing.
// A store value outside the members the API knows (a product type, offer
// kind, payment mode, period unit or purchase result it cannot name) or a
// price that is not decimal text stops the conversion with
// StoreValueError, whose message is the fixed text of that case; callers
// turn it into an error reply. Nothing here crashes on such a value.
// Threading: pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/store/store_kit.h"
#include "platform/store/store_types.h"
#include "services/store/store_kit2_messages.h"

namespace kelvo {

// A store value the conversions cannot name. what() is the fixed text
// ("An unknown ProductType was passed in", ...; empty for a purchase
// result); value() says which value it was, for the error's details.
class StoreValueError : public std::runtime_error {
 public:
  StoreValueError(const std::string& text, std::string value)
      : std::runtime_error(text), value_(std::move(value)) {}
  const std::string& value() const { return value_; }

 private:
  std::string value_;
};

// Whether the product carries subscription information (a group and a
// period), which the conversions and the eligibility checks need.
bool HasSubscriptionInfo(const StoreProduct& product);

// Win-back offers travel only from version 15.0; the price locale's
// sources differ before 13.0 (both give the same two texts here).
SK2ProductMessage convertToPigeon(const StoreProduct& product, const OperatingSystemVersion& os);
SK2ProductTypeMessage convertToPigeon(StoreProductType type);
// Nothing for a product without subscription information. Offers in
// order: win-back (15.0 or later only), promotional, introductory last.
std::optional<SK2SubscriptionInfoMessage> convertSubscriptionInfoToPigeon(
    const StoreProduct& product, const OperatingSystemVersion& os);
SK2SubscriptionOfferMessage convertToPigeon(const StoreOffer& offer,
                                            const OperatingSystemVersion& os);
// A win-back kind below 15.0 is not recognised.
SK2SubscriptionOfferTypeMessage convertToPigeon(StoreOffer::Kind kind,
                                                const OperatingSystemVersion& os);
// Raw store numbers: payAsYouGo 0, payUpFront 1, freeTrial 2.
SK2SubscriptionOfferPaymentModeMessage convertPaymentModeToPigeon(uint64_t payment_mode);
SK2SubscriptionPeriodMessage convertToPigeon(const StoreSubscriptionPeriod& period);
// Raw store numbers: day 0, week 1, month 2, year 3.
SK2SubscriptionPeriodUnitMessage convertPeriodUnitToPigeon(uint64_t unit);
// A success needs its verification result (verified: success, else
// unverified).
SK2ProductPurchaseResultMessage convertToPigeon(const StorePurchaseResult& result);
// `receipt` becomes receiptData; the store's unsigned ids are carried as
// signed 64-bit integers (bit for bit); the error is always absent.
SK2TransactionMessage convertToPigeon(const StoreTransaction& transaction,
                                      const std::optional<std::string>& receipt,
                                      SK2PurchaseStatusMessage status);

}  // namespace kelvo
