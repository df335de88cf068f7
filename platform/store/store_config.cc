#include "platform/store/store_config.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace kelvo {
namespace {

using nlohmann::json;

// Thrown only inside this file, caught in ParseStoreConfig: it carries the
// path of the field that is wrong.
struct FieldError {
  std::string text;
};

[[noreturn]] void Fail(const std::string& path, const std::string& what) {
  throw FieldError{path + ": " + what};
}

std::string Join(const std::string& path, std::string_view key) {
  return path.empty() ? std::string(key) : path + "." + std::string(key);
}

std::string Index(const std::string& path, size_t i) {
  return path + "[" + std::to_string(i) + "]";
}

// A JSON object with its path; every read names the field on failure, and
// Done() rejects fields nobody asked for.
class Fields {
 public:
  Fields(const json& j, std::string path) : j_(j), path_(std::move(path)) {
    if (!j_.is_object()) Fail(path_.empty() ? "(top level)" : path_, "expected an object");
  }

  const json* Find(std::string_view key) {
    seen_.insert(std::string(key));
    auto it = j_.find(key);
    if (it == j_.end() || it->is_null()) return nullptr;
    return &*it;
  }

  std::string PathOf(std::string_view key) const { return Join(path_, key); }

  std::optional<std::string> String(std::string_view key) {
    const json* v = Find(key);
    if (!v) return std::nullopt;
    if (!v->is_string()) Fail(PathOf(key), "expected a string");
    return v->get<std::string>();
  }

  std::string RequiredString(std::string_view key) {
    std::optional<std::string> s = String(key);
    if (!s) Fail(PathOf(key), "missing");
    if (s->empty()) Fail(PathOf(key), "must not be empty");
    return *s;
  }

  std::optional<bool> Bool(std::string_view key) {
    const json* v = Find(key);
    if (!v) return std::nullopt;
    if (!v->is_boolean()) Fail(PathOf(key), "expected true or false");
    return v->get<bool>();
  }

  std::optional<int64_t> Int(std::string_view key) {
    const json* v = Find(key);
    if (!v) return std::nullopt;
    if (!v->is_number_integer()) Fail(PathOf(key), "expected an integer");
    return v->get<int64_t>();
  }

  std::optional<double> Number(std::string_view key) {
    const json* v = Find(key);
    if (!v) return std::nullopt;
    if (!v->is_number()) Fail(PathOf(key), "expected a number");
    return v->get<double>();
  }

  const json* Array(std::string_view key) {
    const json* v = Find(key);
    if (v && !v->is_array()) Fail(PathOf(key), "expected a list");
    return v;
  }

  void Done() const {
    for (auto it = j_.begin(); it != j_.end(); ++it) {
      const std::string& key = it.key();
      if (key.empty() || key[0] == '_') continue;
      if (!seen_.count(key)) Fail(PathOf(key), "unknown field");
    }
  }

 private:
  const json& j_;
  std::string path_;
  std::set<std::string> seen_;
};

bool IsDecimalText(const std::string& s) {
  size_t i = 0;
  size_t digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (digits == 0) return false;
  if (i == s.size()) return true;
  if (s[i] != '.') return false;
  ++i;
  size_t fraction = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++fraction;
  return fraction > 0 && i == s.size();
}

std::string Price(Fields& f, std::string_view key) {
  const json* v = f.Find(key);
  if (!v) Fail(f.PathOf(key), "missing");
  if (!v->is_string() || !IsDecimalText(v->get<std::string>())) {
    Fail(f.PathOf(key), "expected decimal text");
  }
  return v->get<std::string>();
}

// "P1M", "P2W", "P3D", "P1Y".
std::optional<StoreSubscriptionPeriod> ParsePeriod(const std::string& s) {
  if (s.size() < 3 || s[0] != 'P') return std::nullopt;
  int64_t n = 0;
  size_t i = 1;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    if (n > 1000) return std::nullopt;
    n = n * 10 + (s[i] - '0');
  }
  if (i == 1 || i + 1 != s.size() || n == 0) return std::nullopt;
  uint64_t unit;
  switch (s[i]) {
    case 'D': unit = 0; break;
    case 'W': unit = 1; break;
    case 'M': unit = 2; break;
    case 'Y': unit = 3; break;
    default: return std::nullopt;
  }
  return StoreSubscriptionPeriod{n, unit};
}

