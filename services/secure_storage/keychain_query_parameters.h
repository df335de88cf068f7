// The records of the secure storage service: the parameters of one keychain
// operation, the operation's response, and the error value of a refused
// query.
//
// Values, copied freely: operations change copies, never the caller's
// record. The authentication context is shared between copies (it is an
// object the keychain consults, not part of the record's value).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <variant>

#include "platform/keychain/keychain.h"

namespace kelvo {

struct KeychainQueryParameters {
  std::optional<std::string> key;          // the item's account
  std::optional<std::string> accessGroup;  // read from "groupId"; no query applies it
  std::optional<std::string> service;
  std::optional<bool> isSynchronizable;
  std::optional<std::string> accessibilityLevel;
  bool usesDataProtectionKeychain = true;
  std::optional<bool> shouldReturnData;
  std::optional<std::string> itemLabel;
  std::optional<std::string> itemDescription;
  std::optional<std::string> itemComment;
  std::optional<bool> isHidden;
  std::optional<bool> isPlaceholder;
  std::optional<bool> shouldReturnPersistentReference;
  std::optional<std::string> authenticationUIBehavior;
  LAContextRef authenticationContext;  // null: absent
  std::optional<std::string> accessControlFlags;
  std::optional<bool> useSecureEnclave;

  bool enclave() const { return useSecureEnclave.value_or(false); }
};

// A keychain status and, on success, what the operation read.
struct FlutterSecureStorageResponse {
  using Map = std::map<std::string, std::string>;
  OSStatus status = errSecSuccess;
  std::variant<std::monostate, std::string, Map> value;
};

// A response that is only a status.
inline FlutterSecureStorageResponse StatusResponse(OSStatus status) {
  return {status, std::monostate{}};
}

struct OSSecError {
  OSStatus status = errSecParam;
  std::optional<std::string> message;
};

}  // namespace kelvo
