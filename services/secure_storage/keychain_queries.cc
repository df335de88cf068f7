// From a parameters record to a query dictionary: validation, the
// accessibility and access-control vocabularies, and the base query.
#include <cstdio>
#include <string_view>

#include "services/secure_storage/flutter_secure_storage.h"

namespace kelvo {
namespace {

void PrintToStandardOutput(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string_view Trim(std::string_view s, std::string_view chars) {
  size_t begin = s.find_first_not_of(chars);
  if (begin == std::string_view::npos) return {};
  size_t end = s.find_last_not_of(chars);
  return s.substr(begin, end - begin + 1);
}

}  // namespace

FlutterSecureStorage::FlutterSecureStorage(std::shared_ptr<Keychain> keychain,
                                           std::shared_ptr<SecureEnclave> enclave,
                                           LinePrinter print)
    : keychain_(std::move(keychain)),
      enclave_(std::move(enclave)),
      print_(print ? std::move(print) : LinePrinter(PrintToStandardOutput)) {}

std::optional<OSSecError> FlutterSecureStorage::validateQueryParameters(
    const KeychainQueryParameters& params) {
  if (params.isHidden == true && params.isPlaceholder == true) {
    return OSSecError{errSecParam,
                      "Cannot use both kSecAttrIsInvisible and kSecAttrIsNegative together."};
  }
  if (params.shouldReturnPersistentReference == true && params.shouldReturnData == true) {
    return OSSecError{errSecParam, "Cannot use kSecReturnPersistentRef and kSecReturnData together."};
  }
  return std::nullopt;
}

std::string FlutterSecureStorage::parseAccessibleAttr(const std::optional<std::string>& name) {
  if (name == "passcode") return kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly;
  if (name == "unlocked_this_device") return kSecAttrAccessibleWhenUnlockedThisDeviceOnly;
  if (name == "first_unlock") return kSecAttrAccessibleAfterFirstUnlock;
  if (name == "first_unlock_this_device") return kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly;
  return kSecAttrAccessibleWhenUnlocked;  // "unlocked", and any other name
}

SecAccessControlCreateFlags FlutterSecureStorage::parseAccessControlFlags(
    const std::optional<std::string>& list) {
  SecAccessControlCreateFlags flags = 0;
  if (!list) return flags;
  static constexpr std::pair<std::string_view, SecAccessControlCreateFlags> kTokens[] = {
      {"userPresence", kSecAccessControlUserPresence},
      {"biometryAny", kSecAccessControlBiometryAny},
      {"biometryCurrentSet", kSecAccessControlBiometryCurrentSet},
      {"devicePasscode", kSecAccessControlDevicePasscode},
      {"or", kSecAccessControlOr},
      {"and", kSecAccessControlAnd},
      {"privateKeyUsage", kSecAccessControlPrivateKeyUsage},
      {"applicationPassword", kSecAccessControlApplicationPassword},
  };
  std::string_view rest = *list;
  while (true) {
    size_t comma = rest.find(',');
    std::string_view piece = rest.substr(0, comma);
    if (!piece.empty()) {
      // White space first, then the brackets of a list written as "[a, b]".
      std::string_view token = Trim(Trim(piece, " \t\n\r\f\v"), "[]");
      for (const auto& [name, flag] : kTokens) {
        if (token == name) flags |= flag;
      }
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return flags;
}

SecAccessControlRef FlutterSecureStorage::createAccessControl(
    const KeychainQueryParameters& params) const {
  if (!params.accessControlFlags || params.accessControlFlags->empty() ||
      !params.accessibilityLevel) {
    return nullptr;
  }
  std::string error;
  SecAccessControlRef access =
      SecAccessControlCreateWithFlags(parseAccessibleAttr(params.accessibilityLevel),
                                      parseAccessControlFlags(params.accessControlFlags), &error);
  if (!access) print_("Error creating access control: " + error);
  return access;
}

SecExpected<SecDictionary> FlutterSecureStorage::baseQuery(
    const KeychainQueryParameters& params) const {
  if (std::optional<OSSecError> invalid = validateQueryParameters(params)) {
    return MakeUnexpected(*invalid);
  }
  SecDictionary query;
  query[kSecClass] = std::string(kSecClassGenericPassword);
  if (params.key) query[kSecAttrAccount] = *params.key;
  if (params.service) query[kSecAttrService] = *params.service;
  if (params.shouldReturnData) query[kSecReturnData] = *params.shouldReturnData;
  if (params.itemLabel) query[kSecAttrLabel] = *params.itemLabel;
  if (params.itemDescription) query[kSecAttrDescription] = *params.itemDescription;
  if (params.itemComment) query[kSecAttrComment] = *params.itemComment;
  if (params.isHidden) query[kSecAttrIsInvisible] = *params.isHidden;
  if (params.isPlaceholder) query[kSecAttrIsNegative] = *params.isPlaceholder;
  if (params.shouldReturnPersistentReference) {
    query[kSecReturnPersistentRef] = *params.shouldReturnPersistentReference;
  }
  if (params.authenticationUIBehavior) {
    query[kSecUseAuthenticationUI] = *params.authenticationUIBehavior;
  }
  if (params.authenticationContext) {
    query[kSecUseAuthenticationContext] = params.authenticationContext;
  }

  // An enclave-protected value asks for user presence unless told otherwise.
  KeychainQueryParameters access = params;
  if (access.enclave() && (!access.accessControlFlags || access.accessControlFlags->empty())) {
    access.accessControlFlags = "userPresence";
  }
  if (SecAccessControlRef control = createAccessControl(access)) {
    query[kSecAttrAccessControl] = control;
  } else {
    if (params.accessibilityLevel) {
      query[kSecAttrAccessible] = parseAccessibleAttr(params.accessibilityLevel);
    }
    if (params.isSynchronizable && !params.enclave()) {
      query[kSecAttrSynchronizable] = *params.isSynchronizable;
    }
  }
  if (params.usesDataProtectionKeychain) query[kSecUseDataProtectionKeychain] = true;
  return query;
}

}  // namespace kelvo
