// Test helper: a keychain that passes calls on to another, except for the
// statuses a test queues for a kind of call, and counts the calls.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>

#include "platform/keychain/fake_keychain.h"

namespace kelvo {

class ScriptedKeychain : public ForwardingKeychain {
 public:
  using ForwardingKeychain::ForwardingKeychain;
  // Queued, lets that one call through.
  static constexpr OSStatus kPassOn = INT32_MIN;

  OSStatus CopyMatching(const SecDictionary& q, SecResult* result) override {
    ++copies;
    if (auto s = Next(copy_statuses)) return *s;
    return ForwardingKeychain::CopyMatching(q, result);
  }
  OSStatus Add(const SecDictionary& attributes) override {
    ++adds;
    if (auto s = Next(add_statuses)) return *s;
    return ForwardingKeychain::Add(attributes);
  }
  OSStatus Update(const SecDictionary& q, const SecDictionary& changes) override {
    ++updates;
    if (auto s = Next(update_statuses)) return *s;
    return ForwardingKeychain::Update(q, changes);
  }
  OSStatus Delete(const SecDictionary& q) override {
    ++deletes;
    if (auto s = Next(delete_statuses)) return *s;
    return ForwardingKeychain::Delete(q);
  }

  std::deque<OSStatus> copy_statuses, add_statuses, update_statuses, delete_statuses;
  int copies = 0, adds = 0, updates = 0, deletes = 0;

 private:
  static std::optional<OSStatus> Next(std::deque<OSStatus>& q) {
    if (q.empty()) return std::nullopt;
    OSStatus s = q.front();
    q.pop_front();
    if (s == kPassOn) return std::nullopt;
    return s;
  }
};

}  // namespace kelvo