StoreSubscriptionPeriod Period(Fields& f, std::string_view key) {
  std::optional<std::string> text = f.String(key);
  if (!text) Fail(f.PathOf(key), "missing");
  std::optional<StoreSubscriptionPeriod> p = ParsePeriod(*text);
  if (!p) Fail(f.PathOf(key), "expected a period such as \"P1W\" or \"P1M\" (D, W, M, Y)");
  return *p;
}

template <typename T>
T OneOf(Fields& f, std::string_view key, T fallback,
        std::initializer_list<std::pair<const char*, T>> names) {
  std::optional<std::string> text = f.String(key);
  if (!text) return fallback;
  std::string expected;
  for (const auto& [name, value] : names) {
    if (*text == name) return value;
    expected += expected.empty() ? "" : ", ";
    expected += name;
  }
  Fail(f.PathOf(key), "expected one of " + expected);
}

StoreLocale ParseLocale(const json& j, const std::string& path) {
  Fields f(j, path);
  StoreLocale locale;
  locale.identifier = f.String("identifier").value_or("en_US");
  locale.currency_symbol = f.String("currencySymbol");
  locale.currency_code = f.String("currencyCode");
  locale.country_code = f.String("countryCode");
  f.Done();
  return locale;
}

StoreOffer ParseOffer(const json& j, const std::string& path, StoreOffer::Kind kind,
                      const StoreLocale& locale) {
  Fields f(j, path);
  StoreOffer offer;
  offer.kind = kind;
  offer.identifier = f.String("id");
  if (kind != StoreOffer::Kind::kIntroductory && (!offer.identifier || offer.identifier->empty())) {
    Fail(f.PathOf("id"), "missing");
  }
  offer.price = Price(f, "price");
  offer.price_locale = locale;
  offer.period = Period(f, "period");
  offer.number_of_periods = f.Int("count").value_or(1);
  if (offer.number_of_periods < 1) Fail(f.PathOf("count"), "must be 1 or more");
  offer.payment_mode = OneOf<uint64_t>(f, "paymentMode", 0,
                                       {{"payAsYouGo", 0}, {"payUpFront", 1}, {"freeTrial", 2}});
  offer.discount_type = kind == StoreOffer::Kind::kIntroductory ? 0 : 1;
  f.Done();
  return offer;
}

std::vector<StoreOffer> ParseOffers(Fields& f, std::string_view key, StoreOffer::Kind kind,
                                    const StoreLocale& locale) {
  std::vector<StoreOffer> offers;
  const json* list = f.Array(key);
  if (!list) return offers;
  std::set<std::string> ids;
  for (size_t i = 0; i < list->size(); ++i) {
    std::string path = Index(f.PathOf(key), i);
    offers.push_back(ParseOffer((*list)[i], path, kind, locale));
    if (!ids.insert(*offers.back().identifier).second) Fail(path + ".id", "repeated");
  }
  return offers;
}

