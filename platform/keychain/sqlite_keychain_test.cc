// What only the SQLite keychain promises: files, modes, encryption at rest,
// damaged rows, several processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/keychain/keychain.h"
#include "platform/fs/test_dir.h"

namespace kelvo {
namespace {

SecBytes Bytes(const std::string& s) { return SecBytes(s.begin(), s.end()); }

SecDictionary Query(const std::string& account, const std::string& service = "svc") {
  return {{kSecClass, std::string(kSecClassGenericPassword)},
          {kSecAttrAccount, account},
          {kSecAttrService, service}};
}

SecDictionary Item(const std::string& account, const std::string& data) {
  SecDictionary d = Query(account);
  d[kSecValueData] = Bytes(data);
  return d;
}

// The item's data, or the status as text.
std::string Read(Keychain& kc, const std::string& account) {
  SecDictionary q = Query(account);
  q[kSecReturnData] = true;
  SecResult result;
  OSStatus s = kc.CopyMatching(q, &result);
  if (s != errSecSuccess) return "status " + std::to_string(s);
  const SecBytes& data = std::get<SecBytes>(result);
  return std::string(data.begin(), data.end());
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

class SqliteKeychainTest : public ::testing::Test {
 protected:
  std::unique_ptr<Keychain> Open() {
    std::string error;
    auto kc = OpenKeychainAt(dir(), &error);
    EXPECT_NE(kc, nullptr) << error;
    return kc;
  }
  std::string dir() const { return tmp_.path() + "/data/kelvo/keychain"; }
  std::string db() const { return dir() + "/keychain.sqlite3"; }

  // Runs `sql` on the keychain's file behind its back.
  void Raw(const std::string& sql) {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db().c_str(), &raw), SQLITE_OK);
    char* message = nullptr;
    EXPECT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
        << (message ? message : "");
    sqlite3_free(message);
    sqlite3_close(raw);
  }

