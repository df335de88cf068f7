// Values protected by an enclave key: the key itself, wrapping of the
// per-value AES key, and the encrypted read and write.
#include "services/secure_storage/flutter_secure_storage.h"
#include "services/secure_storage/utf8_text.h"

namespace kelvo {
namespace {

constexpr SecKeyAlgorithm kEcies = SecKeyAlgorithm::kECIESEncryptionCofactorX963SHA256AESGCM;

// The locked status passes through; any other failure becomes `otherwise`.
OSStatus LockedOr(OSStatus status, OSStatus otherwise) {
  return status == errSecInteractionNotAllowed ? status : otherwise;
}

std::optional<std::string> Described(const std::string& error) {
  if (error.empty()) return std::nullopt;
  return error;
}

}  // namespace

CryptoBytes FlutterSecureStorage::enclaveKeyTag(const std::optional<std::string>& service) {
  std::string tag = std::string(kEnclaveKeyTagPrefix) + service.value_or(kDefaultEnclaveService);
  return CryptoBytes(tag.begin(), tag.end());
}

SecExpected<SecPrivateKeyRef> FlutterSecureStorage::ensureEnclavePrivateKey(
    const std::optional<std::string>& service) const {
  const CryptoBytes tag = enclaveKeyTag(service);
  SecPrivateKeyRef key;
  const OSStatus found = enclave_->CopyKey(tag, &key);
  if (found == errSecSuccess && key) return key;
  // A key that exists but may not be used now (the session or the store
  // holding it is locked) must not be shadowed by a new one.
  if (found == errSecInteractionNotAllowed) return MakeUnexpected(OSSecError{found, std::nullopt});
  // Without its access control the key is still created, as the platform
  // leaves the attribute out when it cannot make one.
  SecAccessControlRef access = SecAccessControlCreateWithFlags(
      kSecAttrAccessibleWhenUnlockedThisDeviceOnly, kSecAccessControlPrivateKeyUsage, nullptr);
  std::string error;
  key = enclave_->CreateRandomKey(tag, access, &error);
  if (!key) return MakeUnexpected(OSSecError{errSecParam, Described(error)});
  return key;
}

SecExpected<CryptoBytes> FlutterSecureStorage::wrapSymmetricKey(std::span<const uint8_t> key,
                                                                const SecPublicKey& publicKey) {
  if (!publicKey.IsAlgorithmSupported(SecKeyOperationType::kEncrypt, kEcies)) {
    return MakeUnexpected(OSSecError{errSecUnimplemented, "ECIES not supported for encryption"});
  }
  std::string error;
  std::optional<CryptoBytes> wrapped = publicKey.CreateEncryptedData(kEcies, key, &error);
  if (!wrapped) return MakeUnexpected(OSSecError{errSecParam, Described(error)});
  return std::move(*wrapped);
}

SecExpected<CryptoBytes> FlutterSecureStorage::unwrapSymmetricKey(
    std::span<const uint8_t> wrapped, const SecPrivateKey& privateKey) {
  if (!privateKey.IsAlgorithmSupported(SecKeyOperationType::kDecrypt, kEcies)) {
    return MakeUnexpected(OSSecError{errSecUnimplemented, "ECIES not supported for decryption"});
  }
  std::string error;
  std::optional<CryptoBytes> key = privateKey.CreateDecryptedData(kEcies, wrapped, &error);
  if (!key) return MakeUnexpected(OSSecError{errSecAuthFailed, Described(error)});
  return std::move(*key);
}

void FlutterSecureStorage::deleteEnclavePrivateKey(
    const std::optional<std::string>& service) const {
  enclave_->DeleteKey(enclaveKeyTag(service));
}

SecExpected<SecDictionary> FlutterSecureStorage::wrappedKeyQuery(
    const KeychainQueryParameters& params, const std::string& account, bool returnData) const {
  KeychainQueryParameters copy = params;
  copy.shouldReturnData = returnData;
  copy.isSynchronizable = false;
  SecExpected<SecDictionary> query = baseQuery(copy);
  if (query) (*query)[kSecAttrAccount] = kWrappedKeyAccountPrefix + account;
  return query;
}

OSStatus FlutterSecureStorage::upsert(const KeychainQueryParameters& presence,
                                      SecDictionary query, const SecBytes& data) const {
  SecExpected<bool> exists = containsKey(presence);
  if (exists.has_value() && exists.value()) {
    // The update finds the item by its attributes; the new data go in the
    // changes only.
    return keychain_->Update(query, SecDictionary{{kSecValueData, data}});
  }
  query[kSecValueData] = data;
  return keychain_->Add(query);
}

FlutterSecureStorageResponse FlutterSecureStorage::writeEncrypted(
    const KeychainQueryParameters& params, const std::string& value) const {
  if (!params.key) return StatusResponse(errSecParam);
  const std::string& key = *params.key;

  SecExpected<SecPrivateKeyRef> privateKey = ensureEnclavePrivateKey(params.service);
  if (!privateKey) return StatusResponse(LockedOr(privateKey.error().status, errSecParam));
  SecPublicKeyRef publicKey = (*privateKey)->CopyPublicKey();
  if (!publicKey) return StatusResponse(errSecParam);

  std::optional<CryptoBytes> aesKey = AesGcmRandomKey();
  std::optional<CryptoBytes> nonce = AesGcmRandomNonce();
  if (!aesKey || !nonce) return StatusResponse(errSecParam);
  std::span<const uint8_t> plaintext(reinterpret_cast<const uint8_t*>(value.data()), value.size());
  std::optional<AesGcmSealedBox> sealed = AesGcmSeal(*aesKey, *nonce, plaintext);
  if (!sealed) return StatusResponse(errSecParam);
  SecBytes stored = sealed->nonce;
  stored.insert(stored.end(), sealed->ciphertext.begin(), sealed->ciphertext.end());
  stored.insert(stored.end(), sealed->tag.begin(), sealed->tag.end());

  SecExpected<CryptoBytes> wrapped = wrapSymmetricKey(*aesKey, *publicKey);
  if (!wrapped) return StatusResponse(errSecParam);

  KeychainQueryParameters wrappedItem = params;
  wrappedItem.key = kWrappedKeyAccountPrefix + key;
  wrappedItem.shouldReturnData = false;
  wrappedItem.isSynchronizable = false;
  SecExpected<SecDictionary> wrappedQuery = baseQuery(wrappedItem);
  if (!wrappedQuery) return StatusResponse(wrappedQuery.error().status);
  // One lookup of the earlier wrapped key says whether the new one is an
  // update or an add, and keeps it aside: should the value's write fail, it
  // goes back, so the old value still opens instead of being lost.
  bool wrappedFound = false;
  std::optional<SecBytes> earlierWrapped;
  if (SecExpected<SecDictionary> copyQuery = wrappedKeyQuery(params, key, true)) {
    SecResult earlier;
    wrappedFound = keychain_->CopyMatching(*copyQuery, &earlier) == errSecSuccess;
    if (const SecBytes* bytes = std::get_if<SecBytes>(&earlier)) earlierWrapped = *bytes;
  }
  OSStatus status;
  if (wrappedFound) {
    status = keychain_->Update(*wrappedQuery, SecDictionary{{kSecValueData, *wrapped}});
  } else {
    SecDictionary added = *wrappedQuery;
    added[kSecValueData] = *wrapped;
    status = keychain_->Add(added);
  }
  if (status != errSecSuccess) return StatusResponse(status);

  KeychainQueryParameters valueItem = params;
  valueItem.shouldReturnData = false;
  SecExpected<SecDictionary> valueQuery = baseQuery(valueItem);
  if (!valueQuery) return StatusResponse(valueQuery.error().status);
  // Presence of the caller's own record; a refused update is reported as
  // it is, without the delete-and-add repair of plain values.
  status = upsert(params, std::move(*valueQuery), stored);
  if (status != errSecSuccess && earlierWrapped) {
    keychain_->Update(*wrappedQuery, SecDictionary{{kSecValueData, *earlierWrapped}});
  }
  return StatusResponse(status);
}

FlutterSecureStorageResponse FlutterSecureStorage::readEncrypted(
    const KeychainQueryParameters& params) const {
  if (!params.key) return StatusResponse(errSecParam);

  SecExpected<SecDictionary> wrappedQuery = wrappedKeyQuery(params, *params.key, true);
  if (!wrappedQuery) return StatusResponse(wrappedQuery.error().status);
  SecResult wrappedResult;
  OSStatus status = keychain_->CopyMatching(*wrappedQuery, &wrappedResult);
  if (status == errSecItemNotFound) return StatusResponse(errSecSuccess);
  if (status != errSecSuccess) return StatusResponse(status);
  const SecBytes* wrapped = std::get_if<SecBytes>(&wrappedResult);
  if (!wrapped) return StatusResponse(errSecSuccess);

  KeychainQueryParameters valueItem = params;
  valueItem.shouldReturnData = true;
  SecExpected<SecDictionary> valueQuery = baseQuery(valueItem);
  if (!valueQuery) return StatusResponse(valueQuery.error().status);
  SecResult valueResult;
  status = keychain_->CopyMatching(*valueQuery, &valueResult);
  if (status == errSecItemNotFound) return StatusResponse(errSecSuccess);
  if (status != errSecSuccess) return StatusResponse(status);
  const SecBytes* stored = std::get_if<SecBytes>(&valueResult);
  if (!stored) return StatusResponse(errSecSuccess);

  auto plainFallback = [&] {
    KeychainQueryParameters plain = params;
    plain.useSecureEnclave = false;
    return readPlain(plain);
  };
  SecExpected<SecPrivateKeyRef> privateKey = ensureEnclavePrivateKey(params.service);
  if (!privateKey) {
    // Locked is an answer of its own: the plain fallback would hand out
    // the ciphertext's bytes as if they were the value.
    if (privateKey.error().status == errSecInteractionNotAllowed) {
      return StatusResponse(errSecInteractionNotAllowed);
    }
    return plainFallback();
  }
  SecExpected<CryptoBytes> aesKey = unwrapSymmetricKey(*wrapped, **privateKey);
  if (!aesKey) return plainFallback();

  if (stored->size() <= kAesGcmNonceSize) return StatusResponse(errSecDecode);
  AesGcmSealedBox box;
  box.nonce.assign(stored->begin(), stored->begin() + kAesGcmNonceSize);
  std::span<const uint8_t> rest(stored->data() + kAesGcmNonceSize,
                                stored->size() - kAesGcmNonceSize);
  const size_t tagSize = std::min(rest.size(), kAesGcmTagSize);
  box.tag.assign(rest.end() - tagSize, rest.end());
  box.ciphertext.assign(rest.begin(), rest.end() - tagSize);
  // A sealed box needs a whole tag; anything shorter is not one of ours.
  if (box.tag.size() != kAesGcmTagSize) return plainFallback();
  std::optional<CryptoBytes> plaintext = AesGcmOpen(*aesKey, box);
  if (!plaintext) return plainFallback();

  FlutterSecureStorageResponse response;
  if (std::optional<std::string> text = DecodeUtf8Text(*plaintext)) {
    response.value = std::move(*text);
  }
  return response;
}

}  // namespace kelvo