ConfiguredProduct ParseProduct(const json& j, const std::string& path, const StoreLocale& fallback,
                               const std::vector<ConfiguredGroup>& groups) {
  Fields f(j, path);
  ConfiguredProduct c;
  StoreProduct& p = c.product;
  p.identifier = f.RequiredString("id");
  p.type = OneOf<StoreProductType>(f, "type", StoreProductType::kConsumable,
                                   {{"consumable", StoreProductType::kConsumable},
                                    {"nonConsumable", StoreProductType::kNonConsumable},
                                    {"nonRenewable", StoreProductType::kNonRenewable},
                                    {"autoRenewable", StoreProductType::kAutoRenewable}});
  if (!f.String("type")) Fail(f.PathOf("type"), "missing");
  p.localized_title = f.String("title").value_or("");
  p.localized_description = f.String("description").value_or("");
  p.price = Price(f, "price");
  const json* locale = f.Find("locale");
  p.price_locale = locale ? ParseLocale(*locale, f.PathOf("locale")) : fallback;
  p.display_price = f.String("displayPrice").value_or(p.price_locale.currency_symbol.value_or("") + p.price);

  const bool auto_renewable = p.type == StoreProductType::kAutoRenewable;
  p.subscription_group_identifier = f.String("subscriptionGroup");
  if (auto_renewable && !p.subscription_group_identifier) {
    Fail(f.PathOf("subscriptionGroup"), "missing (required for an autoRenewable product)");
  }
  if (p.subscription_group_identifier) {
    if (!auto_renewable) Fail(f.PathOf("subscriptionGroup"), "only an autoRenewable product has one");
    bool known = false;
    for (const ConfiguredGroup& g : groups) known = known || g.id == *p.subscription_group_identifier;
    if (!known) {
      Fail(f.PathOf("subscriptionGroup"),
           "no subscription group \"" + *p.subscription_group_identifier + "\" in subscriptionGroups");
    }
  }
  if (f.Find("period")) {
    if (!auto_renewable && p.type != StoreProductType::kNonRenewable) {
      Fail(f.PathOf("period"), "only a subscription has one");
    }
    p.subscription_period = Period(f, "period");
  } else if (auto_renewable) {
    Fail(f.PathOf("period"), "missing (required for an autoRenewable product)");
  }

  const json* intro = f.Find("introductoryOffer");
  std::vector<StoreOffer> promotional =
      ParseOffers(f, "promotionalOffers", StoreOffer::Kind::kPromotional, p.price_locale);
  std::vector<StoreOffer> win_back =
      ParseOffers(f, "winBackOffers", StoreOffer::Kind::kWinBack, p.price_locale);
  if (!auto_renewable) {
    if (intro) Fail(f.PathOf("introductoryOffer"), "only an autoRenewable product has offers");
    if (!promotional.empty()) Fail(f.PathOf("promotionalOffers"), "only an autoRenewable product has offers");
    if (!win_back.empty()) Fail(f.PathOf("winBackOffers"), "only an autoRenewable product has offers");
  }
  if (intro) {
    p.introductory_offer = ParseOffer(*intro, f.PathOf("introductoryOffer"),
                                      StoreOffer::Kind::kIntroductory, p.price_locale);
  }
  p.promotional_offers = std::move(promotional);
  p.win_back_offers = std::move(win_back);

  c.outcome = OneOf<PurchaseOutcome>(f, "purchaseOutcome", PurchaseOutcome::kPurchased,
                                     {{"purchased", PurchaseOutcome::kPurchased},
                                      {"failed", PurchaseOutcome::kFailed},
                                      {"deferred", PurchaseOutcome::kDeferred},
                                      {"pending", PurchaseOutcome::kPending},
                                      {"cancelled", PurchaseOutcome::kCancelled}});
  c.verified = f.Bool("verified").value_or(true);
  c.verification_error = f.String("verificationError")
                             .value_or("invalidSignature: the transaction's signature does not "
                                       "match its payload");
  f.Done();
  return c;
}

ConfiguredGroup ParseGroup(const json& j, const std::string& path) {
  Fields f(j, path);
  ConfiguredGroup g;
  g.id = f.RequiredString("id");
  g.name = f.String("name").value_or(g.id);
  g.intro_offer_eligible = f.Bool("introOfferEligible").value_or(true);
  g.renewal_info_verified = f.Bool("renewalInfoVerified").value_or(true);
  if (const json* ids = f.Array("winBackEligible")) {
    for (size_t i = 0; i < ids->size(); ++i) {
      if (!(*ids)[i].is_string()) Fail(Index(f.PathOf("winBackEligible"), i), "expected a string");
      g.win_back_eligible.push_back((*ids)[i].get<std::string>());
    }
  }
  f.Done();
  return g;
}

