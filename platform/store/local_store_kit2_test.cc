// The second-generation half of LocalStore, in virtual time.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/encoding/base64.h"
#include "platform/store/fake_store_observer.h"
#include "platform/store/local_store.h"
#include "platform/store/local_store_test_util.h"
#include "platform/store/store_json.h"

namespace kelvo {
namespace {

constexpr double kDay = 86400;

class Kit2Test : public ::testing::Test {
 protected:
  std::optional<StorePurchaseResult> Buy(const std::string& id, const StorePurchaseOptions& options = {}) {
    error_.reset();
    return h_.second().Purchase(h_.Product(id), options, &error_);
  }

  StoreVerificationResult BuyOk(const std::string& id, const StorePurchaseOptions& options = {}) {
    std::optional<StorePurchaseResult> r = Buy(id, options);
    EXPECT_TRUE(r && r->kind == StorePurchaseResult::Kind::kSuccess && r->verification)
        << id << (error_ ? " " + error_->localized_description : "");
    return r && r->verification ? *r->verification : StoreVerificationResult{};
  }

  std::vector<std::string> Ids(const std::vector<StoreVerificationResult>& list) {
    std::vector<std::string> ids;
    for (const StoreVerificationResult& r : list) ids.push_back(r.transaction.product_id);
    return ids;
  }

  StoreHarness h_;
  std::optional<StoreError> error_;
};

TEST_F(Kit2Test, ProductsComeInTheOrderAskedWithoutUnknownsOrRepeats) {
  std::vector<StoreProduct> found = h_.second().Products({"monthly", "zzz", "coins", "monthly"}, &error_);
  EXPECT_FALSE(error_);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].identifier, "monthly");
  EXPECT_EQ(found[1].identifier, "coins");
  EXPECT_EQ(found[0].subscription_group_identifier, "premium");

  h_.store().FailNext(StoreOperation::kProducts);
  EXPECT_TRUE(h_.second().Products({"coins"}, &error_).empty());
  ASSERT_TRUE(error_);
  EXPECT_FALSE(error_->localized_description.empty());
  EXPECT_EQ(h_.second().Products({"coins"}, &error_).size(), 1u);
  EXPECT_FALSE(error_);
}

TEST_F(Kit2Test, VerifiedPurchaseCarriesItsSignedFormAndUnverifiedOneItsError) {
  StorePurchaseOptions options;
  options.app_account_token = "8c4e5f6a-1b2c-4d3e-8f40-123456789abc";
  options.quantity = 2;
  StoreVerificationResult good = BuyOk("coins", options);
  EXPECT_TRUE(good.verified);
  EXPECT_TRUE(good.verification_error.empty());
  EXPECT_EQ(good.transaction.purchased_quantity, 2);
  EXPECT_EQ(good.transaction.app_account_token, options.app_account_token);
  EXPECT_EQ(good.transaction.id, good.transaction.original_id);
  EXPECT_EQ(good.transaction.purchase_date, h_.dispatch().WallSeconds());

  // header.payload.signature; the payload is the transaction's JSON.
  std::string jws = good.jws_representation;
  ASSERT_EQ(std::count(jws.begin(), jws.end(), '.'), 2);
  size_t a = jws.find('.'), b = jws.rfind('.');
  std::optional<std::string> payload = Base64UrlDecode(jws.substr(a + 1, b - a - 1));
  ASSERT_TRUE(payload);
  EXPECT_EQ(*payload, good.transaction.json_representation);
  nlohmann::json j = nlohmann::json::parse(*payload);
  EXPECT_EQ(j["productId"], "coins");
  EXPECT_EQ(j["transactionId"], std::to_string(good.transaction.id));
  EXPECT_EQ(j["quantity"], 2);
  EXPECT_EQ(j["storefront"], "USA");
  EXPECT_EQ(j["type"], "Consumable");

  StoreVerificationResult bad = BuyOk("forged");
  EXPECT_FALSE(bad.verified);
  EXPECT_EQ(bad.verification_error, "invalidSignature");
  EXPECT_EQ(std::count(bad.jws_representation.begin(), bad.jws_representation.end(), '.'), 2);
  EXPECT_NE(bad.transaction.id, good.transaction.id);
}

