// The keychain layer of the secure storage service: a parameters record
// becomes keychain queries, and every stored value is one generic-password
// item (account = the storage key, service = the record's service, data =
// the value's UTF-8 bytes).
//
// With useSecureEnclave true, read, write, delete and readAll take the
// encrypted paths: the value item holds nonce (12 bytes) | ciphertext | tag
// (16 bytes) of AES-256-GCM under a fresh key per write, and the item
// "fss.wrapped." + key holds that key wrapped (ECIES) with the public half
// of an enclave key tagged "fss.enclave." + service.
//
// Failures are values: a response's status (0 success) or an OSSecError.
// A missing item is success for read (no value), delete and readAll (no
// value), and false for containsKey.
//
// Ownership: shares the keychain and the enclave with whoever made them.
// The object has no state of its own.
// Threading: every operation is synchronous and runs on the caller's thread;
// the service calls them one at a time from its serial queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/crypto/aes_gcm.h"
#include "platform/enclave/secure_enclave.h"
#include "platform/keychain/keychain.h"
#include "platform/wireguard/expected.h"
#include "services/secure_storage/keychain_query_parameters.h"

namespace kelvo {

template <typename T>
using SecExpected = Expected<T, OSSecError>;

inline constexpr const char* kWrappedKeyAccountPrefix = "fss.wrapped.";
inline constexpr const char* kEnclaveKeyTagPrefix = "fss.enclave.";
inline constexpr const char* kDefaultEnclaveService = "flutter_secure_storage_service";

class FlutterSecureStorage {
 public:
  // Where a failed access-control creation is reported; the default prints
  // the line to standard output.
  using LinePrinter = std::function<void(const std::string& line)>;

  FlutterSecureStorage(std::shared_ptr<Keychain> keychain, std::shared_ptr<SecureEnclave> enclave,
                       LinePrinter print = nullptr);

  // The query dictionary of a record (validated first).
  SecExpected<SecDictionary> baseQuery(const KeychainQueryParameters& params) const;
  // Whether the item exists, synchronizable or not. A failure carries the
  // keychain's status and no message.
  SecExpected<bool> containsKey(const KeychainQueryParameters& params) const;
  FlutterSecureStorageResponse read(const KeychainQueryParameters& params) const;
  FlutterSecureStorageResponse write(const KeychainQueryParameters& params,
                                     const std::string& value) const;
  // The channel's "delete" (a keyword in C++).
  FlutterSecureStorageResponse deleteItem(const KeychainQueryParameters& params) const;
  // Deletes both synchronizable variants; clearKey drops the account, so
  // every item of the service (and the other given attributes) goes.
  FlutterSecureStorageResponse performDelete(const KeychainQueryParameters& params,
                                             bool clearKey) const;
  // Map of account to text; no value when nothing matches.
  FlutterSecureStorageResponse readAll(const KeychainQueryParameters& params) const;

  // Status -50 with the rule's message, in the rules' order.
  static std::optional<OSSecError> validateQueryParameters(const KeychainQueryParameters& params);
  // A kSecAttrAccessible value; unknown or absent names give "unlocked".
  static std::string parseAccessibleAttr(const std::optional<std::string>& name);
  // "[userPresence, or, devicePasscode]" and the like; unknown tokens add
  // nothing.
  static SecAccessControlCreateFlags parseAccessControlFlags(const std::optional<std::string>& list);
  // Only with flags and an accessibility name; null otherwise or when the
  // combination is refused (then the reason is printed).
  SecAccessControlRef createAccessControl(const KeychainQueryParameters& params) const;

  // The enclave side.
  static CryptoBytes enclaveKeyTag(const std::optional<std::string>& service);
  // Found by its tag, else created.
  SecExpected<SecPrivateKeyRef> ensureEnclavePrivateKey(
      const std::optional<std::string>& service) const;
  static SecExpected<CryptoBytes> wrapSymmetricKey(std::span<const uint8_t> key,
                                                   const SecPublicKey& publicKey);
  static SecExpected<CryptoBytes> unwrapSymmetricKey(std::span<const uint8_t> wrapped,
                                                     const SecPrivateKey& privateKey);
  // The status is ignored: a key that is not there is already deleted.
  void deleteEnclavePrivateKey(const std::optional<std::string>& service) const;
  SecExpected<SecDictionary> wrappedKeyQuery(const KeychainQueryParameters& params,
                                             const std::string& account, bool returnData) const;

 private:
  FlutterSecureStorageResponse readPlain(const KeychainQueryParameters& params) const;
  FlutterSecureStorageResponse writePlain(const KeychainQueryParameters& params,
                                          const std::string& value) const;
  FlutterSecureStorageResponse readEncrypted(const KeychainQueryParameters& params) const;
  FlutterSecureStorageResponse writeEncrypted(const KeychainQueryParameters& params,
                                              const std::string& value) const;
  // Update when present, else add, with `data` as the item's data.
  OSStatus upsert(const KeychainQueryParameters& presence, SecDictionary query,
                  const SecBytes& data) const;

  const std::shared_ptr<Keychain> keychain_;
  const std::shared_ptr<SecureEnclave> enclave_;
  const LinePrinter print_;
};

}  // namespace kelvo
