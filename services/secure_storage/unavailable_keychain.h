// Stand-ins for a keychain or an enclave store that could not be opened,
// so the service still answers every call (with an error) instead of
// failing to register.
// Threading: stateless, safe from any thread.
#pragma once

#include <memory>
#include <string>

#include "platform/enclave/secure_enclave.h"
#include "platform/keychain/keychain.h"

namespace kelvo {

// errSecNotAvailable on the system: "no keychain is available".
inline constexpr OSStatus kNoKeychainAvailable = -25291;

// Every call answers kNoKeychainAvailable.
std::unique_ptr<Keychain> MakeUnavailableKeychain();
// Finds no key and creates none (with `why` as the creation error);
// deleting finds nothing.
std::unique_ptr<SecureEnclave> MakeUnavailableEnclave(std::string why);

}  // namespace kelvo
