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

#include <functional>
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

class MasterKeySource;  // platform/keychain/master_key_source.h

enum class EnclaveBackend { kTpm, kSoftware };

struct EnclaveOptions {
  // A tpm2-tss TCTI. Empty: KELVO_TPM_TCTI, else /dev/tpmrm0 when this
  // user may open it (on Debian: membership of the group tss).
  std::string tcti;
  // Never use a TPM.
  bool software_only = false;
  // Where the one-time remark about the fallback goes; null: standard
  // error.
  std::function<void(const std::string& line)> log;
};

// The enclave store of the keychain directory `directory`
// (enclave.sqlite3, 0600). New keys are made in the TPM when one can be
// opened: only the TPM's public area and wrapped private area are stored,
// and decryption's key agreement runs in the TPM. Without a TPM (said once
// through `log`), new keys are software P-256 keys sealed at rest under
// the keychain's master key. Lookups try the TPM's keys first, then the
// software keys (so keys made before a TPM was available stay usable), and
// a software key made while the TPM was away wins over the TPM's older key;
// keys of a TPM that is not there are not found. Deleting removes both
// kinds. `backend` (may be null) tells which one makes new keys.
std::unique_ptr<SecureEnclave> OpenSecureEnclaveAt(const std::string& directory,
                                                   std::shared_ptr<MasterKeySource> master_key,
                                                   const EnclaveOptions& options,
                                                   EnclaveBackend* backend, std::string* error);
// The user's enclave store beside the keychain, default options.
std::unique_ptr<SecureEnclave> OpenUserSecureEnclave(std::string* error);
// Software keys only, with the key file of `directory` (tests, benchmarks).
std::unique_ptr<SecureEnclave> OpenSecureEnclaveAt(const std::string& directory,
                                                   std::string* error);

// Public-key encryption without a store (tests, and the wrapper used by
// SecPublicKey): ECIES as above to a 65-byte uncompressed P-256 point.
std::optional<CryptoBytes> EciesX963Sha256AesGcmEncrypt(std::span<const uint8_t> public_point,
                                                        std::span<const uint8_t> plaintext,
                                                        std::string* error);

}  // namespace kelvo
