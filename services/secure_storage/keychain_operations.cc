// The plain keychain operations: presence, read, write, delete, delete of
// both synchronizable variants, and read-all.
#include "services/secure_storage/flutter_secure_storage.h"
#include "platform/engine/utf8.h"
#include "services/secure_storage/utf8_text.h"

namespace kelvo {
namespace {

SecBytes Utf8Bytes(const std::string& value) { return SecBytes(value.begin(), value.end()); }

}  // namespace

SecExpected<bool> FlutterSecureStorage::containsKey(const KeychainQueryParameters& params) const {
  // A key stored either way counts. Asking for synchronizable, then for
  // local items, is one search for both kinds: the same answers and
  // statuses for one indexed lookup, and no data read.
  KeychainQueryParameters copy = params;
  copy.isSynchronizable = true;
  copy.shouldReturnData = false;
  SecExpected<SecDictionary> query = baseQuery(copy);
  if (!query) return MakeUnexpected(OSSecError{query.error().status, std::nullopt});
  // Without the attribute (access control, enclave values) both searches
  // would be the same local one.
  if (auto it = query->find(kSecAttrSynchronizable); it != query->end()) {
    it->second = std::string(kSecAttrSynchronizableAny);
  }
  OSStatus status = keychain_->CopyMatching(*query, nullptr);
  if (status == errSecSuccess) return true;
  if (status == errSecItemNotFound) return false;
  return MakeUnexpected(OSSecError{status, std::nullopt});
}

FlutterSecureStorageResponse FlutterSecureStorage::read(
    const KeychainQueryParameters& params) const {
  return params.enclave() ? readEncrypted(params) : readPlain(params);
}

FlutterSecureStorageResponse FlutterSecureStorage::readPlain(
    const KeychainQueryParameters& params) const {
  SecExpected<SecDictionary> query = baseQuery(params);
  if (!query) return StatusResponse(query.error().status);
  SecResult result;
  OSStatus status = keychain_->CopyMatching(*query, &result);
  if (status == errSecItemNotFound) return StatusResponse(errSecSuccess);
  if (status != errSecSuccess) return StatusResponse(status);
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
  if (!query) return StatusResponse(query.error().status);
  const SecBytes data = Utf8Bytes(value);
  if (exists.has_value() && exists.value()) {
    OSStatus updated = keychain_->Update(*query, SecDictionary{{kSecValueData, data}});
    if (updated == errSecSuccess) return StatusResponse(errSecSuccess);
    // Refused because the device is locked: starting afresh would delete
    // the item and then fail to add it back.
    if (updated == errSecInteractionNotAllowed) return StatusResponse(updated);
    // The item could not be changed in place (its other variant, or
    // attributes that differ): start it afresh.
    deleteItem(params);
  }
  SecDictionary add = std::move(*query);
  add[kSecValueData] = data;
  return StatusResponse(keychain_->Add(add));
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
  return StatusResponse(errSecSuccess);
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
    if (!query) return StatusResponse(query.error().status);
    statuses[i] = keychain_->Delete(*query);
  }
  const OSStatus s1 = statuses[0], s2 = statuses[1];
  if (s1 == errSecItemNotFound && s2 == errSecItemNotFound) return StatusResponse(errSecSuccess);
  if (s1 != errSecSuccess && s2 != errSecSuccess) {
    return StatusResponse(s1 == errSecItemNotFound ? s2 : s1);
  }
  return StatusResponse(errSecSuccess);
}

FlutterSecureStorageResponse FlutterSecureStorage::readAll(
    const KeychainQueryParameters& params) const {
  SecExpected<SecDictionary> query = baseQuery(params);
  if (!query) return StatusResponse(query.error().status);
  (*query)[kSecMatchLimit] = std::string(kSecMatchLimitAll);
  (*query)[kSecReturnAttributes] = true;
  (*query)[kSecReturnData] = true;

  // Plain values go from the keychain's buffer straight into the map; enclave
  // values are decrypted after the search, which must not call the keychain.
  FlutterSecureStorageResponse::Map values;
  std::vector<std::pair<std::string, SecBytes>> sealed;
  const std::string_view wrapped_prefix = kWrappedKeyAccountPrefix;
  OSStatus status = keychain_->CopyMatchingEach(*query, [&](const SecItemView& item) {
    if (!item.account || item.account->starts_with(wrapped_prefix)) return;
    if (params.enclave()) {
      sealed.emplace_back(*item.account, SecBytes(item.data.begin(), item.data.end()));
    } else if (IsValidUtf8(item.data)) {
      // A later item with the same account replaces the earlier value.
      values.insert_or_assign(std::string(*item.account),
                              std::string(item.data.begin(), item.data.end()));
    }
  });
  if (status == errSecItemNotFound) return StatusResponse(errSecSuccess);
  if (status != errSecSuccess) return StatusResponse(status);

  for (auto& [account, data] : sealed) {
    KeychainQueryParameters one = params;
    one.key = account;
    FlutterSecureStorageResponse decrypted = readEncrypted(one);
    if (decrypted.status == errSecSuccess) {
      if (auto* text = std::get_if<std::string>(&decrypted.value)) {
        values.insert_or_assign(account, std::move(*text));
        continue;
      }
    }
    // What could not be decrypted, as the item's own bytes when they are text.
    if (std::optional<std::string> text = DecodeUtf8Text(data)) {
      values.insert_or_assign(account, std::move(*text));
    }
  }
  return {errSecSuccess, std::move(values)};
}

}  // namespace kelvo
