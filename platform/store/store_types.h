// The app store's objects as the store bridge sees them: products with
// their prices, locales, periods and offers; payments, payment discounts
// and payment transactions of the first-generation queue; transactions and
// verification results of the second generation; store errors.
//
// Numbers that the store defines (transaction states, period units,
// payment modes, discount types) are kept as the store's raw numbers, so a
// value outside the known members reaches the bridge unchanged and the
// bridge decides what to do with it.
// All types are plain values: copyable and safe to move between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kelvo {

// NSLocale, as far as prices need it.
struct StoreLocale {
  std::string identifier;  // "en_US"
  std::optional<std::string> currency_symbol;
  std::optional<std::string> currency_code;
  std::optional<std::string> country_code;
};

// Raw store numbers: day 0, week 1, month 2, year 3.
struct StoreSubscriptionPeriod {
  int64_t number_of_units = 0;
  uint64_t unit = 0;
};

// An offer of a subscription. First-generation discount numbers: payment
// mode payAsYouGo 0, payUpFront 1, freeTrial 2; type introductory 0,
// subscription 1. Second generation adds the win-back kind.
struct StoreOffer {
  enum class Kind { kIntroductory, kPromotional, kWinBack };
  Kind kind = Kind::kPromotional;
  std::optional<std::string> identifier;  // absent for some introductory offers
  std::string price;                      // decimal text, "0.99"
  StoreLocale price_locale;
  int64_t number_of_periods = 0;
  uint64_t payment_mode = 0;
  StoreSubscriptionPeriod period;
  uint64_t discount_type = 0;  // first-generation type number
};

// The offer of `offers` with identifier `id`, or null.
inline const StoreOffer* FindOffer(const std::vector<StoreOffer>& offers,
                                   const std::optional<std::string>& id) {
  for (const StoreOffer& o : offers) {
    if (o.identifier == id) return &o;
  }
  return nullptr;
}

enum class StoreProductType { kConsumable, kNonConsumable, kNonRenewable, kAutoRenewable };

struct StoreProduct {
  std::string identifier;
  std::string localized_title;
  std::string localized_description;
  std::string price;  // decimal text
  std::string display_price;
  StoreLocale price_locale;
  StoreProductType type = StoreProductType::kConsumable;
  std::optional<std::string> subscription_group_identifier;
  std::optional<StoreSubscriptionPeriod> subscription_period;
  std::optional<StoreOffer> introductory_offer;
  std::vector<StoreOffer> promotional_offers;  // first generation: `discounts`
  std::vector<StoreOffer> win_back_offers;
};

// A value of an error's user-info map: a string, an integer, a double, a
// URL, a list, a map, a nested error, or an object of another class.
struct StoreError;
struct StoreUserInfoValue {
  enum class Kind { kString, kInt, kDouble, kUrl, kList, kMap, kError, kOther };
  Kind kind = Kind::kString;
  std::string text;  // string, URL, or the class name of kOther
  int64_t integer = 0;
  double number = 0;
  std::vector<StoreUserInfoValue> list;
  std::vector<std::pair<std::string, StoreUserInfoValue>> map;
  std::shared_ptr<const StoreError> error;

  // Defined below the class: `map` holds pairs of this very type, which
  // are complete only there (some compilers check it in the class body).
  StoreUserInfoValue();
  StoreUserInfoValue(const StoreUserInfoValue&);
  StoreUserInfoValue(StoreUserInfoValue&&) noexcept;
  StoreUserInfoValue& operator=(const StoreUserInfoValue&);
  StoreUserInfoValue& operator=(StoreUserInfoValue&&) noexcept;
  ~StoreUserInfoValue();
};
inline StoreUserInfoValue::StoreUserInfoValue() = default;
inline StoreUserInfoValue::StoreUserInfoValue(const StoreUserInfoValue&) = default;
inline StoreUserInfoValue::StoreUserInfoValue(StoreUserInfoValue&&) noexcept = default;
inline StoreUserInfoValue& StoreUserInfoValue::operator=(const StoreUserInfoValue&) = default;
inline StoreUserInfoValue& StoreUserInfoValue::operator=(StoreUserInfoValue&&) noexcept = default;
inline StoreUserInfoValue::~StoreUserInfoValue() = default;

// NSError.
struct StoreError {
  int64_t code = 0;
  std::string domain;
  std::vector<std::pair<std::string, StoreUserInfoValue>> user_info;
  std::string localized_description;
  std::string description;  // the longer debugging description
};

struct StorePaymentDiscount {
  std::string identifier;
  std::string key_identifier;
  std::string nonce;  // UUID text
  std::string signature;
  int64_t timestamp = 0;
};

struct StorePayment {
  std::optional<std::string> product_identifier;
  std::optional<std::string> application_username;
  std::optional<std::vector<uint8_t>> request_data;
  int64_t quantity = 1;
  bool simulates_ask_to_buy_in_sandbox = false;
  std::optional<StorePaymentDiscount> payment_discount;
};

// Raw store numbers: purchasing 0, purchased 1, failed 2, restored 3,
// deferred 4.
struct StorePaymentTransaction {
  StorePayment payment;
  int64_t state = 0;
  std::shared_ptr<const StorePaymentTransaction> original;
  std::optional<double> date;  // seconds since 1970
  std::optional<std::string> identifier;
  std::optional<StoreError> error;
};

struct StoreStorefront {
  std::string country_code;
  std::string identifier;
};

struct StoreProductsResponse {
  std::vector<StoreProduct> products;
  std::optional<std::vector<std::string>> invalid_product_identifiers;
};

// Second generation.
struct StoreTransaction {
  uint64_t id = 0;
  uint64_t original_id = 0;
  std::string product_id;
  double purchase_date = 0;
  std::optional<double> expiration_date;
  int64_t purchased_quantity = 1;
  std::optional<std::string> app_account_token;  // UUID text
  std::string json_representation;
};

struct StoreVerificationResult {
  StoreTransaction transaction;
  bool verified = true;
  std::string jws_representation;
  std::string verification_error;  // description, when not verified
};

struct StorePromotionalOfferSignature {
  std::string key_id;
  std::string nonce;  // UUID text, checked by the caller
  int64_t timestamp = 0;
  std::vector<uint8_t> signature;
};

struct StorePurchaseOptions {
  std::optional<std::string> app_account_token;  // valid UUID text only
  std::optional<int64_t> quantity;
  std::optional<std::pair<std::string, StorePromotionalOfferSignature>> promotional_offer;
  std::optional<std::string> win_back_offer_id;
};

struct StorePurchaseResult {
  enum class Kind { kSuccess, kUserCancelled, kPending };
  Kind kind = Kind::kSuccess;
  std::optional<StoreVerificationResult> verification;  // with kSuccess
};

struct StoreSubscriptionStatus {
  bool renewal_info_verified = true;
  std::vector<std::string> eligible_win_back_offer_ids;
};

}  // namespace kelvo
