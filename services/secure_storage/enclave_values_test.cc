// Enclave-protected values on the in-memory keychain and a real enclave key
// store in a temporary directory: the item layouts and tags, one key per
// service, fresh keys and nonces, the fallbacks of read, delete, read-all,
// and the failures of write.
#include <gtest/gtest.h>

#include "platform/fs/test_dir.h"
#include "platform/keychain/fake_keychain.h"
#include "services/secure_storage/flutter_secure_storage.h"
#include "services/secure_storage/parse_call.h"
#include "services/secure_storage/scripted_keychain_test_util.h"
#include "services/secure_storage/unavailable_keychain.h"

namespace kelvo {
namespace {

using Params = KeychainQueryParameters;
using Map = FlutterSecureStorageResponse::Map;

// Passes calls to a real store and counts key creations.
class CountingEnclave : public SecureEnclave {
 public:
  explicit CountingEnclave(SecureEnclave* target) : target_(target) {}
  OSStatus CopyKey(const CryptoBytes& tag, SecPrivateKeyRef* key) override {
    return target_->CopyKey(tag, key);
  }
  SecPrivateKeyRef CreateRandomKey(const CryptoBytes& tag, const SecAccessControlRef& access,
                                   std::string* error) override {
    ++created;
    last_access = access;
    return target_->CreateRandomKey(tag, access, error);
  }
  OSStatus DeleteKey(const CryptoBytes& tag) override { return target_->DeleteKey(tag); }

  int created = 0;
  SecAccessControlRef last_access;

 private:
  SecureEnclave* target_;
};

Params Enclave(std::optional<std::string> key, std::optional<std::string> service = "svc") {
  ValueMap options{{"useSecureEnclave", "true"}};
  if (service) options.set("accountName", *service);
  ValueMap arguments{{"options", Value(std::move(options))}};
  if (key) arguments.set("key", *key);
  return parseCall(arguments).params;
}

Params Plain(std::optional<std::string> key) {
  Params p = Enclave(std::move(key));
  p.useSecureEnclave = std::nullopt;
  p.authenticationContext = nullptr;
  return p;
}

SecBytes Bytes(std::string_view s) { return SecBytes(s.begin(), s.end()); }
CryptoBytes Tag(std::string_view s) { return CryptoBytes(s.begin(), s.end()); }

SecDictionary ItemQuery(const std::string& account) {
  return {{kSecClass, std::string(kSecClassGenericPassword)}, {kSecAttrAccount, account}};
}

class EnclaveValuesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    real_ = OpenSecureEnclaveAt(dir_.path(), &error);
    ASSERT_NE(real_, nullptr) << error;
    enclave_ = std::make_shared<CountingEnclave>(real_.get());
    storage_ = std::make_unique<FlutterSecureStorage>(keychain_, enclave_);
  }

  std::optional<SecBytes> DataOf(const std::string& account) {
    for (const KeychainItem& item : fake_->Items()) {
      if (item.attributes.at(kSecAttrAccount) == SecValue(account)) return item.data;
    }
    return std::nullopt;
  }
  void SetData(const std::string& account, SecBytes data) {
    ASSERT_EQ(fake_->Update(ItemQuery(account), {{kSecValueData, std::move(data)}}),
              errSecSuccess);
  }
  FlutterSecureStorageResponse Read(const Params& p) { return storage_->read(p); }
  std::optional<std::string> Text(const FlutterSecureStorageResponse& r) {
    EXPECT_EQ(r.status, errSecSuccess);
    auto* text = std::get_if<std::string>(&r.value);
    return text ? std::optional<std::string>(*text) : std::nullopt;
  }
  bool HasKey(std::string_view tag) {
    SecPrivateKeyRef key;
    return real_->CopyKey(Tag(tag), &key) == errSecSuccess && key;
  }

  TestDir dir_;
  std::unique_ptr<SecureEnclave> real_;
  std::shared_ptr<CountingEnclave> enclave_;
  std::shared_ptr<FakeKeychain> fake_ = std::make_shared<FakeKeychain>();
  std::shared_ptr<ScriptedKeychain> keychain_ = std::make_shared<ScriptedKeychain>(fake_.get());
  std::unique_ptr<FlutterSecureStorage> storage_;
};

