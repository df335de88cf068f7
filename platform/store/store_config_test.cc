#include "platform/store/store_config.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/store/local_store.h"
#include "platform/store/local_store_test_util.h"

namespace kelvo {
namespace {

StoreConfig Parse(const std::string& text) {
  std::string error;
  std::optional<StoreConfig> config = ParseStoreConfig(text, &error);
  EXPECT_TRUE(config) << error;
  return config.value_or(StoreConfig{});
}

std::string ErrorOf(const std::string& text) {
  std::string error;
  EXPECT_FALSE(ParseStoreConfig(text, &error)) << text;
  return error;
}

TEST(StoreConfigTest, SampleShipsOneProductOfEachKindWithEveryOfferKind) {
  std::string error;
  std::optional<StoreConfig> config = LoadStoreConfig(KELVO_STORE_SAMPLE, &error);
  ASSERT_TRUE(config) << error;
  ASSERT_TRUE(config->storefront);
  EXPECT_EQ(config->storefront->country_code, "USA");

  std::set<StoreProductType> types;
  const StoreProduct* subscription = nullptr;
  for (const ConfiguredProduct& c : config->products) {
    types.insert(c.product.type);
    if (c.product.type == StoreProductType::kAutoRenewable) subscription = &c.product;
  }
  EXPECT_TRUE(types.count(StoreProductType::kConsumable));
  EXPECT_TRUE(types.count(StoreProductType::kNonConsumable));
  ASSERT_NE(subscription, nullptr);
  ASSERT_TRUE(subscription->introductory_offer);
  EXPECT_EQ(subscription->introductory_offer->kind, StoreOffer::Kind::kIntroductory);
  EXPECT_EQ(subscription->introductory_offer->discount_type, 0u);
  EXPECT_EQ(subscription->introductory_offer->payment_mode, 2u);  // free trial
  EXPECT_EQ(subscription->introductory_offer->period.unit, 1u);   // week
  ASSERT_EQ(subscription->promotional_offers.size(), 1u);
  EXPECT_EQ(subscription->promotional_offers[0].discount_type, 1u);
  EXPECT_EQ(subscription->promotional_offers[0].number_of_periods, 3);
  ASSERT_EQ(subscription->win_back_offers.size(), 1u);
  EXPECT_EQ(subscription->win_back_offers[0].payment_mode, 1u);  // pay up front
  ASSERT_TRUE(subscription->subscription_period);
  EXPECT_EQ(subscription->subscription_period->unit, 2u);  // month
  EXPECT_EQ(subscription->subscription_period->number_of_units, 1);
}

TEST(StoreConfigTest, DefaultsFillWhatIsLeftOut) {
  StoreConfig empty = Parse("{}");
  EXPECT_TRUE(empty.products.empty());
  EXPECT_FALSE(empty.storefront);
  EXPECT_TRUE(empty.can_make_payments);
  EXPECT_TRUE(empty.has_receipt_location);

  StoreConfig c = Parse(R"({"locale": {"identifier": "de_DE", "currencySymbol": "€", "currencyCode": "EUR"},
    "products": [{"id": "a", "type": "consumable", "price": "1.50"},
                 {"id": "b", "type": "consumable", "price": "2", "locale": {"currencySymbol": "£"}}]})");
  ASSERT_EQ(c.products.size(), 2u);
  const StoreProduct& a = c.products[0].product;
  EXPECT_EQ(a.display_price, "€1.50");
  EXPECT_EQ(a.price_locale.identifier, "de_DE");
  EXPECT_EQ(a.price_locale.currency_code, "EUR");
  EXPECT_EQ(c.products[0].outcome, PurchaseOutcome::kPurchased);
  EXPECT_TRUE(c.products[0].verified);
  // A product's own locale replaces the default whole.
  const StoreProduct& b = c.products[1].product;
  EXPECT_EQ(b.display_price, "£2");
  EXPECT_EQ(b.price_locale.identifier, "en_US");
  EXPECT_FALSE(b.price_locale.currency_code);
  // Comment fields are ignored anywhere.
  EXPECT_TRUE(Parse(R"({"_note": 1, "products": [{"_why": "x", "id": "a", "type": "consumable", "price": "1"}]})")
                  .FindProduct("a"));
}

TEST(StoreConfigTest, MalformedFilesNameTheField) {
  const std::string sub = R"("type": "autoRenewable", "subscriptionGroup": "g", "period": "P1M", "price": "1")";
  const std::string groups = R"("subscriptionGroups": [{"id": "g"}])";
  const std::pair<std::string, std::string> cases[] = {
      {R"({"products": [{"id": "a", "type": "consumable", "price": "1"},
                         {"id": "b", "type": "consumable", "price": "1,99"}]})",
       "products[1].price: expected decimal text"},
      {R"({"products": [{"id": "a", "type": "consumable", "price": 1.99}]})",
       "products[0].price: expected decimal text"},
      {R"({"products": [{"id": "a", "type": "consumable", "price": "-1"}]})",
       "products[0].price: expected decimal text"},
      {R"({"products": [{"id": "a", "type": "consumable", "price": "1."}]})",
       "products[0].price: expected decimal text"},
      {R"({"products": [{"type": "consumable", "price": "1"}]})", "products[0].id: missing"},
      {R"({"products": [{"id": "a", "price": "1"}]})", "products[0].type: missing"},
      {R"({"products": [{"id": "a", "type": "gift", "price": "1"}]})",
       "products[0].type: expected one of consumable, nonConsumable, nonRenewable, autoRenewable"},
      {R"({"products": [{"id": "a", "type": "consumable", "price": "1", "purchaseOutcome": "maybe"}]})",
       "products[0].purchaseOutcome: expected one of purchased, failed, deferred, pending, cancelled"},
      {R"({"products": [{"id": "a", "type": "consumable", "price": "1", "prise": "2"}]})",
       "products[0].prise: unknown field"},
      {R"({"prodcuts": []})", "prodcuts: unknown field"},
      {R"({"products": [{"id": "a", "type": "consumable", "price": "1"},
                         {"id": "a", "type": "consumable", "price": "1"}]})",
       "products[1].id: repeated"},
      {"{" + groups + R"(, "products": [{"id": "s", "type": "autoRenewable", "subscriptionGroup": "g", "price": "1"}]})",
       "products[0].period: missing (required for an autoRenewable product)"},
      {"{" + groups + R"(, "products": [{"id": "s", "type": "autoRenewable", "subscriptionGroup": "g",
                                          "period": "1M", "price": "1"}]})",
       R"(products[0].period: expected a period such as "P1W" or "P1M" (D, W, M, Y))"},
      {R"({"products": [{"id": "s", )" + sub + "}]}",
       R"(products[0].subscriptionGroup: no subscription group "g" in subscriptionGroups)"},
      {"{" + groups + R"(, "products": [{"id": "s", )" + sub +
           R"(, "promotionalOffers": [{"id": "p", "price": "1", "period": "P1M"}, {"price": "1", "period": "P1M"}]}]})",
       "products[0].promotionalOffers[1].id: missing"},
      {"{" + groups + R"(, "products": [{"id": "s", )" + sub +
           R"(, "introductoryOffer": {"price": "0", "period": "P1W", "count": 0}}]})",
       "products[0].introductoryOffer.count: must be 1 or more"},
      {R"({"products": [{"id": "a", "type": "nonConsumable", "price": "1",
                         "winBackOffers": [{"id": "w", "price": "1", "period": "P1M"}]}]})",
       "products[0].winBackOffers: only an autoRenewable product has offers"},
      {R"({"subscriptionGroups": [{"id": "g", "winBackEligible": ["w"]}]})",
       R"(subscriptionGroups[0].winBackEligible[0]: no win-back offer "w" in this group's products)"},
      {R"({"storefront": {"identifier": "143441"}})", "storefront.countryCode: missing"},
      {R"({"canMakePayments": "yes"})", "canMakePayments: expected true or false"},
      {R"({"products": {}})", "products: expected a list"},
      {R"([1, 2])", "(top level): expected an object"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(ErrorOf(text), expected) << text;

  // Syntax errors say where.
  EXPECT_NE(ErrorOf("{\n  \"products\": [\n    {\"id\": }\n]}").find("line 3"), std::string::npos);
}

