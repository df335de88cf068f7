// Accessibility as the platform enforces it, from the login session's lock
// state.
//
// While the session is locked, items whose accessibility needs an unlocked
// device ("unlocked", "unlocked_this_device", "passcode", and absent or
// unknown names, stored as kSecAttrAccessibleWhenUnlocked) cannot be read
// or written: errSecInteractionNotAllowed. The "first_unlock" classes are
// readable and writable once the session has been seen unlocked by this
// process. Enclave keys are "unlocked, this device only": no lookup or
// creation while locked, so enclave-protected values follow that rule.
//
// What stays allowed while locked: presence tests and listings without
// data (an item's attributes are not its secret) and deletion.
//
// Ownership: the gated keychain and enclave share the state and the store
// they wrap.
// Threading: every method may be called from any thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "platform/enclave/secure_enclave.h"
#include "platform/keychain/keychain.h"

namespace kelvo {

class SessionLockState {
 public:
  // `available` answers whether the session is unlocked now (the
  // protected-data monitor).
  explicit SessionLockState(std::function<bool()> available) : available_(std::move(available)) {}

  // Whether the session is unlocked now; remembers having seen it so.
  bool Unlocked();
  // Whether an item with this kSecAttrAccessible value may be used now.
  bool Allows(const std::string& protection);

 private:
  const std::function<bool()> available_;
  std::atomic<bool> unlocked_once_{false};
};

std::unique_ptr<Keychain> MakeSessionLockedKeychain(std::shared_ptr<Keychain> keychain,
                                                    std::shared_ptr<SessionLockState> state);
std::unique_ptr<SecureEnclave> MakeSessionLockedEnclave(std::shared_ptr<SecureEnclave> enclave,
                                                        std::shared_ptr<SessionLockState> state);

}  // namespace kelvo
