#include "services/secure_storage/unavailable_keychain.h"

namespace kelvo {
namespace {

class UnavailableKeychain final : public Keychain {
 public:
  OSStatus CopyMatching(const SecDictionary&, SecResult*) override { return kNoKeychainAvailable; }
  OSStatus Add(const SecDictionary&) override { return kNoKeychainAvailable; }
  OSStatus Update(const SecDictionary&, const SecDictionary&) override {
    return kNoKeychainAvailable;
  }
  OSStatus Delete(const SecDictionary&) override { return kNoKeychainAvailable; }
};

class UnavailableEnclave final : public SecureEnclave {
 public:
  explicit UnavailableEnclave(std::string why) : why_(std::move(why)) {}
  OSStatus CopyKey(const CryptoBytes&, SecPrivateKeyRef*) override { return errSecItemNotFound; }
  SecPrivateKeyRef CreateRandomKey(const CryptoBytes&, const SecAccessControlRef&,
                                   std::string* error) override {
    if (error) *error = why_;
    return nullptr;
  }
  OSStatus DeleteKey(const CryptoBytes&) override { return errSecItemNotFound; }

 private:
  const std::string why_;
};

}  // namespace

std::unique_ptr<Keychain> MakeUnavailableKeychain() {
  return std::make_unique<UnavailableKeychain>();
}

std::unique_ptr<SecureEnclave> MakeUnavailableEnclave(std::string why) {
  return std::make_unique<UnavailableEnclave>(std::move(why));
}

}  // namespace kelvo
