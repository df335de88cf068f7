// The first-generation payment queue and requests of LocalStore, in
// virtual time.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/store/fake_store_observer.h"
#include "platform/store/local_store.h"
#include "platform/store/local_store_test_util.h"
#include "platform/store/store_json.h"

namespace kelvo {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Product ids in the receipt file.
std::vector<std::string> ReceiptProducts(const std::string& path) {
  std::vector<std::string> ids;
  nlohmann::json doc = nlohmann::json::parse(ReadFile(path), nullptr, false);
  if (doc.is_discarded()) return {"(unreadable)"};
  for (const auto& item : doc["inApp"]) ids.push_back(item["productId"]);
  return ids;
}

// Starts a products request reporting to `delegate`.
std::unique_ptr<StoreRequest> StartProductsRequest(StoreHarness& h, std::set<std::string> ids,
                                                   RecordingRequestDelegate* delegate) {
  std::unique_ptr<StoreRequest> request = h.store().CreateProductsRequest(std::move(ids));
  request->SetDelegate(delegate);
  request->Start();
  return request;
}

class QueueTest : public ::testing::Test {
 protected:
  explicit QueueTest(std::string config = kTestStoreConfig) : h_(std::move(config)) {
    h_.queue().AddTransactionObserver(&observer_);
    h_.dispatch().RunUntilIdle();
  }

  StorePaymentTransaction OnlyTransaction() {
    std::vector<StorePaymentTransaction> all = h_.queue().Transactions();
    EXPECT_EQ(all.size(), 1u);
    return all.empty() ? StorePaymentTransaction{} : all[0];
  }

  StoreHarness h_;
  RecordingQueueObserver observer_;
};

TEST_F(QueueTest, PurchaseIsReportedLaterPurchasingThenPurchased) {
  h_.queue().AddPayment(PaymentFor("lifetime"));
  // In the queue at once, so a second payment of it can be refused, but
  // nobody hears of it inside the call.
  EXPECT_EQ(OnlyTransaction().state, 0);
  EXPECT_TRUE(observer_.reports.empty());

  h_.dispatch().RunUntilIdle();
  EXPECT_EQ(observer_.updated_states(), (std::vector<int64_t>{0, 1}));
  const StorePaymentTransaction& purchasing = observer_.reports[0].transactions[0];
  EXPECT_FALSE(purchasing.identifier);
  EXPECT_FALSE(purchasing.date);
  const StorePaymentTransaction& purchased = observer_.reports[1].transactions[0];
  ASSERT_TRUE(purchased.identifier);
  EXPECT_EQ(purchased.date, h_.dispatch().WallSeconds());
  EXPECT_EQ(purchased.payment.product_identifier, "lifetime");

  // The same purchase is in the ledger both generations share, and in the
  // receipt.
  std::vector<StoreVerificationResult> unfinished = h_.second().UnfinishedTransactions();
  ASSERT_EQ(unfinished.size(), 1u);
  EXPECT_EQ(std::to_string(unfinished[0].transaction.id), *purchased.identifier);
  EXPECT_EQ(ReceiptProducts(h_.store().receipt_path()), std::vector<std::string>{"lifetime"});
}

TEST_F(QueueTest, OutcomesFollowTheProductAndThePayment) {
  struct Case {
    const char* product;
    bool ask_to_buy;
    int64_t final_state;
    int64_t error_code;  // -1: no error
  };
  for (const Case& c : {Case{"broken", false, 2, 0}, Case{"nope", false, 2, 2}, Case{"ask", false, 4, -1},
                        Case{"lifetime", true, 4, -1}, Case{"slow", false, 0, -1},
                        Case{"unknown-product", false, 2, 3}}) {
    SCOPED_TRACE(c.product);
    StoreHarness h;
    StorePayment payment = PaymentFor(c.product);
    payment.simulates_ask_to_buy_in_sandbox = c.ask_to_buy;
    h.queue().AddPayment(payment);
    h.dispatch().AdvanceBy(Seconds(60));
    std::vector<StorePaymentTransaction> all = h.queue().Transactions();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].state, c.final_state);
    EXPECT_FALSE(all[0].identifier);  // only purchased and restored ones have one
    if (c.error_code >= 0) {
      ASSERT_TRUE(all[0].error);
      EXPECT_EQ(all[0].error->domain, "SKErrorDomain");
      EXPECT_EQ(all[0].error->code, c.error_code);
      EXPECT_FALSE(all[0].error->localized_description.empty());
    } else {
      EXPECT_FALSE(all[0].error);
    }
    EXPECT_TRUE(h.second().AllTransactions().empty());
  }
}

