// Without a Secret Service the key file is used, and the log says what
// that means.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "platform/desktop_notify/fake_session_bus.h"
#include "platform/keychain/keychain.h"
#include "platform/keychain/master_key_source.h"
#include "platform/fs/test_dir.h"
#include "platform/keychain/test_keyring.h"

namespace kelvo {
namespace {

SecDictionary WithData(const std::string& text) {
  return {{kSecClass, std::string(kSecClassGenericPassword)},
          {kSecAttrAccount, std::string("token")},
          {kSecValueData, SecBytes(text.begin(), text.end())}};
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

TEST(NoSecretServiceTest, KeyFileIsUsedAndTheLogSaysSo) {
  if (!TestKeyring::Installed()) GTEST_SKIP() << "dbus-daemon missing";
  FakeSessionBus bus;
  ASSERT_EQ(bus.Start(), std::nullopt);
  TestDir dir;
  // First no bus at all, then a bus where nobody serves secrets.
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  for (const std::string& address : {std::string(), bus.address()}) {
    if (!address.empty()) setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    std::vector<std::string> log;
    MasterKeyOptions options;
    options.log = [&log](const std::string& line) { log.push_back(line); };
    std::string error;
    auto source = OpenMasterKeySource(dir.path(), options, &error);
    ASSERT_TRUE(source) << error;
    EXPECT_EQ(source->store(), MasterKeyStore::kFile);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("secrets are protected by file permissions only"), std::string::npos)
        << log[0];
    auto keychain = OpenKeychainAt(dir.path(), source, &error);
    ASSERT_TRUE(keychain) << error;
    EXPECT_EQ(keychain->Add(WithData("f")), address.empty() ? errSecSuccess : errSecDuplicateItem);
    EXPECT_TRUE(Exists(dir.path() + "/master.key"));
  }
}

}  // namespace
}  // namespace kelvo