TEST_F(Kit2Test, CancelledFailedAndPendingPurchasesLeaveNoTransaction) {
  std::optional<StorePurchaseResult> cancelled = Buy("nope");
  ASSERT_TRUE(cancelled);
  EXPECT_EQ(cancelled->kind, StorePurchaseResult::Kind::kUserCancelled);
  EXPECT_FALSE(cancelled->verification);

  EXPECT_FALSE(Buy("broken"));
  ASSERT_TRUE(error_);
  EXPECT_FALSE(error_->localized_description.empty());

  for (const char* id : {"slow", "ask"}) {
    std::optional<StorePurchaseResult> pending = Buy(id);
    ASSERT_TRUE(pending);
    EXPECT_EQ(pending->kind, StorePurchaseResult::Kind::kPending);
  }
  EXPECT_TRUE(h_.second().AllTransactions().empty());
  std::vector<PendingPurchase> waiting = h_.store().PendingPurchases();
  ASSERT_EQ(waiting.size(), 2u);
  EXPECT_EQ(waiting[0].generation, 2);
  EXPECT_EQ(waiting[0].state_name, "pending");

  // A test control makes the store refuse one purchase.
  h_.store().FailNext(StoreOperation::kPurchase, MakeStoreError("StoreKit.StoreKitError", 2, "offline"));
  EXPECT_FALSE(Buy("coins"));
  EXPECT_EQ(error_->code, 2);
  BuyOk("coins");
}

TEST_F(Kit2Test, ApprovedPendingPurchaseReachesSubscribersLaterAndOnlyWhileSubscribed) {
  std::vector<StoreVerificationResult> first, second;
  std::shared_ptr<void> first_token =
      h_.second().SubscribeToUpdates([&](const StoreVerificationResult& r) { first.push_back(r); });
  std::shared_ptr<void> second_token =
      h_.second().SubscribeToUpdates([&](const StoreVerificationResult& r) { second.push_back(r); });
  ASSERT_TRUE(first_token);
  Buy("slow");
  uint64_t id = h_.store().PendingPurchases()[0].id;

  StoreControlResult approved = h_.store().ApproveTransaction({std::nullopt, "slow"});
  ASSERT_TRUE(approved.ok()) << approved.error;
  EXPECT_TRUE(first.empty());  // never inside the control's call
  second_token.reset();
  h_.dispatch().RunUntilIdle();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].transaction.id, id);
  EXPECT_EQ(first[0].transaction.product_id, "slow");
  EXPECT_TRUE(second.empty());
  EXPECT_TRUE(h_.store().PendingPurchases().empty());

  // A declined one vanishes without an update.
  Buy("ask");
  EXPECT_TRUE(h_.store().FailTransaction({std::nullopt, "ask"}).ok());
  h_.dispatch().RunUntilIdle();
  EXPECT_EQ(first.size(), 1u);
  EXPECT_EQ(Ids(h_.second().AllTransactions()), std::vector<std::string>{"slow"});

  // A pushed update, as from a renewal, continues the subscription.
  StoreVerificationResult bought = BuyOk("monthly");
  StoreControlResult pushed = h_.store().PushTransactionUpdate("monthly", false);
  ASSERT_TRUE(pushed.ok());
  EXPECT_FALSE(h_.store().PushTransactionUpdate("no-such-product").ok());
  first_token.reset();
  h_.dispatch().RunUntilIdle();
  EXPECT_EQ(first.size(), 1u);  // unsubscribed before delivery
  std::vector<StoreVerificationResult> all = h_.second().AllTransactions();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[2].transaction.id, *pushed.id);
  EXPECT_EQ(all[2].transaction.original_id, bought.transaction.id);
  EXPECT_FALSE(all[2].verified);
}