TEST(QueueRefusalTest, StoreRefusesPaymentsItCannotTake) {
  StoreHarness h(R"({"canMakePayments": false, "products": [{"id": "a", "type": "consumable", "price": "1"}]})");
  EXPECT_FALSE(h.queue().CanMakePayments());
  h.queue().AddPayment(PaymentFor("a"));
  h.dispatch().RunUntilIdle();
  ASSERT_EQ(h.queue().Transactions().size(), 1u);
  EXPECT_EQ(h.queue().Transactions()[0].error->code, 4);

  StoreHarness offers;
  StorePayment payment = PaymentFor("monthly");
  payment.payment_discount = StorePaymentDiscount{"no-such-offer", "key", "nonce", "sig", 1};
  offers.queue().AddPayment(payment);
  payment.product_identifier = "lifetime";  // offers nothing at all
  offers.queue().AddPayment(payment);
  offers.dispatch().RunUntilIdle();
  for (const StorePaymentTransaction& t : offers.queue().Transactions()) {
    ASSERT_TRUE(t.error);
    EXPECT_EQ(t.error->code, 11);
  }

  // Quantities the platform cannot sell fail as invalid payments and never
  // reach the ledger; 1 and 10 are sold.
  StoreHarness amounts;
  for (int64_t quantity : {0, -5, 11, 1, 10}) {
    StorePayment p = PaymentFor("coins");
    p.quantity = quantity;
    amounts.queue().AddPayment(p);
  }
  amounts.dispatch().RunUntilIdle();
  std::vector<int64_t> sold;
  for (const StorePaymentTransaction& t : amounts.queue().Transactions()) {
    if (t.payment.quantity >= 1 && t.payment.quantity <= 10) {
      EXPECT_EQ(t.state, 1) << t.payment.quantity;
      sold.push_back(t.payment.quantity);
    } else {
      EXPECT_EQ(t.state, 2) << t.payment.quantity;
      ASSERT_TRUE(t.error);
      EXPECT_EQ(t.error->code, 3);
    }
  }
  EXPECT_EQ(sold, (std::vector<int64_t>{1, 10}));
  EXPECT_EQ(ReceiptProducts(amounts.store().receipt_path()),
            (std::vector<std::string>{"coins", "coins"}));
}

TEST(QueueDelayTest, ConfiguredDelaySeparatesPurchasingFromTheOutcome) {
  StoreHarness h(R"({"purchaseDelay": 2, "products": [{"id": "a", "type": "consumable", "price": "1"}]})");
  RecordingQueueObserver observer;
  h.queue().AddTransactionObserver(&observer);
  h.queue().AddPayment(PaymentFor("a"));
  h.dispatch().RunUntilIdle();
  EXPECT_EQ(observer.updated_states(), std::vector<int64_t>{0});
  h.dispatch().AdvanceBy(Seconds(1.9));
  EXPECT_EQ(observer.updated_states(), std::vector<int64_t>{0});
  h.dispatch().AdvanceBy(Seconds(0.1));
  EXPECT_EQ(observer.updated_states(), (std::vector<int64_t>{0, 1}));
}

TEST_F(QueueTest, DiscountsAndIntroductoryOffersReachTheLedger) {
  StorePayment first = PaymentFor("monthly");
  h_.queue().AddPayment(first);
  h_.dispatch().RunUntilIdle();
  StorePayment promo = PaymentFor("monthly");
  promo.payment_discount = StorePaymentDiscount{"promo", "key", "nonce", "sig", 1};
  h_.queue().AddPayment(promo);
  h_.dispatch().RunUntilIdle();

  std::vector<StoreVerificationResult> all = h_.second().AllTransactions();
  ASSERT_EQ(all.size(), 2u);
  nlohmann::json intro = nlohmann::json::parse(all[0].transaction.json_representation);
  nlohmann::json promoted = nlohmann::json::parse(all[1].transaction.json_representation);
  EXPECT_EQ(intro["offerType"], 1);
  EXPECT_EQ(promoted["offerType"], 2);
  EXPECT_EQ(promoted["offerIdentifier"], "promo");
  // The trial lasts its week; the promotional price its month.
  EXPECT_EQ(*all[0].transaction.expiration_date - all[0].transaction.purchase_date, 7 * 86400.0);
  EXPECT_EQ(*all[1].transaction.expiration_date - all[1].transaction.purchase_date, 30 * 86400.0);
}

