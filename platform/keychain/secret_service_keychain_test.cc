// The master key in a real Secret Service: gnome-keyring-daemon on a
// private session bus, started by each test.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/desktop_notify/fake_session_bus.h"
#include "platform/enclave/secure_enclave.h"
#include "platform/keychain/keychain.h"
#include "platform/keychain/master_key_source.h"
#include "platform/fs/test_dir.h"
#include "platform/keychain/test_keyring.h"

namespace kelvo {
namespace {

namespace fs = std::filesystem;

const SecDictionary kItem = {{kSecClass, std::string(kSecClassGenericPassword)},
                             {kSecAttrAccount, std::string("token")},
                             {kSecAttrService, std::string("kelvo.test")}};

SecDictionary WithData(const std::string& text) {
  SecDictionary d = kItem;
  d[kSecValueData] = SecBytes(text.begin(), text.end());
  return d;
}

SecDictionary ReturningData() {
  SecDictionary d = kItem;
  d[kSecReturnData] = true;
  return d;
}

std::string ReadText(Keychain& keychain, OSStatus* status) {
  SecResult result;
  *status = keychain.CopyMatching(ReturningData(), &result);
  const SecBytes* data = std::get_if<SecBytes>(&result);
  return data ? std::string(data->begin(), data->end()) : std::string();
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// One private bus and keyring per test process (ctest runs each test in
// its own); libsecret keeps the process's first session bus.
class SecretServiceKeychainTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!TestKeyring::Installed()) return;
    home_ = new TestDir;
    bus_ = new FakeSessionBus;
    keyring_ = new TestKeyring;
    if (auto why = bus_->Start()) {
      failed_ = *why;
    } else if (auto why2 = keyring_->Start(bus_->address(), home_->path())) {
      failed_ = *why2;
    } else {
      setenv("DBUS_SESSION_BUS_ADDRESS", bus_->address().c_str(), 1);
    }
  }
  static void TearDownTestSuite() {
    delete keyring_;
    delete bus_;
    delete home_;
  }

  void SetUp() override {
    if (!TestKeyring::Installed()) GTEST_SKIP() << "gnome-keyring-daemon or dbus-daemon missing";
    ASSERT_EQ(failed_, "");
    dir_ = dirs_.path() + "/kelvo/keychain";
    fs::create_directories(dir_);
    options_.log = [this](const std::string& line) { log_.push_back(line); };
  }

  std::shared_ptr<MasterKeySource> Source() {
    std::string error;
    auto source = OpenMasterKeySource(dir_, options_, &error);
    EXPECT_TRUE(source) << error;
    return source;
  }

  std::unique_ptr<Keychain> Open(std::shared_ptr<MasterKeySource> source) {
    std::string error;
    auto keychain = OpenKeychainAt(dir_, std::move(source), &error);
    EXPECT_TRUE(keychain) << error;
    return keychain;
  }

  static inline TestDir* home_ = nullptr;
  static inline FakeSessionBus* bus_ = nullptr;
  static inline TestKeyring* keyring_ = nullptr;
  static inline std::string failed_;
  TestDir dirs_;
  std::string dir_;
  MasterKeyOptions options_;
  std::vector<std::string> log_;
};

TEST_F(SecretServiceKeychainTest, KeyLivesInTheSecretServiceAndTheFilesAloneDecryptNothing) {
  auto source = Source();
  ASSERT_TRUE(source);
  EXPECT_EQ(source->store(), MasterKeyStore::kSecretService);
  {
    auto keychain = Open(source);
    ASSERT_EQ(keychain->Add(WithData("s3cret")), errSecSuccess);
    std::string error;
    EnclaveOptions software;
    software.software_only = true;
    auto enclave = OpenSecureEnclaveAt(dir_, source, software, nullptr, &error);
    ASSERT_TRUE(enclave) << error;
    ASSERT_TRUE(enclave->CreateRandomKey({1, 2, 3}, nullptr, &error)) << error;
  }
  EXPECT_FALSE(Exists(dir_ + "/master.key"));

  // Another process of the user finds the same key there.
  OSStatus status;
  EXPECT_EQ(ReadText(*Open(Source()), &status), "s3cret");
  EXPECT_EQ(status, errSecSuccess);

  // Whoever copies the files gets nothing out of them.
  TestDir thief;
  for (const char* name : {"keychain.sqlite3", "enclave.sqlite3"}) {
    fs::copy_file(dir_ + "/" + name, thief.path() + "/" + name);
  }
  std::string error;
  auto stolen = OpenKeychainAt(thief.path(), &error);
  ASSERT_TRUE(stolen) << error;
  EXPECT_EQ(ReadText(*stolen, &status), "");
  EXPECT_EQ(status, errSecDecode);
  auto stolen_enclave = OpenSecureEnclaveAt(thief.path(), &error);
  ASSERT_TRUE(stolen_enclave) << error;
  SecPrivateKeyRef key;
  EXPECT_EQ(stolen_enclave->CopyKey({1, 2, 3}, &key), errSecDecode);
}

TEST_F(SecretServiceKeychainTest, KeyFileFromBeforeIsMovedInAndRemoved) {
  std::string error;
  {
    auto old = OpenKeychainAt(dir_, &error);  // the key file, as earlier versions kept it
    ASSERT_TRUE(old) << error;
    ASSERT_EQ(old->Add(WithData("kept")), errSecSuccess);
  }
  ASSERT_TRUE(Exists(dir_ + "/master.key"));

  auto keychain = Open(Source());
  OSStatus status;
  EXPECT_EQ(ReadText(*keychain, &status), "kept");
  EXPECT_EQ(status, errSecSuccess);
  EXPECT_FALSE(Exists(dir_ + "/master.key"));
  ASSERT_FALSE(log_.empty());
  EXPECT_NE(log_.back().find("moved the master key"), std::string::npos) << log_.back();

  // Read again by a fresh process: the moved key is the one kept.
  EXPECT_EQ(ReadText(*Open(Source()), &status), "kept");
}

TEST_F(SecretServiceKeychainTest, LockedCollectionAnswersInteractionNotAllowed) {
  bool may_cache = true;
  options_.may_cache = [&may_cache] { return may_cache; };
  auto cached = Source();
  auto keychain = Open(cached);
  ASSERT_EQ(keychain->Add(WithData("v")), errSecSuccess);

  ASSERT_EQ(keyring_->LockLogin(), std::nullopt);

  // A keychain that never had the key gets the locked status, and nothing
  // is created or written beside the files.
  options_.may_cache = nullptr;
  auto fresh = Open(Source());
  OSStatus status;
  EXPECT_EQ(ReadText(*fresh, &status), "");
  EXPECT_EQ(status, errSecInteractionNotAllowed);
  EXPECT_EQ(fresh->Add(WithData("w")), errSecInteractionNotAllowed);
  EXPECT_FALSE(Exists(dir_ + "/master.key"));
  // Metadata need no key.
  EXPECT_EQ(fresh->CopyMatching(kItem, nullptr), errSecSuccess);

  // The key cached while the session was unlocked serves until the session
  // locks; then the Secret Service is asked again.
  EXPECT_EQ(ReadText(*keychain, &status), "v");
  may_cache = false;
  EXPECT_EQ(ReadText(*keychain, &status), "");
  EXPECT_EQ(status, errSecInteractionNotAllowed);
}

}  // namespace
}  // namespace kelvo