TEST_F(Kit2Test, OffersAreCheckedAndEligibilityFollowsTheLedger) {
  EXPECT_EQ(h_.second().IsEligibleForIntroOffer("premium", &error_), true);
  EXPECT_EQ(h_.second().IsEligibleForIntroOffer("no-such-group", &error_), false);

  StorePurchaseOptions unknown_offer;
  unknown_offer.promotional_offer = {"no-such-offer", StorePromotionalOfferSignature{"key", "nonce", 1, {1}}};
  EXPECT_FALSE(Buy("monthly", unknown_offer));
  EXPECT_EQ(error_->domain, "StoreKit.Product.PurchaseError");
  EXPECT_EQ(error_->code, 4);
  StorePurchaseOptions unsigned_offer;
  unsigned_offer.promotional_offer = {"promo", StorePromotionalOfferSignature{"", "nonce", 1, {1}}};
  EXPECT_FALSE(Buy("monthly", unsigned_offer));
  EXPECT_EQ(error_->code, 7);
  StorePurchaseOptions zero;
  zero.quantity = 0;
  EXPECT_FALSE(Buy("coins", zero));
  EXPECT_EQ(error_->code, 0);

  // The first subscription gets the trial; then the group is not eligible.
  StoreVerificationResult trial = BuyOk("monthly");
  EXPECT_EQ(*trial.transaction.expiration_date - trial.transaction.purchase_date, 7 * kDay);
  EXPECT_EQ(h_.second().IsEligibleForIntroOffer("premium", &error_), false);
  StorePurchaseOptions promo;
  promo.promotional_offer = {"promo", StorePromotionalOfferSignature{"key", "nonce", 1, {1}}};
  StoreVerificationResult promoted = BuyOk("monthly", promo);
  EXPECT_EQ(nlohmann::json::parse(promoted.transaction.json_representation)["offerIdentifier"], "promo");

  h_.store().FailNext(StoreOperation::kEligibility);
  EXPECT_FALSE(h_.second().IsEligibleForIntroOffer("premium", &error_));
  EXPECT_TRUE(error_);

  StoreHarness closed(R"({"subscriptionGroups": [{"id": "g", "introOfferEligible": false}]})");
  EXPECT_EQ(closed.second().IsEligibleForIntroOffer("g", &error_), false);
}

TEST_F(Kit2Test, WinBackOffersAreForLapsedSubscribersOnce) {
  EXPECT_TRUE(h_.second().SubscriptionStatuses("premium", &error_).empty());  // never subscribed
  std::vector<StoreSubscriptionStatus> lapsed = h_.second().SubscriptionStatuses("lapsed", &error_);
  ASSERT_EQ(lapsed.size(), 1u);
  EXPECT_TRUE(lapsed[0].renewal_info_verified);
  EXPECT_EQ(lapsed[0].eligible_win_back_offer_ids, std::vector<std::string>{"comeback"});

  StorePurchaseOptions win_back;
  win_back.win_back_offer_id = "comeback";
  StoreVerificationResult back = BuyOk("yearly", win_back);
  EXPECT_EQ(*back.transaction.expiration_date - back.transaction.purchase_date, 30 * kDay);
  // Subscribed again: no win-back; and once lapsed, this one was used.
  EXPECT_TRUE(h_.second().SubscriptionStatuses("lapsed", &error_)[0].eligible_win_back_offer_ids.empty());
  EXPECT_FALSE(Buy("yearly", win_back));
  EXPECT_EQ(error_->code, 3);
  h_.dispatch().AdvanceBy(Seconds(31 * kDay));
  EXPECT_TRUE(h_.second().SubscriptionStatuses("lapsed", &error_)[0].eligible_win_back_offer_ids.empty());

  StorePurchaseOptions not_listed;
  not_listed.win_back_offer_id = "other";
  EXPECT_FALSE(Buy("yearly", not_listed));
  EXPECT_EQ(error_->code, 4);
}

