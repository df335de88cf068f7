// LocalStore's state across processes: what survives a reopen, file modes,
// and damaged state.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "platform/store/fake_store_observer.h"
#include "platform/store/local_store.h"
#include "platform/store/local_store_test_util.h"
#include "platform/store/store_json.h"

namespace kelvo {
namespace {

mode_t ModeOf(const std::string& path) {
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 0777;
}

TEST(StoreStateTest, QueueLedgerAndPendingPurchasesSurviveAReopen) {
  StoreHarness h;
  StorePayment discounted = PaymentFor("monthly");
  discounted.payment_discount = StorePaymentDiscount{"promo", "key", "nonce", "sig", 9};
  discounted.request_data = std::vector<uint8_t>{1, 2, 3};
  h.queue().AddPayment(discounted);
  h.queue().AddPayment(PaymentFor("nope"));
  h.queue().AddPayment(PaymentFor("ask"));
  h.dispatch().RunUntilIdle();
  std::optional<StoreError> error;
  h.second().Purchase(h.Product("slow"), {}, &error);
  StorePurchaseOptions token;
  token.app_account_token = "8c4e5f6a-1b2c-4d3e-8f40-123456789abc";
  StoreVerificationResult coins = *h.second().Purchase(h.Product("coins"), token, &error)->verification;
  h.second().Finish(coins.transaction.id);

  std::vector<StorePaymentTransaction> queue_before = h.queue().Transactions();
  std::vector<StoreVerificationResult> ledger_before = h.second().AllTransactions();
  std::vector<PendingPurchase> pending_before = h.store().PendingPurchases();

  h.Reopen();
  std::vector<StorePaymentTransaction> queue_after = h.queue().Transactions();
  ASSERT_EQ(queue_after.size(), queue_before.size());
  for (size_t i = 0; i < queue_after.size(); ++i) {
    EXPECT_EQ(TransactionToJson(queue_after[i]), TransactionToJson(queue_before[i])) << i;
  }
  std::vector<StoreVerificationResult> ledger_after = h.second().AllTransactions();
  ASSERT_EQ(ledger_after.size(), 2u);
  for (size_t i = 0; i < ledger_after.size(); ++i) {
    EXPECT_EQ(ledger_after[i].jws_representation, ledger_before[i].jws_representation);
    EXPECT_EQ(ledger_after[i].transaction.app_account_token, ledger_before[i].transaction.app_account_token);
    EXPECT_EQ(ledger_after[i].transaction.expiration_date, ledger_before[i].transaction.expiration_date);
  }
  EXPECT_EQ(h.second().UnfinishedTransactions().size(), 1u);  // coins stays finished
  std::vector<PendingPurchase> pending_after = h.store().PendingPurchases();
  ASSERT_EQ(pending_after.size(), pending_before.size());
  for (size_t i = 0; i < pending_after.size(); ++i) {
    EXPECT_EQ(pending_after[i].id, pending_before[i].id);
    EXPECT_EQ(pending_after[i].state, pending_before[i].state);
  }

  // The deferred purchase can still be approved, and ids never repeat.
  EXPECT_TRUE(h.store().ApproveTransaction({std::nullopt, "ask"}).ok());
  EXPECT_TRUE(h.store().ApproveTransaction({std::nullopt, "slow"}).ok());
  std::set<uint64_t> ids;
  for (const StoreVerificationResult& r : h.second().AllTransactions()) ids.insert(r.transaction.id);
  for (const PendingPurchase& p : h.store().PendingPurchases()) ids.insert(p.id);
  // monthly, coins, ask and slow in the ledger (ask and monthly also in
  // the queue under the same id), and the cancelled queue entry.
  EXPECT_EQ(ids.size(), 5u);
  StoreControlResult pushed = h.store().PushTransactionUpdate("coins");
  EXPECT_GT(*pushed.id, *ids.rbegin());
}

TEST(StoreStateTest, PurchaseOnItsWayWhenTheProcessEndedCompletesAfterReopen) {
  StoreHarness h(R"({"purchaseDelay": 5, "products": [{"id": "a", "type": "nonConsumable", "price": "1"}]})");
  h.queue().AddPayment(PaymentFor("a"));
  h.dispatch().RunUntilIdle();
  h.Reopen();
  RecordingQueueObserver observer;
  h.queue().AddTransactionObserver(&observer);
  h.dispatch().RunUntilIdle();
  EXPECT_TRUE(observer.reports.empty());  // purchasing ones are not replayed
  h.dispatch().AdvanceBy(Seconds(5));
  EXPECT_EQ(observer.updated_states(), std::vector<int64_t>{1});

  // An unfinished purchase greets the first observer of the next run.
  h.Reopen();
  RecordingQueueObserver next;
  h.queue().AddTransactionObserver(&next);
  h.dispatch().RunUntilIdle();
  EXPECT_EQ(next.updated_states(), std::vector<int64_t>{1});
}

TEST(StoreStateTest, StateIsPrivateToTheUser) {
  StoreHarness h;
  h.queue().AddPayment(PaymentFor("lifetime"));
  h.dispatch().RunUntilIdle();
  const std::string data = h.dir().path() + "/data";
  EXPECT_EQ(ModeOf(data), 0700u);
  EXPECT_EQ(ModeOf(h.store().database_path()), 0600u);
  EXPECT_EQ(ModeOf(h.store().receipt_path()), 0600u);
  EXPECT_EQ(h.store().database_path(), data + "/store.sqlite3");
  EXPECT_EQ(h.store().receipt_path(), data + "/receipt");
}

TEST(StoreStateTest, DamagedOrUnreachableStateIsAnErrorNamingTheFile) {
  StoreTestDir dir;
  VirtualDispatch dispatch;
  LocalStoreOptions options;
  options.log = std::make_shared<FakeSystemLog>("s", "c");

  options.data_dir = dir.path() + "/garbage";
  std::filesystem::create_directories(options.data_dir);
  std::ofstream(options.data_dir + "/store.sqlite3") << std::string(4096, 'x');
  LocalStoreOpenResult garbage = OpenLocalStore(&dispatch, options);
  EXPECT_FALSE(garbage);
  EXPECT_EQ(garbage.error.rfind("store state " + options.data_dir + "/store.sqlite3: ", 0), 0u) << garbage.error;

  // A file where the directory should be.
  std::ofstream(dir.path() + "/file") << "x";
  options.data_dir = dir.path() + "/file/store";
  LocalStoreOpenResult blocked = OpenLocalStore(&dispatch, options);
  EXPECT_FALSE(blocked);
  EXPECT_NE(blocked.error.find("ot a directory"), std::string::npos) << blocked.error;
}


// One damaged row costs that row only: it is skipped with its key in the
// log, left in the file, and its identifier is never handed out again.
TEST(StoreStateTest, DamagedRowIsSkippedAndLoggedWhileTheStoreServes) {
  StoreHarness h;
  h.queue().AddPayment(PaymentFor("coins"));
  h.queue().AddPayment(PaymentFor("lifetime"));
  h.dispatch().RunUntilIdle();
  ASSERT_EQ(h.queue().Transactions().size(), 2u);
  const std::string damaged = *h.queue().Transactions()[0].identifier;
  h.shared().reset();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((h.dir().path() + "/data/store.sqlite3").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, ("UPDATE queue SET transaction_json = '{' WHERE id = " + damaged).c_str(),
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);

  h.Reopen();
  ASSERT_EQ(h.queue().Transactions().size(), 1u);
  bool logged = false;
  for (const std::string& line : h.log().texts()) {
    logged = logged || line.find("queue row " + damaged) != std::string::npos;
  }
  EXPECT_TRUE(logged);
  h.queue().AddPayment(PaymentFor("coins"));
  h.dispatch().RunUntilIdle();
  std::set<std::string> ids;
  for (const StorePaymentTransaction& t : h.queue().Transactions()) ids.insert(*t.identifier);
  EXPECT_EQ(ids.size(), 2u);
  EXPECT_FALSE(ids.count(damaged));
}

// Two stores on one data directory (two processes) each buy once: both
// purchases are kept, under different identifiers.
TEST(StoreStateTest, StoresSharingADirectoryNeverShareAnIdentifier) {
  StoreTestDir dir;
  VirtualDispatch dispatch;
  LocalStoreOptions options;
  options.config_path = dir.Write("store.json", kTestStoreConfig);
  options.data_dir = dir.path() + "/data";
  options.log = std::make_shared<FakeSystemLog>("s", "c");
  LocalStoreOpenResult first = OpenLocalStore(&dispatch, options);
  LocalStoreOpenResult second = OpenLocalStore(&dispatch, options);
  ASSERT_TRUE(first && second);
  first.store->DefaultPaymentQueue()->AddPayment(PaymentFor("coins"));
  second.store->DefaultPaymentQueue()->AddPayment(PaymentFor("lifetime"));
  dispatch.RunUntilIdle();
  first.store.reset();
  second.store.reset();

  LocalStoreOpenResult reopened = OpenLocalStore(&dispatch, options);
  ASSERT_TRUE(reopened);
  dispatch.RunUntilIdle();
  std::set<std::string> ids, products;
  for (const StorePaymentTransaction& t : reopened.store->DefaultPaymentQueue()->Transactions()) {
    ids.insert(*t.identifier);
    products.insert(*t.payment.product_identifier);
  }
  EXPECT_EQ(ids.size(), 2u);
  EXPECT_EQ(products, (std::set<std::string>{"coins", "lifetime"}));
}

}  // namespace
}  // namespace kelvo