TEST(StoreConfigTest, FactoryReportsTheFileAndFieldAndGivesNoStore) {
  StoreTestDir dir;
  VirtualDispatch dispatch;
  LocalStoreOptions options;
  options.data_dir = dir.path() + "/data";
  options.log = std::make_shared<FakeSystemLog>("s", "c");

  options.config_path = dir.Write("bad.json", R"({"products": [{"id": "a", "type": "consumable", "price": "x"}]})");
  LocalStoreOpenResult bad = OpenLocalStore(&dispatch, options);
  EXPECT_FALSE(bad);
  EXPECT_EQ(bad.error, "store configuration " + *options.config_path +
                           ": products[0].price: expected decimal text");

  options.config_path = dir.path() + "/missing.json";
  LocalStoreOpenResult missing = OpenLocalStore(&dispatch, options);
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.error.rfind("store configuration " + dir.path() + "/missing.json: cannot open", 0), 0u)
      << missing.error;

  // No configuration at all is the empty store.
  options.config_path.reset();
  LocalStoreOpenResult empty = OpenLocalStore(&dispatch, options);
  ASSERT_TRUE(empty) << empty.error;
  std::optional<StoreError> error;
  EXPECT_TRUE(empty.store->Second()->Products({"anything"}, &error).empty());
  EXPECT_FALSE(empty.store->Second()->CurrentStorefront());
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    if (old) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(StoreConfigTest, EnvironmentChoosesTheFiles) {
  StoreTestDir dir;
  ScopedEnv home("HOME", dir.path().c_str());
  ScopedEnv config_home("XDG_CONFIG_HOME", nullptr);
  ScopedEnv data_home("XDG_DATA_HOME", nullptr);
  ScopedEnv explicit_config("KELVO_STORE_CONFIG", nullptr);

  // Nothing there: the empty store, state under ~/.local/share.
  LocalStoreOptions none = LocalStoreOptionsFromEnvironment();
  EXPECT_FALSE(none.config_path);
  EXPECT_EQ(none.data_dir, dir.path() + "/.local/share/kelvo/store");

  // The default file counts only when it exists.
  std::filesystem::create_directories(dir.path() + "/.config/kelvo");
  dir.Write(".config/kelvo/store.json", "{}");
  EXPECT_EQ(LocalStoreOptionsFromEnvironment().config_path, dir.path() + "/.config/kelvo/store.json");

  ScopedEnv xdg_config("XDG_CONFIG_HOME", (dir.path() + "/cfg").c_str());
  ScopedEnv xdg_data("XDG_DATA_HOME", (dir.path() + "/share").c_str());
  EXPECT_FALSE(LocalStoreOptionsFromEnvironment().config_path);
  EXPECT_EQ(LocalStoreOptionsFromEnvironment().data_dir, dir.path() + "/share/kelvo/store");

  // The explicit variable wins even when its file is missing (the factory
  // then says so rather than silently opening an empty store).
  ScopedEnv named("KELVO_STORE_CONFIG", "/nowhere/store.json");
  EXPECT_EQ(LocalStoreOptionsFromEnvironment().config_path, "/nowhere/store.json");
}

}  // namespace
}  // namespace kelvo