TEST_F(EnclaveValuesTest, ItemLayoutsOpenWithTheEnclaveKey) {
  const std::string value = "clave → sí";
  ASSERT_EQ(storage_->write(Enclave("k"), value).status, errSecSuccess);
  ASSERT_EQ(fake_->Items().size(), 2u);

  // The wrapped key: ECIES of 32 bytes = ephemeral point, ciphertext, tag.
  std::optional<SecBytes> wrapped = DataOf("fss.wrapped.k");
  ASSERT_TRUE(wrapped);
  EXPECT_EQ(wrapped->size(), 65u + 32u + 16u);
  // The value: nonce, ciphertext as long as the text, tag.
  std::optional<SecBytes> stored = DataOf("k");
  ASSERT_TRUE(stored);
  ASSERT_EQ(stored->size(), 12u + value.size() + 16u);
  for (const KeychainItem& item : fake_->Items()) {
    EXPECT_EQ(item.attributes.at(kSecAttrService), SecValue(std::string("svc")));
    EXPECT_EQ(item.attributes.at(kSecAttrSynchronizable), SecValue(false));
  }

  // Opened by hand with the key under "fss.enclave.svc".
  SecPrivateKeyRef key;
  ASSERT_EQ(real_->CopyKey(Tag("fss.enclave.svc"), &key), errSecSuccess);
  std::string error;
  std::optional<CryptoBytes> aes = key->CreateDecryptedData(
      SecKeyAlgorithm::kECIESEncryptionCofactorX963SHA256AESGCM, *wrapped, &error);
  ASSERT_TRUE(aes) << error;
  ASSERT_EQ(aes->size(), 32u);
  AesGcmSealedBox box{CryptoBytes(stored->begin(), stored->begin() + 12),
                      CryptoBytes(stored->begin() + 12, stored->end() - 16),
                      CryptoBytes(stored->end() - 16, stored->end())};
  std::optional<CryptoBytes> opened = AesGcmOpen(*aes, box);
  ASSERT_TRUE(opened);
  EXPECT_EQ(std::string(opened->begin(), opened->end()), value);

  EXPECT_EQ(Text(Read(Enclave("k"))), value);
  // The key is protected for this device, unlocked, for private-key use.
  ASSERT_NE(enclave_->last_access, nullptr);
  EXPECT_EQ(*enclave_->last_access, (SecAccessControl{kSecAttrAccessibleWhenUnlockedThisDeviceOnly,
                                                      kSecAccessControlPrivateKeyUsage}));
}

TEST_F(EnclaveValuesTest, OneKeyPerServiceAndFreshSecretsPerWrite) {
  ASSERT_EQ(storage_->write(Enclave("k"), "same").status, errSecSuccess);
  const SecBytes stored1 = *DataOf("k"), wrapped1 = *DataOf("fss.wrapped.k");
  ASSERT_EQ(storage_->write(Enclave("k"), "same").status, errSecSuccess);
  const SecBytes stored2 = *DataOf("k"), wrapped2 = *DataOf("fss.wrapped.k");
  EXPECT_EQ(enclave_->created, 1);  // found again by its tag
  EXPECT_EQ(fake_->Items().size(), 2u);  // updated in place
  EXPECT_NE(stored1, stored2);
  EXPECT_NE(SecBytes(stored1.begin(), stored1.begin() + 12),
            SecBytes(stored2.begin(), stored2.begin() + 12));
  EXPECT_NE(wrapped1, wrapped2);
  EXPECT_EQ(Text(Read(Enclave("k"))), "same");

  ASSERT_EQ(storage_->write(Enclave("k", "other"), "x").status, errSecSuccess);
  // Another key: without a service a query would reach every service's "k".
  ASSERT_EQ(storage_->write(Enclave("n", std::nullopt), "y").status, errSecSuccess);
  EXPECT_EQ(enclave_->created, 3);
  EXPECT_TRUE(HasKey("fss.enclave.svc"));
  EXPECT_TRUE(HasKey("fss.enclave.other"));
  EXPECT_TRUE(HasKey("fss.enclave.flutter_secure_storage_service"));
  EXPECT_EQ(Text(Read(Enclave("k", "other"))), "x");
  EXPECT_EQ(Text(Read(Enclave("n", std::nullopt))), "y");
  EXPECT_EQ(Text(Read(Enclave("k"))), "same");
}

TEST_F(EnclaveValuesTest, PlainValuesAreNotReadThroughTheEnclave) {
  ASSERT_EQ(storage_->write(Plain("k"), "plain").status, errSecSuccess);
  FlutterSecureStorageResponse r = Read(Enclave("k"));
  EXPECT_EQ(r.status, errSecSuccess);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(r.value));  // no wrapped key
  EXPECT_EQ(Text(Read(Plain("k"))), "plain");
  // Nothing stored at all: no value either.
  EXPECT_EQ(Text(Read(Enclave("missing"))), std::nullopt);
  EXPECT_EQ(Read(Enclave(std::nullopt)).status, errSecParam);
  EXPECT_EQ(storage_->write(Enclave(std::nullopt), "v").status, errSecParam);
}

TEST_F(EnclaveValuesTest, StoredDataThatIsNoSealedBoxFallsBackToPlainText) {
  ASSERT_EQ(storage_->write(Enclave("k"), "secret").status, errSecSuccess);
  SetData("k", Bytes("123456789012"));  // a nonce and nothing else
  FlutterSecureStorageResponse r = Read(Enclave("k"));
  EXPECT_EQ(r.status, errSecDecode);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(r.value));

  for (std::string text : {std::string(13, 'a'), std::string(27, 'b'), std::string(28, 'c'),
                           std::string("plain text written by an older version")}) {
    SetData("k", Bytes(text));
    EXPECT_EQ(Text(Read(Enclave("k"))), text) << text.size();
  }

  // A key that cannot be unwrapped any more (the enclave key is gone, or
  // the wrapped bytes are damaged) falls back too.
  SetData("k", Bytes("kept as plain text"));
  storage_->deleteEnclavePrivateKey("svc");
  EXPECT_EQ(Text(Read(Enclave("k"))), "kept as plain text");
  SetData("fss.wrapped.k", Bytes("not a wrapped key"));
  EXPECT_EQ(Text(Read(Enclave("k"))), "kept as plain text");

  // Keychain failures are no reason to fall back.
  keychain_->copy_statuses = {errSecInteractionNotAllowed};
  EXPECT_EQ(Read(Enclave("k")).status, errSecInteractionNotAllowed);
  keychain_->copy_statuses = {ScriptedKeychain::kPassOn, errSecDecode};
  EXPECT_EQ(Read(Enclave("k")).status, errSecDecode);
}

