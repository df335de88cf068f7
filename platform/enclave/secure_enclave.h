// A store of non-exportable P-256 keys that stands in for the Secure
// Enclave: keys are created and used inside the store, found again by
// their application tag, and no interface hands out a private key's bytes.
//
// Algorithm: kSecKeyAlgorithmECIESEncryptionCofactorX963SHA256AESGCM as the
// system documents it: a fresh ephemeral P-256 key, ECDH with cofactor,
// X9.63 KDF with SHA-256 over the shared secret with the ephemeral public
// key (65 bytes, uncompressed) as shared info giving a 16-byte AES key,
// AES-GCM with an all-zero 16-byte IV; output = ephemeral public key,
// ciphertext, 16-byte tag.
//
// Threading: every method may be called from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/crypto/aes_gcm.h"
#include "platform/keychain/keychain.h"

namespace kelvo {

enum class SecKeyAlgorithm { kECIESEncryptionCofactorX963SHA256AESGCM, kOther };
enum class SecKeyOperationType { kEncrypt, kDecrypt };

class SecPublicKey {
 public:
  virtual ~SecPublicKey() = default;
  virtual bool IsAlgorithmSupported(SecKeyOperationType op, SecKeyAlgorithm algorithm) const = 0;
  // SecKeyCreateEncryptedData: nothing with `error` set on failure.
  virtual std::optional<CryptoBytes> CreateEncryptedData(SecKeyAlgorithm algorithm,
                                                         std::span<const uint8_t> plaintext,
                                                         std::string* error) const = 0;
  // The 65-byte uncompressed point (public keys may be exported).
  virtual CryptoBytes ExternalRepresentation() const = 0;
};
using SecPublicKeyRef = std::shared_ptr<const SecPublicKey>;

class SecPrivateKey {
 public:
  virtual ~SecPrivateKey() = default;
  virtual SecPublicKeyRef CopyPublicKey() const = 0;
  virtual bool IsAlgorithmSupported(SecKeyOperationType op, SecKeyAlgorithm algorithm) const = 0;
  // SecKeyCreateDecryptedData: nothing with `error` set on failure.
  virtual std::optional<CryptoBytes> CreateDecryptedData(SecKeyAlgorithm algorithm,
                                                         std::span<const uint8_t> ciphertext,
                                                         std::string* error) const = 0;
};
using SecPrivateKeyRef = std::shared_ptr<const SecPrivateKey>;

class SecureEnclave {
 public:
  virtual ~SecureEnclave() = default;
  // SecItemCopyMatching for class key, type EC P-256, the tag, return ref:
  // errSecSuccess with `key` set, or errSecItemNotFound.
  virtual OSStatus CopyKey(const CryptoBytes& application_tag, SecPrivateKeyRef* key) = 0;
  // SecKeyCreateRandomKey of a permanent P-256 key under `application_tag`
  // with optional access control: null with `error` set on failure.
  virtual SecPrivateKeyRef CreateRandomKey(const CryptoBytes& application_tag,
                                           const SecAccessControlRef& access_control,
                                           std::string* error) = 0;
  // SecItemDelete of every key under the tag: errSecSuccess or
  // errSecItemNotFound.
  virtual OSStatus DeleteKey(const CryptoBytes& application_tag) = 0;
};

// The user's enclave store beside the keychain
// (`<XDG_DATA_HOME>/kelvo/keychain/enclave.sqlite3`, 0600; private keys
// sealed at rest under the keychain's master key).
std::unique_ptr<SecureEnclave> OpenUserSecureEnclave(std::string* error);
std::unique_ptr<SecureEnclave> OpenSecureEnclaveAt(const std::string& directory,
                                                   std::string* error);

// Public-key encryption without a store (tests, and the wrapper used by
// SecPublicKey): ECIES as above to a 65-byte uncompressed P-256 point.
std::optional<CryptoBytes> EciesX963Sha256AesGcmEncrypt(std::span<const uint8_t> public_point,
                                                        std::span<const uint8_t> plaintext,
                                                        std::string* error);

}  // namespace kelvo
