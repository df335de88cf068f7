// Every SQLite store on a failing disk: for each kind of fault and every N
// up to the last I/O of a sequence of writes, a write reported as done is
// there after reopening, a write that is not there was reported as failed,
// and nothing crashes.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

#include "platform/defaults/sqlite_domain.h"
#include "platform/fs/test_dir.h"
#include "platform/keychain/keychain.h"
#include "platform/sqlite/fault_vfs.h"
#include "platform/store/fake_store_observer.h"
#include "platform/store/local_store_test_util.h"

namespace kelvo {
namespace {

const char* Name(SqliteFault kind) {
  switch (kind) {
    case SqliteFault::kWrite: return "write";
    case SqliteFault::kSync: return "sync";
    case SqliteFault::kLock: return "lock";
    case SqliteFault::kFullDisk: return "full disk";
    case SqliteFault::kNone: break;
  }
  return "none";
}

// Runs `scenario` for each kind of fault at N = 1, 2, ... until a run goes
// by without an injected failure: N is then past its last I/O. The
// scenario arms the fault when its writes begin and disarms it before it
// checks what was kept.
void ForEveryFault(const std::function<void(SqliteFault, int64_t)>& scenario) {
  FaultVfs::Install();
  for (SqliteFault kind :
       {SqliteFault::kWrite, SqliteFault::kSync, SqliteFault::kLock, SqliteFault::kFullDisk}) {
    int64_t n = 1;
    for (; n < 500; ++n) {
      SCOPED_TRACE(std::string(Name(kind)) + " fault at " + std::to_string(n));
      scenario(kind, n);
      FaultVfs::Disarm();
      if (::testing::Test::HasFatalFailure() || !FaultVfs::Fired()) break;
    }
    EXPECT_GT(n, 1) << Name(kind) << ": the scenario did no I/O of this kind";
    EXPECT_LT(n, 500) << Name(kind) << ": still failing after 500 faults";
  }
}

TEST(FailingDiskTest, UserDefaultsKeepWhatTheyAcknowledged) {
  ForEveryFault([](SqliteFault kind, int64_t n) {
    TestDir dir;
    const std::string path = dir.path() + "/domain.sqlite3";
    FaultVfs::Arm(kind, n);
    std::map<std::string, bool> set;
    bool removed = false;
    {
      SqliteDomainFile file(path, {});
      for (const char* key : {"a", "b", "c", "d"}) set[key] = file.Set(key, Value(key));
      removed = file.RemoveKeys({"a", "b"});
      FaultVfs::Disarm();
    }
    SqliteDomainFile reopened(path, {});
    std::optional<ValueMap> all = reopened.All();
    auto present = [&](const std::string& key) {
      return all && all->find(std::string_view(key)) != nullptr;
    };
    for (const auto& [key, acknowledged] : set) {
      const bool gone = removed && (key == "a" || key == "b");
      if (acknowledged && !gone) {
        EXPECT_TRUE(present(key)) << key;
      }
      if (gone) {
        EXPECT_FALSE(present(key)) << key;
      }
    }
    // All or none: a removal never leaves half of its keys.
    if (set["a"] && set["b"]) {
      EXPECT_EQ(present("a"), present("b"));
    }
  });
}

TEST(FailingDiskTest, KeychainKeepsWhatItAcknowledged) {
  ForEveryFault([](SqliteFault kind, int64_t n) {
    TestDir dir;
    const std::string path = dir.path() + "/keychain";
    auto query = [](const std::string& account) {
      return SecDictionary{{kSecClass, std::string(kSecClassGenericPassword)},
                           {kSecAttrAccount, account},
                           {kSecAttrService, std::string("svc")}};
    };
    std::map<std::string, OSStatus> added;
    OSStatus updated = errSecIO;
    OSStatus deleted = errSecIO;
    {
      // Opening (the master key, the schema) is not under test.
      std::string error;
      std::unique_ptr<Keychain> kc = OpenKeychainAt(path, &error);
      ASSERT_NE(kc, nullptr) << error;
      FaultVfs::Arm(kind, n);
      for (const char* account : {"one", "two", "three"}) {
        SecDictionary item = query(account);
        item[kSecValueData] = SecBytes{'v'};
        added[account] = kc->Add(item);
      }
      updated = kc->Update(query("one"), {{kSecValueData, SecBytes{'w'}}});
      deleted = kc->Delete(query("two"));
      FaultVfs::Disarm();
    }
    std::string error;
    std::unique_ptr<Keychain> kc = OpenKeychainAt(path, &error);
    ASSERT_NE(kc, nullptr) << error;
    auto read = [&](const std::string& account) -> std::optional<SecBytes> {
      SecDictionary q = query(account);
      q[kSecReturnData] = true;
      SecResult result;
      if (kc->CopyMatching(q, &result) != errSecSuccess) return std::nullopt;
      return std::get<SecBytes>(result);
    };
    if (added["three"] == errSecSuccess) {
      EXPECT_TRUE(read("three"));
    }
    if (added["one"] == errSecSuccess) {
      ASSERT_TRUE(read("one"));
      if (updated == errSecSuccess) {
        EXPECT_EQ(*read("one"), SecBytes{'w'});
      }
    }
    if (deleted == errSecSuccess) {
      EXPECT_FALSE(read("two"));
    }
  });
}

// The local store: a payment reported purchased is in the ledger (and the
// receipt) after a restart; one that could not be saved was reported failed.
TEST(FailingDiskTest, StoreKeepsEveryPurchaseItReported) {
  ForEveryFault([](SqliteFault kind, int64_t n) {
    StoreHarness h;
    RecordingQueueObserver observer;
    h.queue().AddTransactionObserver(&observer);
    h.dispatch().RunUntilIdle();
    FaultVfs::Arm(kind, n);
    for (int i = 0; i < 3; ++i) h.queue().AddPayment(PaymentFor("coins"));
    h.dispatch().RunUntilIdle();
    FaultVfs::Disarm();
    std::set<std::string> purchased;
    for (const auto& report : observer.reports) {
      for (const StorePaymentTransaction& t : report.transactions) {
        if (t.state == 1 && t.identifier) purchased.insert(*t.identifier);
        if (t.state == 2) {
          EXPECT_TRUE(t.error);
        }
      }
    }
    h.queue().RemoveTransactionObserver(&observer);
    h.Reopen();
    h.dispatch().RunUntilIdle();
    std::set<std::string> kept;
    size_t purchased_rows = 0;
    for (const StorePaymentTransaction& t : h.queue().Transactions()) {
      if (t.state == 1 && t.identifier) {
        kept.insert(*t.identifier);
        ++purchased_rows;
      }
    }
    for (const std::string& id : purchased) EXPECT_TRUE(kept.count(id)) << id;
    // Identifiers are never handed out twice.
    EXPECT_EQ(kept.size(), purchased_rows);
  });
}

}  // namespace
}  // namespace kelvo
