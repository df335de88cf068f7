// SecAccessControlCreateWithFlags and SecCopyErrorMessageString.
//
// This machine has no biometry or passcode prompt: a constraint such as
// user presence is satisfied by the logged-in session, so an access control
// only records how an item is protected. Invalid combinations still fail
// as they do on the system, so callers' fallbacks stay reachable.
#include <cstdio>

#include "platform/keychain/keychain.h"
#include "platform/keychain/keychain_matching.h"

namespace kelvo {
namespace {

constexpr SecAccessControlCreateFlags kKnownFlags =
    kSecAccessControlUserPresence | kSecAccessControlBiometryAny |
    kSecAccessControlBiometryCurrentSet | kSecAccessControlDevicePasscode | kSecAccessControlOr |
    kSecAccessControlAnd | kSecAccessControlPrivateKeyUsage | kSecAccessControlApplicationPassword;

std::string Invalid(const std::string& why) {
  return "The operation couldn’t be completed. (OSStatus error -50 - " + why + ")";
}

}  // namespace

SecAccessControlRef SecAccessControlCreateWithFlags(const std::string& protection,
                                                    SecAccessControlCreateFlags flags,
                                                    std::string* error) {
  std::string why;
  if (!IsKeychainProtection(protection)) {
    why = "invalid accessibility \"" + protection + "\"";
  } else if ((flags & ~kKnownFlags) != 0) {
    char hex[32];
    std::snprintf(hex, sizeof hex, "0x%llx", static_cast<unsigned long long>(flags & ~kKnownFlags));
    why = std::string("unknown access control flags ") + hex;
  } else if ((flags & kSecAccessControlOr) != 0 && (flags & kSecAccessControlAnd) != 0) {
    why = "access control flags combine both or and and";
  } else {
    return std::make_shared<const SecAccessControl>(SecAccessControl{protection, flags});
  }
  if (error != nullptr) *error = Invalid(why);
  return nullptr;
}

std::optional<std::string> SecCopyErrorMessageString(OSStatus status) {
  switch (status) {
    case errSecSuccess:
      return "No error.";
    case errSecUnimplemented:
      return "Function or operation not implemented.";
    case errSecIO:
      return "I/O error.";
    case errSecParam:
      return "One or more parameters passed to a function were not valid.";
    case errSecAuthFailed:
      return "The user name or passphrase you entered is not correct.";
    case errSecDuplicateItem:
      return "The specified item already exists in the keychain.";
    case errSecItemNotFound:
      return "The specified item could not be found in the keychain.";
    case errSecInteractionNotAllowed:
      return "User interaction is not allowed.";
    case errSecDecode:
      return "Unable to decode the provided data.";
    default:
      return std::nullopt;
  }
}

}  // namespace kelvo