TEST_F(EnclaveValuesTest, DeleteAndReadAll) {
  ASSERT_EQ(storage_->write(Enclave("a"), "1").status, errSecSuccess);
  ASSERT_EQ(storage_->write(Enclave("b"), "2").status, errSecSuccess);
  ASSERT_EQ(fake_->Add({{kSecClass, std::string(kSecClassGenericPassword)},
                        {kSecAttrAccount, std::string("old")},
                        {kSecAttrService, std::string("svc")},
                        {kSecValueData, Bytes("plain")}}),
            errSecSuccess);
  FlutterSecureStorageResponse all = storage_->readAll(Enclave(std::nullopt));
  EXPECT_EQ(all.status, errSecSuccess);
  // Decrypted values, the plain item as it is, never a wrapped key.
  EXPECT_EQ(std::get<Map>(all.value), (Map{{"a", "1"}, {"b", "2"}, {"old", "plain"}}));

  EXPECT_EQ(storage_->deleteItem(Enclave("a")).status, errSecSuccess);
  EXPECT_FALSE(DataOf("a"));
  EXPECT_FALSE(DataOf("fss.wrapped.a"));
  EXPECT_TRUE(DataOf("fss.wrapped.b"));
  EXPECT_EQ(storage_->deleteItem(Enclave("a")).status, errSecSuccess);  // already gone

  // Delete of everything, with the enclave key.
  EXPECT_EQ(storage_->performDelete(Enclave(std::nullopt), true).status, errSecSuccess);
  storage_->deleteEnclavePrivateKey("svc");
  EXPECT_TRUE(fake_->Items().empty());
  EXPECT_FALSE(HasKey("fss.enclave.svc"));
  storage_->deleteEnclavePrivateKey("svc");  // nothing left: ignored
  all = storage_->readAll(Enclave(std::nullopt));
  EXPECT_TRUE(std::holds_alternative<std::monostate>(all.value));
}

TEST_F(EnclaveValuesTest, FailedWritesLeaveEarlierItemsAlone) {
  ASSERT_EQ(storage_->write(Enclave("k"), "before").status, errSecSuccess);
  const SecBytes stored = *DataOf("k"), wrapped = *DataOf("fss.wrapped.k");

  // No enclave key can be made.
  FlutterSecureStorage no_enclave(keychain_, MakeUnavailableEnclave("no key store"));
  EXPECT_EQ(no_enclave.write(Enclave("k"), "after").status, errSecParam);
  SecExpected<SecPrivateKeyRef> key = no_enclave.ensureEnclavePrivateKey("svc");
  ASSERT_FALSE(key.has_value());
  EXPECT_EQ(key.error().status, errSecParam);
  EXPECT_EQ(key.error().message, "no key store");

  // The wrapped key's update fails: the value item is not touched.
  keychain_->update_statuses = {errSecInteractionNotAllowed};
  EXPECT_EQ(storage_->write(Enclave("k"), "after").status, errSecInteractionNotAllowed);
  EXPECT_EQ(*DataOf("k"), stored);
  EXPECT_EQ(*DataOf("fss.wrapped.k"), wrapped);

  // The value's update fails after the new wrapped key is stored, and is
  // not repaired by delete and add; the earlier wrapped key goes back, so
  // the old value still opens.
  keychain_->update_statuses = {ScriptedKeychain::kPassOn, errSecInteractionNotAllowed};
  const int adds = keychain_->adds, deletes = keychain_->deletes;
  EXPECT_EQ(storage_->write(Enclave("k"), "after").status, errSecInteractionNotAllowed);
  EXPECT_EQ(keychain_->adds, adds);
  EXPECT_EQ(keychain_->deletes, deletes);
  EXPECT_EQ(*DataOf("k"), stored);
  EXPECT_EQ(*DataOf("fss.wrapped.k"), wrapped);
  EXPECT_EQ(Text(Read(Enclave("k"))), "before");

  // A new key whose value cannot be added keeps its wrapped key.
  keychain_->add_statuses = {ScriptedKeychain::kPassOn, errSecInteractionNotAllowed};
  EXPECT_EQ(storage_->write(Enclave("fresh"), "v").status, errSecInteractionNotAllowed);
  EXPECT_TRUE(DataOf("fss.wrapped.fresh"));
  EXPECT_FALSE(DataOf("fresh"));
}

}  // namespace
}  // namespace kelvo
