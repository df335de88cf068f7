// The local store's configuration: products and their offers, subscription
// groups, the storefront, and how purchases turn out. Read from JSON; every
// field is checked and an error names the field's path
// ("products[1].price: expected decimal text"). Unknown fields are errors
// (a typo must not silently fall back to a default); fields whose name
// begins with "_" are comments and ignored.
//
// Top level: "bundleId", "storefront" ({"countryCode", "identifier"} or
// null), "canMakePayments", "hasReceiptLocation", "restoreFails",
// "purchaseDelay" (seconds between purchasing and the outcome), "locale"
// (default for products), "subscriptionGroups", "products".
// Product: "id", "type" (consumable, nonConsumable, nonRenewable,
// autoRenewable), "title", "description", "price" (decimal text),
// "displayPrice", "locale", "subscriptionGroup", "period" (ISO 8601: P1D,
// P1W, P1M, P1Y), "introductoryOffer", "promotionalOffers",
// "winBackOffers", "purchaseOutcome" (purchased, failed, deferred,
// pending, cancelled), "verified", "verificationError".
// Offer: "id", "price", "period", "count", "paymentMode" (payAsYouGo,
// payUpFront, freeTrial). Group: "id", "name", "introOfferEligible",
// "winBackEligible" (offer ids), "renewalInfoVerified".
// Plain values; threading as for any value.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/store/store_types.h"

namespace kelvo {

enum class PurchaseOutcome { kPurchased, kFailed, kDeferred, kPending, kCancelled };

struct ConfiguredProduct {
  StoreProduct product;
  PurchaseOutcome outcome = PurchaseOutcome::kPurchased;
  bool verified = true;
  std::string verification_error;  // used when not verified
};

struct ConfiguredGroup {
  std::string id;
  std::string name;
  bool intro_offer_eligible = true;
  std::vector<std::string> win_back_eligible;
  bool renewal_info_verified = true;
};

struct StoreConfig {
  std::string bundle_id = "net.kelvo.app";
  std::optional<StoreStorefront> storefront;
  bool can_make_payments = true;
  bool has_receipt_location = true;
  bool restore_fails = false;
  double purchase_delay_seconds = 0;
  std::vector<ConfiguredProduct> products;
  std::vector<ConfiguredGroup> groups;

  const ConfiguredProduct* FindProduct(std::string_view id) const;
  const ConfiguredGroup* FindGroup(std::string_view id) const;
};

// On failure returns nothing and sets `error` to "<field path>: <what>".
std::optional<StoreConfig> ParseStoreConfig(std::string_view json, std::string* error);
// Reads and parses the file; errors begin "store configuration <path>: ".
std::optional<StoreConfig> LoadStoreConfig(const std::string& path, std::string* error);

// Seconds one period of the subscription lasts in this store: a day is
// 86400 s, a week 7 days, a month 30 days, a year 365 days.
double PeriodSeconds(const StoreSubscriptionPeriod& period);
std::string_view PurchaseOutcomeName(PurchaseOutcome outcome);

}  // namespace kelvo