TEST_F(Kit2Test, EntitlementsAreTheLatestLiveTransactionPerProduct) {
  BuyOk("coins");
  StoreVerificationResult lifetime = BuyOk("lifetime");
  BuyOk("monthly");  // a week's trial
  h_.dispatch().AdvanceBy(Seconds(kDay));
  StoreVerificationResult renewed = BuyOk("monthly");
  BuyOk("forged");
  EXPECT_EQ(Ids(h_.second().CurrentEntitlements()),
            (std::vector<std::string>{"lifetime", "monthly", "forged"}));
  EXPECT_EQ(h_.second().CurrentEntitlements()[1].transaction.id, renewed.transaction.id);

  // Subscriptions lapse; revoked purchases go.
  h_.dispatch().AdvanceBy(Seconds(31 * kDay));
  EXPECT_TRUE(h_.store().RevokeTransaction(lifetime.transaction.id).ok());
  EXPECT_FALSE(h_.store().RevokeTransaction(lifetime.transaction.id).ok());
  EXPECT_EQ(Ids(h_.second().CurrentEntitlements()), std::vector<std::string>{"forged"});
  // The revocation stays visible in the transaction itself.
  nlohmann::json revoked = nlohmann::json::parse(h_.second().AllTransactions()[1].transaction.json_representation);
  EXPECT_TRUE(revoked.contains("revocationDate"));
}

TEST_F(Kit2Test, FinishingEndsTheTransactionInBothGenerations) {
  RecordingQueueObserver observer;
  h_.queue().AddTransactionObserver(&observer);
  h_.queue().AddPayment(PaymentFor("lifetime"));
  h_.dispatch().RunUntilIdle();
  StoreVerificationResult coins = BuyOk("coins");
  ASSERT_EQ(h_.second().UnfinishedTransactions().size(), 2u);

  h_.second().Finish(coins.transaction.id);
  EXPECT_EQ(Ids(h_.second().UnfinishedTransactions()), std::vector<std::string>{"lifetime"});
  // The queue's purchase finished through the second generation leaves the
  // queue, as observers hear.
  uint64_t lifetime_id = h_.second().UnfinishedTransactions()[0].transaction.id;
  h_.second().Finish(lifetime_id);
  h_.second().Finish(999);  // unknown: nothing happens
  h_.dispatch().RunUntilIdle();
  EXPECT_TRUE(h_.second().UnfinishedTransactions().empty());
  EXPECT_TRUE(h_.queue().Transactions().empty());
  EXPECT_EQ(observer.kinds().back(), "removed");
  EXPECT_EQ(h_.second().AllTransactions().size(), 2u);
}

TEST_F(Kit2Test, StorefrontSyncAndOfferCodeSheet) {
  ASSERT_TRUE(h_.second().CurrentStorefront());
  EXPECT_EQ(h_.second().CurrentStorefront()->identifier, "143441");
  EXPECT_FALSE(h_.second().Sync());
  h_.store().FailNext(StoreOperation::kSync);
  EXPECT_TRUE(h_.second().Sync());
  EXPECT_FALSE(h_.second().Sync());
  EXPECT_FALSE(h_.second().PresentOfferCodeRedeemSheet());
  EXPECT_TRUE(h_.second().CanMakePayments());

  StoreHarness closed(R"({"canMakePayments": false, "products": [{"id": "a", "type": "consumable", "price": "1"}]})");
  EXPECT_FALSE(closed.second().CanMakePayments());
  EXPECT_FALSE(closed.second().Purchase(closed.Product("a"), {}, &error_));
  EXPECT_EQ(error_->code, 2);
}

}  // namespace
}  // namespace kelvo