TEST_F(QueueTest, FinishingRemovesOnlyTheNamedTransactionAndReportsIt) {
  h_.queue().AddPayment(PaymentFor("coins"));
  h_.queue().AddPayment(PaymentFor("broken"));
  h_.queue().AddPayment(PaymentFor("slow"));
  h_.dispatch().RunUntilIdle();
  std::vector<StorePaymentTransaction> all = h_.queue().Transactions();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(ReceiptProducts(h_.store().receipt_path()), std::vector<std::string>{"coins"});
  observer_.reports.clear();

  // A purchasing transaction cannot be finished.
  h_.queue().FinishTransaction(all[2]);
  // One without an identifier is found by product and state.
  StorePaymentTransaction failed;
  failed.payment = PaymentFor("broken");
  failed.state = 2;
  h_.queue().FinishTransaction(failed);
  h_.queue().FinishTransaction(all[0]);
  // Finishing what is gone changes nothing.
  h_.queue().FinishTransaction(all[0]);
  EXPECT_TRUE(observer_.reports.empty());
  h_.dispatch().RunUntilIdle();

  EXPECT_EQ(observer_.kinds(), (std::vector<std::string>{"removed", "removed"}));
  EXPECT_EQ(observer_.reports[0].transactions[0].payment.product_identifier, "broken");
  EXPECT_EQ(observer_.reports[1].transactions[0].identifier, all[0].identifier);
  ASSERT_EQ(h_.queue().Transactions().size(), 1u);
  EXPECT_EQ(h_.queue().Transactions()[0].payment.product_identifier, "slow");
  EXPECT_TRUE(h_.second().UnfinishedTransactions().empty());
  // A finished consumable leaves the receipt.
  EXPECT_TRUE(ReceiptProducts(h_.store().receipt_path()).empty());
}

TEST_F(QueueTest, RestoreReplaysCompletedNonConsumablesAndSubscriptionsThenFinishes) {
  for (const char* id : {"coins", "lifetime", "monthly"}) h_.queue().AddPayment(PaymentFor(id));
  h_.dispatch().RunUntilIdle();
  std::map<std::string, std::string> purchased;
  for (const StorePaymentTransaction& t : h_.queue().Transactions()) {
    purchased[*t.payment.product_identifier] = t.identifier.value_or("");
    h_.queue().FinishTransaction(t);
  }
  h_.dispatch().RunUntilIdle();
  observer_.reports.clear();

  h_.queue().RestoreCompletedTransactions(std::string("someone"));
  EXPECT_TRUE(observer_.reports.empty());
  h_.dispatch().RunUntilIdle();
  ASSERT_EQ(observer_.kinds(), (std::vector<std::string>{"updated", "restoreFinished"}));
  const std::vector<StorePaymentTransaction>& restored = observer_.reports[0].transactions;
  ASSERT_EQ(restored.size(), 2u);
  for (const StorePaymentTransaction& t : restored) {
    EXPECT_EQ(t.state, 3);
    ASSERT_TRUE(t.original);
    EXPECT_EQ(t.original->state, 1);
    EXPECT_EQ(t.original->identifier, purchased[*t.payment.product_identifier]);
    EXPECT_NE(t.identifier, t.original->identifier);
    EXPECT_EQ(t.payment.application_username, "someone");
  }
  EXPECT_EQ(restored[0].payment.product_identifier, "lifetime");
  EXPECT_EQ(restored[1].payment.product_identifier, "monthly");
  // Restored transactions wait in the queue to be finished.
  EXPECT_EQ(h_.queue().Transactions().size(), 2u);
}

TEST_F(QueueTest, RestoreFailsOnceWhenAskedAndAlwaysWhenConfigured) {
  h_.store().FailNextRestore(MakeStoreError("SKErrorDomain", 77, "restore broke"));
  h_.queue().RestoreCompletedTransactions(std::nullopt);
  h_.queue().RestoreCompletedTransactions(std::nullopt);
  h_.dispatch().RunUntilIdle();
  ASSERT_EQ(observer_.kinds(), (std::vector<std::string>{"restoreFailed", "restoreFinished"}));
  EXPECT_EQ(observer_.reports[0].error->code, 77);

  StoreHarness h(R"({"restoreFails": true})");
  RecordingQueueObserver observer;
  h.queue().AddTransactionObserver(&observer);
  h.queue().RestoreCompletedTransactions(std::nullopt);
  h.dispatch().RunUntilIdle();
  EXPECT_EQ(observer.kinds(), std::vector<std::string>{"restoreFailed"});
}

