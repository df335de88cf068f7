#include "services/store/payment_queue_handler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "services/store/default_adapters.h"
#include "services/store/testing/fake_store_kit.h"
#include "services/store/transaction_cache.h"

namespace kelvo {
namespace {

using testing::FakePaymentQueue;
using testing::MakeTransaction;

std::string Ids(const std::vector<StorePaymentTransaction>& transactions) {
  std::string out;
  for (const auto& t : transactions) out += (out.empty() ? "" : ",") + t.identifier.value_or("-");
  return out;
}

// A handler over a fake queue whose callbacks write one line each to `calls`.
class PaymentQueueHandlerTest : public ::testing::Test {
 protected:
  PaymentQueueHandlerTest() {
    handler_ = std::make_unique<FIAPaymentQueueHandler>(
        std::make_shared<DefaultPaymentQueue>(&queue_),
        [this](const auto& t) { calls_.push_back("updated " + Ids(t)); },
        [this](const auto& t) { calls_.push_back("removed " + Ids(t)); },
        [this](const StoreError& e) { calls_.push_back("restoreFailed " + e.domain); },
        [this] { calls_.push_back("restoreFinished"); },
        [this](const StorePayment& p, const StoreProduct&) {
          calls_.push_back("storePayment " + p.product_identifier.value_or("-"));
          return store_payment_answer_;
        },
        [this](const std::vector<StoreDownload>& d) {
          std::string ids;
          for (const auto& download : d) ids += download.content_identifier;
          calls_.push_back("downloads " + ids);
        },
        std::make_shared<DefaultTransactionCache>(std::make_unique<FIATransactionCache>()));
  }

  StorePaymentQueueObserver* observer() { return queue_.observers.at(0); }

  FakePaymentQueue queue_;
  std::vector<std::string> calls_;
  bool store_payment_answer_ = false;
  std::unique_ptr<FIAPaymentQueueHandler> handler_;
};

TEST_F(PaymentQueueHandlerTest, ObservesTheQueueFromConstructionUntilItGoes) {
  ASSERT_EQ(queue_.observers.size(), 1u);
  EXPECT_EQ(queue_.observers[0], handler_.get());
  EXPECT_FALSE(handler_->isObservingTransactions());
  EXPECT_EQ(handler_->queue()->delegate(), nullptr);
  handler_.reset();
  EXPECT_TRUE(queue_.observers.empty());
}

TEST_F(PaymentQueueHandlerTest, HoldsReportsBackAndReplaysThemInOrderOnStart) {
  observer()->UpdatedTransactions({MakeTransaction("a", 1, "1")});
  observer()->RemovedTransactions({MakeTransaction("a", 1, "0")});
  observer()->UpdatedDownloads({{"d1"}});
  observer()->UpdatedTransactions({MakeTransaction("b", 2, "2"), MakeTransaction("c", 1, "3")});
  observer()->UpdatedDownloads({{"d2"}});
  EXPECT_TRUE(calls_.empty());

  handler_->startObservingPaymentQueue();
  // Updates joined in arrival order, then downloads, then removals.
  EXPECT_EQ(calls_, (std::vector<std::string>{"updated 1,2,3", "downloads d1d2", "removed 0"}));

  calls_.clear();
  handler_->startObservingPaymentQueue();
  EXPECT_TRUE(calls_.empty()) << "a second start without new reports passes nothing on";

  observer()->RemovedTransactions({MakeTransaction("a", 1, "4")});
  observer()->UpdatedTransactions({MakeTransaction("a", 1, "5")});
  EXPECT_EQ(calls_, (std::vector<std::string>{"removed 4", "updated 5"}));

  calls_.clear();
  handler_->stopObservingPaymentQueue();
  observer()->RemovedTransactions({MakeTransaction("a", 1, "6")});
  EXPECT_TRUE(calls_.empty());
  handler_->startObservingPaymentQueue();
  EXPECT_EQ(calls_, (std::vector<std::string>{"removed 6"})) << "empty lists are not passed on";
}

TEST_F(PaymentQueueHandlerTest, RestoreResultsAndStorePaymentsAreNeverHeldBack) {
  StoreError error;
  error.domain = "SKErrorDomain";
  observer()->RestoreCompletedTransactionsFailed(error);
  observer()->RestoreCompletedTransactionsFinished();
  StorePayment payment;
  payment.product_identifier = "p";
  EXPECT_FALSE(observer()->ShouldAddStorePayment(payment, StoreProduct{}));
  store_payment_answer_ = true;
  EXPECT_TRUE(observer()->ShouldAddStorePayment(payment, StoreProduct{}));
  EXPECT_EQ(calls_, (std::vector<std::string>{"restoreFailed SKErrorDomain", "restoreFinished",
                                              "storePayment p", "storePayment p"}));
  handler_->startObservingPaymentQueue();
  EXPECT_EQ(calls_.size(), 4u) << "nothing of these was cached";
}

TEST_F(PaymentQueueHandlerTest, RefusesAPaymentForAProductAlreadyInTheQueue) {
  // Purchased but unfinished still blocks; so does a failed one.
  queue_.transactions = {MakeTransaction("gold", 1, "1"), MakeTransaction("silver", 2, "2")};
  StorePayment gold;
  gold.product_identifier = "gold";
  StorePayment silver;
  silver.product_identifier = "silver";
  StorePayment bronze;
  bronze.product_identifier = "bronze";
  EXPECT_FALSE(handler_->addPayment(gold));
  EXPECT_FALSE(handler_->addPayment(silver));
  EXPECT_TRUE(queue_.added.empty());
  EXPECT_TRUE(handler_->addPayment(bronze));
  ASSERT_EQ(queue_.added.size(), 1u);
  EXPECT_EQ(queue_.added[0].product_identifier, "bronze");
  // "Gold" is another product: the comparison is exact text.
  StorePayment capital;
  capital.product_identifier = "Gold";
  EXPECT_TRUE(handler_->addPayment(capital));
}

TEST(TransactionCacheTest, AppendsPerKeyAndClears) {
  FIATransactionCache cache;
  EXPECT_FALSE(cache.getObjectsForKey(TransactionCacheKey::updatedTransactions));
  cache.addObjects({MakeTransaction("a", 1, "1")}, TransactionCacheKey::updatedTransactions);
  cache.addObjects({MakeTransaction("a", 1, "2")}, TransactionCacheKey::updatedTransactions);
  cache.addObjects({StoreDownload{"d"}}, TransactionCacheKey::updatedDownloads);
  auto updated = cache.getObjectsForKey(TransactionCacheKey::updatedTransactions);
  ASSERT_TRUE(updated);
  ASSERT_EQ(updated->size(), 2u);
  EXPECT_EQ(std::get<StorePaymentTransaction>((*updated)[1]).identifier, "2");
  EXPECT_FALSE(cache.getObjectsForKey(TransactionCacheKey::removedTransactions));
  cache.clear();
  EXPECT_FALSE(cache.getObjectsForKey(TransactionCacheKey::updatedTransactions));
  EXPECT_FALSE(cache.getObjectsForKey(TransactionCacheKey::updatedDownloads));
}

}  // namespace
}  // namespace kelvo
