#include "services/secure_storage/session_lock_gate.h"

namespace kelvo {
namespace {

bool IsTrue(const SecDictionary& d, const char* key) {
  auto it = d.find(key);
  if (it == d.end()) return false;
  const bool* flag = std::get_if<bool>(&it->second);
  return flag != nullptr && *flag;
}

// The accessibility an item gets from attributes being added or set;
// nothing when they do not name one.
std::optional<std::string> ProtectionIn(const SecDictionary& attributes) {
  if (auto it = attributes.find(kSecAttrAccessControl); it != attributes.end()) {
    if (const auto* ac = std::get_if<SecAccessControlRef>(&it->second); ac && *ac) {
      return (*ac)->protection;
    }
  }
  if (auto it = attributes.find(kSecAttrAccessible); it != attributes.end()) {
    if (const auto* text = std::get_if<std::string>(&it->second)) return *text;
  }
  return std::nullopt;
}

class SessionLockedKeychain final : public Keychain {
 public:
  SessionLockedKeychain(std::shared_ptr<Keychain> keychain, std::shared_ptr<SessionLockState> state)
      : keychain_(std::move(keychain)), state_(std::move(state)) {}

  OSStatus CopyMatching(const SecDictionary& query, SecResult* result) override {
    if (IsTrue(query, kSecReturnData) && !state_->Unlocked()) {
      if (OSStatus s = CheckMatches(query); s != errSecSuccess) return s;
    }
    return keychain_->CopyMatching(query, result);
  }

  OSStatus Add(const SecDictionary& attributes) override {
    if (!state_->Unlocked() &&
        !state_->Allows(ProtectionIn(attributes).value_or(kSecAttrAccessibleWhenUnlocked))) {
      return errSecInteractionNotAllowed;
    }
    return keychain_->Add(attributes);
  }

  OSStatus Update(const SecDictionary& query, const SecDictionary& changes) override {
    if (!state_->Unlocked()) {
      std::optional<std::string> to = ProtectionIn(changes);
      if (to && !state_->Allows(*to)) return errSecInteractionNotAllowed;
      if (OSStatus s = CheckMatches(query); s != errSecSuccess) return s;
    }
    return keychain_->Update(query, changes);
  }

  OSStatus Delete(const SecDictionary& query) override { return keychain_->Delete(query); }

 private:
  // errSecInteractionNotAllowed when an item `query` reaches may not be
  // used now; the keychain's own status when nothing matches or it fails.
  OSStatus CheckMatches(const SecDictionary& query) {
    SecDictionary probe = query;
    probe.erase(kSecReturnData);
    probe.erase(kSecReturnPersistentRef);
    probe[kSecReturnAttributes] = true;
    SecResult found;
    OSStatus status = keychain_->CopyMatching(probe, &found);
    if (status != errSecSuccess) return status;
    std::vector<SecDictionary> items;
    if (auto* one = std::get_if<SecDictionary>(&found)) items.push_back(std::move(*one));
    if (auto* all = std::get_if<std::vector<SecDictionary>>(&found)) items = std::move(*all);
    for (const SecDictionary& item : items) {
      if (!state_->Allows(ProtectionIn(item).value_or(kSecAttrAccessibleWhenUnlocked))) {
        return errSecInteractionNotAllowed;
      }
    }
    return errSecSuccess;
  }

  const std::shared_ptr<Keychain> keychain_;
  const std::shared_ptr<SessionLockState> state_;
};

class SessionLockedEnclave final : public SecureEnclave {
 public:
  SessionLockedEnclave(std::shared_ptr<SecureEnclave> enclave,
                       std::shared_ptr<SessionLockState> state)
      : enclave_(std::move(enclave)), state_(std::move(state)) {}

  OSStatus CopyKey(const CryptoBytes& application_tag, SecPrivateKeyRef* key) override {
    if (!state_->Unlocked()) return errSecInteractionNotAllowed;
    return enclave_->CopyKey(application_tag, key);
  }
  SecPrivateKeyRef CreateRandomKey(const CryptoBytes& application_tag,
                                   const SecAccessControlRef& access_control,
                                   std::string* error) override {
    if (!state_->Unlocked()) {
      if (error) *error = "User interaction is not allowed.";
      return nullptr;
    }
    return enclave_->CreateRandomKey(application_tag, access_control, error);
  }
  OSStatus DeleteKey(const CryptoBytes& application_tag) override {
    return enclave_->DeleteKey(application_tag);
  }

 private:
  const std::shared_ptr<SecureEnclave> enclave_;
  const std::shared_ptr<SessionLockState> state_;
};

}  // namespace

bool SessionLockState::Unlocked() {
  const bool unlocked = available_();
  if (unlocked) unlocked_once_.store(true);
  return unlocked;
}

bool SessionLockState::Allows(const std::string& protection) {
  if (Unlocked()) return true;
  const bool after_first_unlock = protection == kSecAttrAccessibleAfterFirstUnlock ||
                                  protection == kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly;
  return after_first_unlock && unlocked_once_.load();
}

std::unique_ptr<Keychain> MakeSessionLockedKeychain(std::shared_ptr<Keychain> keychain,
                                                    std::shared_ptr<SessionLockState> state) {
  return std::make_unique<SessionLockedKeychain>(std::move(keychain), std::move(state));
}

std::unique_ptr<SecureEnclave> MakeSessionLockedEnclave(std::shared_ptr<SecureEnclave> enclave,
                                                        std::shared_ptr<SessionLockState> state) {
  return std::make_unique<SessionLockedEnclave>(std::move(enclave), std::move(state));
}

}  // namespace kelvo
