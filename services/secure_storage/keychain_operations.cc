// The plain keychain operations: presence, read, write, delete, delete of
// both synchronizable variants, and read-all.
#include "services/secure_storage/flutter_secure_storage.h"
#include "services/secure_storage/utf8_text.h"

namespace kelvo {
namespace {

FlutterSecureStorageResponse Status(OSStatus status) { return {status, std::monostate{}}; }

SecBytes Utf8Bytes(const std::string& value) { return SecBytes(value.begin(), value.end()); }

}  // namespace

SecExpected<bool> FlutterSecureStorage::containsKey(const KeychainQueryParameters& params) const {
  // A key stored either way counts: synchronizable first, then local.
  for (bool synchronizable : {true, false}) {
    KeychainQueryParameters copy = params;
    copy.isSynchronizable = synchronizable;
    copy.shouldReturnData = false;
    SecExpected<SecDictionary> query = baseQuery(copy);
    if (!query) return MakeUnexpected(OSSecError{query.error().status, std::nullopt});
    OSStatus status = keychain_->CopyMatching(*query, nullptr);
    if (status == errSecSuccess) return true;
    if (status != errSecItemNotFound) return MakeUnexpected(OSSecError{status, std::nullopt});
  }
  return false;
}

FlutterSecureStorageResponse FlutterSecureStorage::read(
    const KeychainQueryParameters& params) const {
  return params.enclave() ? readEncrypted(params) : readPlain(params);
}

FlutterSecureStorageResponse FlutterSecureStorage::readPlain(
    const KeychainQueryParameters& params) const {
  SecExpected<SecDictionary> query = baseQuery(params);
  if (!query) return Status(query.error().status);
  SecResult result;
  OSStatus status = keychain_->CopyMatching(*query, &result);
  if (status == errSecItemNotFound) return Status(errSecSuccess);
  if (status != errSecSuccess) return Status(status);
  FlutterSecureStorageResponse response;
  if (const SecBytes* data = std::get_if<SecBytes>(&result)) {
    if (std::optional<std::string> text = DecodeUtf8Text(*data)) response.value = std::move(*text);
  }
  return response;
}

FlutterSecureStorageResponse FlutterSecureStorage::write(const KeychainQueryParameters& params,
                                                         const std::string& value) const {
  return params.enclave() ? writeEncrypted(params, value) : writePlain(params, value);
}

FlutterSecureStorageResponse FlutterSecureStorage::writePlain(
    const KeychainQueryParameters& params, const std::string& value) const {
  SecExpected<bool> exists = containsKey(params);
  SecExpected<SecDictionary> query = baseQuery(params);
  if (!query) return Status(query.error().status);
  const SecBytes data = Utf8Bytes(value);
  if (exists.has_value() && exists.value()) {
    OSStatus updated = keychain_->Update(*query, SecDictionary{{kSecValueData, data}});
    if (updated == errSecSuccess) return Status(errSecSuccess);
    // Refused because the device is locked: starting afresh would delete
    // the item and then fail to add it back.
    if (updated == errSecInteractionNotAllowed) return Status(updated);
    // The item could not be changed in place (its other variant, or
    // attributes that differ): start it afresh.
    deleteItem(params);
  }
  SecDictionary add = std::move(*query);
  add[kSecValueData] = data;
  return Status(keychain_->Add(add));
}

FlutterSecureStorageResponse FlutterSecureStorage::deleteItem(
    const KeychainQueryParameters& params) const {
  FlutterSecureStorageResponse deleted = performDelete(params, /*clearKey=*/false);
  if (deleted.status != errSecSuccess) return deleted;
  if (params.enclave() && params.key) {
    KeychainQueryParameters wrapped = params;
    wrapped.key = kWrappedKeyAccountPrefix + *params.key;
    return performDelete(wrapped, /*clearKey=*/false);
  }
  return Status(errSecSuccess);
}

FlutterSecureStorageResponse FlutterSecureStorage::performDelete(
    const KeychainQueryParameters& params, bool clearKey) const {
  OSStatus statuses[2] = {errSecSuccess, errSecSuccess};
  for (int i = 0; i < 2; ++i) {
    KeychainQueryParameters copy = params;
    if (clearKey) copy.key.reset();
    copy.isSynchronizable = i == 0;
    copy.accessibilityLevel.reset();
    copy.accessControlFlags.reset();
    SecExpected<SecDictionary> query = baseQuery(copy);
    if (!query) return Status(query.error().status);
    statuses[i] = keychain_->Delete(*query);
  }
  const OSStatus s1 = statuses[0], s2 = statuses[1];
  if (s1 == errSecItemNotFound && s2 == errSecItemNotFound) return Status(errSecSuccess);
  if (s1 != errSecSuccess && s2 != errSecSuccess) {
    return Status(s1 == errSecItemNotFound ? s2 : s1);
  }
  return Status(errSecSuccess);
}

FlutterSecureStorageResponse FlutterSecureStorage::readAll(
    const KeychainQueryParameters& params) const {
  SecExpected<SecDictionary> query = baseQuery(params);
  if (!query) return Status(query.error().status);
  (*query)[kSecMatchLimit] = std::string(kSecMatchLimitAll);
  (*query)[kSecReturnAttributes] = true;
  (*query)[kSecReturnData] = true;
  SecResult result;
  OSStatus status = keychain_->CopyMatching(*query, &result);
  if (status == errSecItemNotFound) return Status(errSecSuccess);
  if (status != errSecSuccess) return Status(status);

  FlutterSecureStorageResponse::Map values;
  if (const auto* items = std::get_if<std::vector<SecDictionary>>(&result)) {
    const std::string_view wrapped_prefix = kWrappedKeyAccountPrefix;
    for (const SecDictionary& item : *items) {
      auto account_it = item.find(kSecAttrAccount);
      if (account_it == item.end()) continue;
      const std::string* account = std::get_if<std::string>(&account_it->second);
      if (!account || account->starts_with(wrapped_prefix)) continue;

      if (params.enclave()) {
        KeychainQueryParameters one = params;
        one.key = *account;
        FlutterSecureStorageResponse decrypted = readEncrypted(one);
        if (decrypted.status == errSecSuccess) {
          if (auto* text = std::get_if<std::string>(&decrypted.value)) {
            values[*account] = *text;
            continue;
          }
        }
      }
      // The item's own bytes as text (for enclave values: what could not
      // be decrypted).
      auto data_it = item.find(kSecValueData);
      if (data_it == item.end()) continue;
      const SecBytes* data = std::get_if<SecBytes>(&data_it->second);
      if (!data) continue;
      if (std::optional<std::string> text = DecodeUtf8Text(*data)) values[*account] = *text;
    }
  }
  return {errSecSuccess, std::move(values)};
}

}  // namespace kelvo