StoreConfig ParseTop(const json& j) {
  Fields f(j, "");
  StoreConfig config;
  config.bundle_id = f.String("bundleId").value_or(config.bundle_id);
  if (const json* sf = f.Find("storefront")) {
    Fields s(*sf, "storefront");
    StoreStorefront storefront;
    storefront.country_code = s.RequiredString("countryCode");
    storefront.identifier = s.RequiredString("identifier");
    s.Done();
    config.storefront = storefront;
  }
  config.can_make_payments = f.Bool("canMakePayments").value_or(true);
  config.has_receipt_location = f.Bool("hasReceiptLocation").value_or(true);
  config.restore_fails = f.Bool("restoreFails").value_or(false);
  config.purchase_delay_seconds = f.Number("purchaseDelay").value_or(0);
  if (!(config.purchase_delay_seconds >= 0 && config.purchase_delay_seconds <= 3600)) {
    Fail("purchaseDelay", "expected seconds from 0 to 3600");
  }

  StoreLocale locale{"en_US", "$", "USD", "US"};
  if (const json* l = f.Find("locale")) locale = ParseLocale(*l, "locale");

  if (const json* groups = f.Array("subscriptionGroups")) {
    for (size_t i = 0; i < groups->size(); ++i) {
      std::string path = Index("subscriptionGroups", i);
      config.groups.push_back(ParseGroup((*groups)[i], path));
      for (size_t k = 0; k + 1 < config.groups.size(); ++k) {
        if (config.groups[k].id == config.groups.back().id) Fail(path + ".id", "repeated");
      }
    }
  }
  if (const json* products = f.Array("products")) {
    for (size_t i = 0; i < products->size(); ++i) {
      std::string path = Index("products", i);
      config.products.push_back(ParseProduct((*products)[i], path, locale, config.groups));
      if (config.FindProduct(config.products.back().product.identifier) != &config.products.back()) {
        Fail(path + ".id", "repeated");
      }
    }
  }
  f.Done();

  // A group's eligible win-back offers must be offers of its products.
  for (size_t gi = 0; gi < config.groups.size(); ++gi) {
    const ConfiguredGroup& g = config.groups[gi];
    for (size_t i = 0; i < g.win_back_eligible.size(); ++i) {
      bool found = false;
      for (const ConfiguredProduct& c : config.products) {
        if (c.product.subscription_group_identifier != g.id) continue;
        for (const StoreOffer& o : c.product.win_back_offers) found = found || o.identifier == g.win_back_eligible[i];
      }
      if (!found) {
        Fail(Index(Index("subscriptionGroups", gi) + ".winBackEligible", i),
             "no win-back offer \"" + g.win_back_eligible[i] + "\" in this group's products");
      }
    }
  }
  return config;
}

}  // namespace

const ConfiguredProduct* StoreConfig::FindProduct(std::string_view id) const {
  for (const ConfiguredProduct& c : products) {
    if (c.product.identifier == id) return &c;
  }
  return nullptr;
}

const ConfiguredGroup* StoreConfig::FindGroup(std::string_view id) const {
  for (const ConfiguredGroup& g : groups) {
    if (g.id == id) return &g;
  }
  return nullptr;
}

std::optional<StoreConfig> ParseStoreConfig(std::string_view text, std::string* error) {
  json j;
  try {
    j = json::parse(text);
  } catch (const json::parse_error& e) {
    // "[json.exception.parse_error.101] parse error at line 3, column 5: ..."
    std::string what = e.what();
    size_t close = what.find("] ");
    *error = close == std::string::npos ? what : what.substr(close + 2);
    return std::nullopt;
  }
  try {
    return ParseTop(j);
  } catch (const FieldError& e) {
    *error = e.text;
  } catch (const std::exception& e) {
    *error = std::string("unreadable: ") + e.what();
  }
  return std::nullopt;
}

std::optional<StoreConfig> LoadStoreConfig(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "store configuration " + path + ": cannot open: " + std::strerror(errno);
    return std::nullopt;
  }
  std::stringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    *error = "store configuration " + path + ": cannot read";
    return std::nullopt;
  }
  std::optional<StoreConfig> config = ParseStoreConfig(text.str(), error);
  if (!config) *error = "store configuration " + path + ": " + *error;
  return config;
}

double PeriodSeconds(const StoreSubscriptionPeriod& period) {
  static constexpr double kUnit[] = {86400.0, 7 * 86400.0, 30 * 86400.0, 365 * 86400.0};
  double unit = period.unit < 4 ? kUnit[period.unit] : kUnit[0];
  return unit * static_cast<double>(period.number_of_units);
}

std::string_view PurchaseOutcomeName(PurchaseOutcome outcome) {
  switch (outcome) {
    case PurchaseOutcome::kPurchased: return "purchased";
    case PurchaseOutcome::kFailed: return "failed";
    case PurchaseOutcome::kDeferred: return "deferred";
    case PurchaseOutcome::kPending: return "pending";
    case PurchaseOutcome::kCancelled: return "cancelled";
  }
  return "purchased";
}

}  // namespace kelvo
