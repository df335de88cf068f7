// Shared pieces of the store layer's tests: a temporary directory, a
// configuration with one product per behaviour, and a store opened on
// virtual time.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/dispatch/virtual_dispatch.h"
#include "platform/fs/test_dir.h"
#include "platform/log/fake_system_log.h"
#include "platform/store/local_store.h"

namespace kelvo {

class StoreTestDir : public TestDir {
 public:
  std::string Write(const std::string& name, const std::string& text) const {
    std::string file = path() + "/" + name;
    std::ofstream(file, std::ios::binary) << text;
    return file;
  }
};

// One product per way a purchase can go.
inline constexpr const char* kTestStoreConfig = R"({
  "storefront": {"countryCode": "USA", "identifier": "143441"},
  "subscriptionGroups": [
    {"id": "premium"},
    {"id": "lapsed", "winBackEligible": ["comeback"]}
  ],
  "products": [
    {"id": "coins", "type": "consumable", "title": "Coins", "price": "0.99"},
    {"id": "lifetime", "type": "nonConsumable", "price": "9.99"},
    {"id": "monthly", "type": "autoRenewable", "subscriptionGroup": "premium",
     "period": "P1M", "price": "4.99",
     "introductoryOffer": {"price": "0.00", "period": "P1W", "paymentMode": "freeTrial"},
     "promotionalOffers": [{"id": "promo", "price": "1.99", "period": "P1M", "count": 3}]},
    {"id": "yearly", "type": "autoRenewable", "subscriptionGroup": "lapsed",
     "period": "P1Y", "price": "39.99",
     "winBackOffers": [{"id": "comeback", "price": "9.99", "period": "P1M"}]},
    {"id": "ask", "type": "nonConsumable", "price": "1.99", "purchaseOutcome": "deferred"},
    {"id": "slow", "type": "nonConsumable", "price": "1.99", "purchaseOutcome": "pending"},
    {"id": "broken", "type": "consumable", "price": "1.99", "purchaseOutcome": "failed"},
    {"id": "nope", "type": "consumable", "price": "1.99", "purchaseOutcome": "cancelled"},
    {"id": "forged", "type": "nonConsumable", "price": "1.99", "verified": false,
     "verificationError": "invalidSignature"}
  ]
})";

// A store on virtual time over a configuration text, in its own directory.
class StoreHarness {
 public:
  explicit StoreHarness(std::string config = kTestStoreConfig) : config_(std::move(config)) {
    Reopen();
  }

  // Drops the store (as a process ending would) and opens the state again.
  void Reopen() {
    store_.reset();
    LocalStoreOptions options;
    options.config_path = dir_.Write("store.json", config_);
    options.data_dir = dir_.path() + "/data";
    options.log = std::make_shared<FakeSystemLog>("net.kelvo.app", "store", book_);
    LocalStoreOpenResult opened = OpenLocalStore(&dispatch_, options);
    ASSERT_TRUE(opened) << opened.error;
    store_ = opened.store;
  }

  LocalStore& store() { return *store_; }
  std::shared_ptr<LocalStore>& shared() { return store_; }
  StorePaymentQueue& queue() { return *store_->DefaultPaymentQueue(); }
  StoreKit2& second() { return *store_->Second(); }
  VirtualDispatch& dispatch() { return dispatch_; }
  const StoreTestDir& dir() const { return dir_; }
  FakeLogBook& log() { return *book_; }

  StoreProduct Product(const std::string& id) {
    std::optional<StoreError> error;
    std::vector<StoreProduct> found = second().Products({id}, &error);
    EXPECT_EQ(found.size(), 1u) << id;
    return found.empty() ? StoreProduct{} : found[0];
  }

 private:
  std::string config_;
  StoreTestDir dir_;
  VirtualDispatch dispatch_;
  std::shared_ptr<FakeLogBook> book_ = std::make_shared<FakeLogBook>();
  std::shared_ptr<LocalStore> store_;
};

inline StorePayment PaymentFor(const std::string& product) {
  StorePayment p;
  p.product_identifier = product;
  return p;
}

}  // namespace kelvo
