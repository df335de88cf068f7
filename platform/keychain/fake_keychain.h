// Test doubles for the keychain.
//
// FakeKeychain keeps items in memory and answers with the same rules and
// statuses as the user's keychain (keychain_matching.h). It can also damage
// items, so that reading their data answers errSecDecode as a keychain
// whose stored data fail authentication would.
//
// ForwardingKeychain hands every call to a target it does not own; a test
// double derives from it and overrides only the calls it wants to fail.
//
// Threading: FakeKeychain serialises its calls internally.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/keychain/keychain.h"
#include "platform/keychain/keychain_matching.h"

namespace kelvo {

class FakeKeychain : public Keychain {
 public:
  OSStatus CopyMatching(const SecDictionary& query, SecResult* result) override;
  OSStatus Add(const SecDictionary& attributes) override;
  OSStatus Update(const SecDictionary& query, const SecDictionary& changes) override;
  OSStatus Delete(const SecDictionary& query) override;

  // Every stored item in insertion order (attributes normalised).
  std::vector<KeychainItem> Items() const;
  // Marks every item matching `query` as damaged: CopyMatching that returns
  // their data answers errSecDecode until new data are written. Returns how
  // many items were marked (0 for a malformed query).
  int DamageItems(const SecDictionary& query);

 private:
  struct Stored {
    int64_t id;
    KeychainItem item;
    bool damaged = false;
  };

  mutable std::mutex mu_;
  std::vector<Stored> items_;  // insertion order; guarded by mu_
  int64_t next_id_ = 1;        // guarded by mu_
};

class ForwardingKeychain : public Keychain {
 public:
  // `target` must outlive this object.
  explicit ForwardingKeychain(Keychain* target) : target_(target) {}

  OSStatus CopyMatching(const SecDictionary& query, SecResult* result) override {
    return target_->CopyMatching(query, result);
  }
  OSStatus Add(const SecDictionary& attributes) override { return target_->Add(attributes); }
  OSStatus Update(const SecDictionary& query, const SecDictionary& changes) override {
    return target_->Update(query, changes);
  }
  OSStatus Delete(const SecDictionary& query) override { return target_->Delete(query); }

  Keychain* target() const { return target_; }

 private:
  Keychain* const target_;
};

}  // namespace kelvo