  TestDir tmp_;
};

TEST_F(SqliteKeychainTest, ItemsAndReferencesSurviveReopening) {
  SecBytes ref;
  {
    auto kc = Open();
    ASSERT_EQ(kc->Add(Item("a", "first")), errSecSuccess);
    ASSERT_EQ(kc->Add(Item("b", "second")), errSecSuccess);
    ASSERT_EQ(kc->Update(Query("b"), {{kSecValueData, Bytes("second, changed")}}), errSecSuccess);
    ASSERT_EQ(kc->Delete(Query("a")), errSecSuccess);
    SecResult result;
    ASSERT_EQ(kc->CopyMatching(
                  {{kSecClass, std::string(kSecClassGenericPassword)},
                   {kSecAttrAccount, std::string("b")},
                   {kSecAttrService, std::string("svc")},
                   {kSecReturnPersistentRef, true}},
                  &result),
              errSecSuccess);
    ref = std::get<SecBytes>(result);
  }
  auto kc = Open();
  EXPECT_EQ(Read(*kc, "a"), "status -25300");
  EXPECT_EQ(Read(*kc, "b"), "second, changed");
  EXPECT_EQ(kc->CopyMatching({{kSecClass, std::string(kSecClassGenericPassword)},
                              {kSecValuePersistentRef, ref}},
                             nullptr),
            errSecSuccess);
  // A second object on the same files sees the first one's writes at once.
  auto other = Open();
  ASSERT_EQ(other->Add(Item("c", "third")), errSecSuccess);
  EXPECT_EQ(Read(*kc, "c"), "third");
}

TEST_F(SqliteKeychainTest, FilesArePrivateWhateverTheUmask) {
  mode_t old = umask(0);
  {
    auto kc = Open();
    ASSERT_EQ(kc->Add(Item("a", "v")), errSecSuccess);
    EXPECT_EQ(ModeOf(dir()), 0700u);
    EXPECT_EQ(ModeOf(tmp_.path() + "/data/kelvo"), 0700u);
    for (const char* file : {"/master.key", "/keychain.sqlite3", "/keychain.sqlite3-wal",
                             "/keychain.sqlite3-shm"}) {
      EXPECT_EQ(ModeOf(dir() + file), 0600u) << file;
    }
  }
  // An existing directory that is too open is tightened.
  ASSERT_EQ(chmod(dir().c_str(), 0755), 0);
  EXPECT_NE(Open(), nullptr);
  EXPECT_EQ(ModeOf(dir()), 0700u);
  umask(old);
}

TEST_F(SqliteKeychainTest, DataAreSealedAtRestUnderOneMasterKey) {
  const std::string secret = "correct horse battery staple";
  {
    auto kc = Open();
    ASSERT_EQ(kc->Add(Item("a", secret)), errSecSuccess);
  }
  EXPECT_EQ(FileBytes(db() + "-wal").find(secret), std::string::npos);
  EXPECT_EQ(FileBytes(db()).find(secret), std::string::npos);
  EXPECT_EQ(FileBytes(dir() + "/master.key").size(), 32u);

  // Another master key cannot open the data: they read as damaged.
  std::string key = FileBytes(dir() + "/master.key");
  key[0] = static_cast<char>(key[0] ^ 1);
  ASSERT_EQ(unlink((dir() + "/master.key").c_str()), 0);
  std::ofstream(dir() + "/master.key", std::ios::binary) << key;
  auto kc = Open();
  EXPECT_EQ(Read(*kc, "a"), "status -26275");
}

TEST_F(SqliteKeychainTest, DamagedRowsAnswerDecodeNeverAnotherItemsData) {
  {
    auto kc = Open();
    ASSERT_EQ(kc->Add(Item("a", "alpha")), errSecSuccess);
    ASSERT_EQ(kc->Add(Item("b", "bravo")), errSecSuccess);
    ASSERT_EQ(kc->Add(Item("c", "charlie")), errSecSuccess);
  }
  // Swap the sealed data of a and b; cut c's short.
  Raw("CREATE TEMP TABLE saved AS SELECT account, data FROM items;"
      "UPDATE items SET data = (SELECT data FROM saved WHERE saved.account = "
      "CASE items.account WHEN 'a' THEN 'b' ELSE 'a' END) WHERE account IN ('a', 'b');"
      "UPDATE items SET data = substr(data, 1, 20) WHERE account = 'c'");
  auto kc = Open();
  EXPECT_EQ(Read(*kc, "a"), "status -26275");
  EXPECT_EQ(Read(*kc, "b"), "status -26275");
  EXPECT_EQ(Read(*kc, "c"), "status -26275");
  SecDictionary all = {{kSecClass, std::string(kSecClassGenericPassword)},
                       {kSecMatchLimit, std::string(kSecMatchLimitAll)},
                       {kSecReturnAttributes, true}};
  SecResult result;
  EXPECT_EQ(kc->CopyMatching(all, &result), errSecSuccess);  // attributes need no data
  EXPECT_EQ(std::get<std::vector<SecDictionary>>(result).size(), 3u);
  all[kSecReturnData] = true;
  EXPECT_EQ(kc->CopyMatching(all, &result), errSecDecode);
  int visits = 0;
  EXPECT_EQ(kc->CopyMatchingEach(all, [&visits](const SecItemView&) { ++visits; }),
            errSecDecode);
  EXPECT_EQ(visits, 0);  // a is the first row, and it fails
  // Moving a damaged item needs its data; overwriting them repairs it.
  EXPECT_EQ(kc->Update(Query("a"), {{kSecAttrAccount, std::string("d")}}), errSecDecode);
  EXPECT_EQ(kc->Update(Query("a"), {{kSecValueData, Bytes("fixed")}}), errSecSuccess);
  EXPECT_EQ(Read(*kc, "a"), "fixed");
  EXPECT_EQ(kc->Delete(Query("b")), errSecSuccess);
}

TEST_F(SqliteKeychainTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kProcesses = 2;
  constexpr int kItems = 60;
  // Both start on an empty directory, so they also race to make the master key.
  pid_t children[kProcesses];
  for (int p = 0; p < kProcesses; ++p) {
    children[p] = fork();
    ASSERT_GE(children[p], 0);
    if (children[p] == 0) {
      std::string error;
      auto kc = OpenKeychainAt(dir(), &error);
      int failures = kc ? 0 : 1;
      for (int i = 0; kc && i < kItems; ++i) {
        std::string account = "p" + std::to_string(p) + "-" + std::to_string(i);
        if (kc->Add(Item(account, "v" + account)) != errSecSuccess) ++failures;
        if (kc->Update(Query(account), {{kSecValueData, Bytes("w" + account)}}) != errSecSuccess) {
          ++failures;
        }
        // Both also fight over one shared item.
        if (kc->Add(Item("shared", account)) == errSecDuplicateItem &&
            kc->Update(Query("shared"), {{kSecValueData, Bytes(account)}}) != errSecSuccess) {
          ++failures;
        }
      }
      _exit(failures == 0 ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto kc = Open();
  for (int p = 0; p < kProcesses; ++p) {
    for (int i = 0; i < kItems; ++i) {
      std::string account = "p" + std::to_string(p) + "-" + std::to_string(i);
      EXPECT_EQ(Read(*kc, account), "w" + account);
    }
  }
  EXPECT_EQ(Read(*kc, "shared").substr(0, 1), "p");
}

TEST_F(SqliteKeychainTest, AMasterKeyOfTheWrongSizeIsReportedNotReplaced) {
  ASSERT_NE(Open(), nullptr);
  ASSERT_EQ(truncate((dir() + "/master.key").c_str(), 16), 0);
  std::string error;
  EXPECT_EQ(OpenKeychainAt(dir(), &error), nullptr);
  EXPECT_NE(error.find("master key"), std::string::npos) << error;
  EXPECT_EQ(FileBytes(dir() + "/master.key").size(), 16u);
}

TEST_F(SqliteKeychainTest, TheUserKeychainLivesUnderTheDataHome) {
  std::string saved_xdg = getenv("XDG_DATA_HOME") ? getenv("XDG_DATA_HOME") : "";
  std::string saved_home = getenv("HOME") ? getenv("HOME") : "";
  setenv("XDG_DATA_HOME", (tmp_.path() + "/xdg").c_str(), 1);
  setenv("HOME", (tmp_.path() + "/home").c_str(), 1);
  std::string error;
  {
    auto kc = OpenUserKeychain(&error);
    ASSERT_NE(kc, nullptr) << error;
    EXPECT_EQ(kc->Add(Item("a", "v")), errSecSuccess);
  }
  EXPECT_EQ(ModeOf(tmp_.path() + "/xdg/kelvo/keychain/keychain.sqlite3"), 0600u);
  // A relative XDG_DATA_HOME is invalid and ignored.
  setenv("XDG_DATA_HOME", "relative/dir", 1);
  ASSERT_NE(OpenUserKeychain(&error), nullptr) << error;
  EXPECT_EQ(ModeOf(tmp_.path() + "/home/.local/share/kelvo/keychain/master.key"), 0600u);
  unsetenv("XDG_DATA_HOME");
  unsetenv("HOME");
  EXPECT_EQ(OpenUserKeychain(&error), nullptr);
  EXPECT_FALSE(error.empty());
  if (!saved_xdg.empty()) setenv("XDG_DATA_HOME", saved_xdg.c_str(), 1);
  if (!saved_home.empty()) setenv("HOME", saved_home.c_str(), 1);
}

}  // namespace
}  // namespace kelvo