TEST_F(QueueTest, ObserversHearOnlyWhileRegisteredAndLateOnesHearWhatAwaitsThem) {
  RecordingQueueObserver second;
  h_.queue().AddTransactionObserver(&second);
  h_.queue().AddPayment(PaymentFor("coins"));
  h_.queue().RemoveTransactionObserver(&second);
  h_.dispatch().RunUntilIdle();
  EXPECT_TRUE(second.reports.empty());
  EXPECT_EQ(observer_.updated_states(), (std::vector<int64_t>{0, 1}));

  // A late observer is told of the unfinished purchase, alone.
  RecordingQueueObserver late;
  h_.queue().AddTransactionObserver(&late);
  h_.dispatch().RunUntilIdle();
  EXPECT_EQ(late.updated_states(), std::vector<int64_t>{1});
  EXPECT_EQ(observer_.updated_states(), (std::vector<int64_t>{0, 1}));

  // An observer that removes another during a report spares it the rest.
  struct Remover : RecordingQueueObserver {
    StorePaymentQueue* queue = nullptr;
    StorePaymentQueueObserver* victim = nullptr;
    void RemovedTransactions(const std::vector<StorePaymentTransaction>& t) override {
      RecordingQueueObserver::RemovedTransactions(t);
      queue->RemoveTransactionObserver(victim);
    }
  } remover;
  h_.queue().RemoveTransactionObserver(&observer_);
  h_.queue().RemoveTransactionObserver(&late);
  remover.queue = &h_.queue();
  remover.victim = &late;
  h_.queue().AddTransactionObserver(&remover);
  h_.queue().AddTransactionObserver(&late);
  h_.dispatch().RunUntilIdle();
  late.reports.clear();
  h_.queue().FinishTransaction(h_.queue().Transactions()[0]);
  h_.dispatch().RunUntilIdle();
  EXPECT_EQ(remover.kinds(), (std::vector<std::string>{"updated", "removed"}));
  EXPECT_TRUE(late.reports.empty());
}

TEST_F(QueueTest, StoreStartedPurchaseIsAddedOnlyWhenAnObserverAgrees) {
  EXPECT_FALSE(h_.store().PostStorePurchase("no-such-product").ok());
  EXPECT_TRUE(h_.store().PostStorePurchase("lifetime").ok());
  EXPECT_TRUE(observer_.reports.empty());
  h_.dispatch().RunUntilIdle();
  EXPECT_EQ(observer_.kinds(), std::vector<std::string>{"shouldAdd"});
  EXPECT_EQ(observer_.reports[0].product_identifier, "lifetime");
  EXPECT_TRUE(h_.queue().Transactions().empty());

  observer_.add_store_payments = true;
  h_.store().PostStorePurchase("lifetime");
  h_.dispatch().RunUntilIdle();
  EXPECT_EQ(observer_.kinds(), (std::vector<std::string>{"shouldAdd", "shouldAdd", "updated", "updated"}));
  EXPECT_EQ(OnlyTransaction().state, 1);
}

TEST_F(QueueTest, TestControlsDecideWaitingPurchases) {
  h_.queue().AddPayment(PaymentFor("ask"));
  h_.queue().AddPayment(PaymentFor("slow"));
  h_.queue().AddPayment(PaymentFor("coins"));
  h_.dispatch().RunUntilIdle();
  std::vector<PendingPurchase> pending = h_.store().PendingPurchases();
  ASSERT_EQ(pending.size(), 3u);
  EXPECT_EQ(pending[0].state_name, "deferred");
  EXPECT_EQ(pending[1].state_name, "purchasing");
  EXPECT_EQ(pending[2].state_name, "purchased");
  EXPECT_EQ(pending[2].transaction_identifier, std::to_string(pending[2].id));

  // A completed purchase is not waiting; a wrong id is refused.
  EXPECT_FALSE(h_.store().ApproveTransaction({pending[2].id, std::nullopt}).ok());
  EXPECT_FALSE(h_.store().ApproveTransaction({12345, std::nullopt}).ok());
  EXPECT_FALSE(h_.store().ApproveTransaction({}).ok());
  EXPECT_FALSE(h_.store().DeferTransaction({pending[0].id, std::nullopt}).ok());

  EXPECT_EQ(h_.store().DeferTransaction({std::nullopt, "slow"}).id, pending[1].id);
  StoreControlResult approved = h_.store().ApproveTransaction({std::nullopt, "ask"});
  EXPECT_EQ(approved.id, pending[0].id);
  StoreError declined = MakeStoreError("SKErrorDomain", 5, "declined");
  EXPECT_TRUE(h_.store().FailTransaction({pending[1].id, std::nullopt}, declined).ok());
  observer_.reports.clear();
  h_.dispatch().RunUntilIdle();

  EXPECT_EQ(observer_.updated_states(), (std::vector<int64_t>{4, 1, 2}));
  std::vector<StorePaymentTransaction> all = h_.queue().Transactions();
  EXPECT_EQ(all[0].identifier, std::to_string(pending[0].id));
  EXPECT_EQ(all[1].error->code, 5);
}

TEST_F(QueueTest, ProductsRequestAnswersThenFinishesOrFailsAlone) {
  RecordingRequestDelegate delegate;
  auto request = StartProductsRequest(h_, {"monthly", "nothing", "coins"}, &delegate);
  EXPECT_TRUE(delegate.events.empty());
  h_.dispatch().RunUntilIdle();
  ASSERT_EQ(delegate.events, (std::vector<std::string>{"response", "finished"}));
  const StoreProductsResponse& r = delegate.responses[0];
  ASSERT_EQ(r.products.size(), 2u);
  EXPECT_EQ(r.products[0].identifier, "coins");
  EXPECT_EQ(r.products[1].identifier, "monthly");
  EXPECT_EQ(r.invalid_product_identifiers, std::vector<std::string>{"nothing"});

  h_.store().FailNextRequest(MakeStoreError("SKErrorDomain", 0, "offline"));
  RecordingRequestDelegate failing, third_delegate;
  auto second = StartProductsRequest(h_, {"coins"}, &failing);
  auto third = StartProductsRequest(h_, {"coins"}, &third_delegate);  // only the next one fails
  h_.dispatch().RunUntilIdle();
  EXPECT_EQ(failing.events, std::vector<std::string>{"failed"});
  EXPECT_EQ(failing.errors[0].localized_description, "offline");
  EXPECT_EQ(third_delegate.events, (std::vector<std::string>{"response", "finished"}));
}

TEST_F(QueueTest, RequestsDroppedOnTheWayReportNothingMore) {
  RecordingRequestDelegate delegate;
  std::unique_ptr<StoreRequest> request = h_.store().CreateProductsRequest({"coins"});
  request->SetDelegate(&delegate);
  // The bridge drops its request when the response has been handled.
  delegate.after_event = [&] { request.reset(); };
  request->Start();
  h_.dispatch().RunUntilIdle();
  EXPECT_EQ(delegate.events, std::vector<std::string>{"response"});

  RecordingRequestDelegate before;
  StartProductsRequest(h_, {"coins"}, &before).reset();
  // And a store that has gone answers nothing (and does not crash).
  auto orphan = StartProductsRequest(h_, {"coins"}, &before);
  h_.shared().reset();
  h_.dispatch().RunUntilIdle();
  EXPECT_TRUE(before.events.empty());
}

TEST_F(QueueTest, ReceiptRefreshWritesTheReceiptOrFails) {
  EXPECT_EQ(h_.store().AppStoreReceiptPath(), h_.store().receipt_path());
  EXPECT_FALSE(std::filesystem::exists(h_.store().receipt_path()));
  RecordingRequestDelegate delegate;
  auto refresh = h_.store().CreateReceiptRefreshRequest(std::nullopt);
  refresh->SetDelegate(&delegate);
  refresh->Start();
  h_.dispatch().RunUntilIdle();
  EXPECT_EQ(delegate.events, std::vector<std::string>{"finished"});
  EXPECT_TRUE(ReceiptProducts(h_.store().receipt_path()).empty());
  EXPECT_EQ(std::filesystem::status(h_.store().receipt_path()).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  h_.store().FailNext(StoreOperation::kReceiptRefresh);
  RecordingRequestDelegate failing;
  auto again = h_.store().CreateReceiptRefreshRequest(std::nullopt);
  again->SetDelegate(&failing);
  again->Start();
  h_.dispatch().RunUntilIdle();
  EXPECT_EQ(failing.events, std::vector<std::string>{"failed"});

  StoreHarness none(R"({"hasReceiptLocation": false, "products": [{"id": "a", "type": "consumable", "price": "1"}]})");
  EXPECT_FALSE(none.store().AppStoreReceiptPath());
  none.queue().AddPayment(PaymentFor("a"));
  none.dispatch().RunUntilIdle();
  EXPECT_FALSE(std::filesystem::exists(none.store().receipt_path()));
}

}  // namespace
}  // namespace kelvo
