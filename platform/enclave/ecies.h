// P-256 keys and ECIES with cofactor ECDH, the X9.63 KDF (SHA-256) and
// AES-GCM, on OpenSSL 3. Internal to the enclave layer.
//
// Threading: free functions, safe from any thread; an EVP_PKEY may be used
// by several threads at once for these read-only operations.
#pragma once

#include <openssl/evp.h>

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/crypto/aes_gcm.h"

namespace kelvo {

struct EvpPkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using EvpPkey = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;

inline constexpr size_t kP256PointSize = 65;  // 0x04 || x || y
inline constexpr size_t kEciesAesKeySize = 16;

// A fresh P-256 key pair; null on failure.
EvpPkey GenerateP256Key();
// The uncompressed public point of a P-256 key.
std::optional<CryptoBytes> P256PublicPoint(EVP_PKEY* key);
// A public key from an uncompressed point, checked to lie on the curve.
EvpPkey P256PublicKeyFromPoint(std::span<const uint8_t> point, std::string* error);

// The private key as DER, for sealing at rest, and back. Callers wipe the
// bytes after use.
std::optional<CryptoBytes> EncodePrivateKey(EVP_PKEY* key);
EvpPkey DecodePrivateKey(std::span<const uint8_t> der);

// ANSI X9.63 key derivation with SHA-256.
std::optional<CryptoBytes> X963KdfSha256(std::span<const uint8_t> secret,
                                         std::span<const uint8_t> shared_info, size_t length);

// ECIES encryption with a given ephemeral key (known-answer tests); the
// public EciesX963Sha256AesGcmEncrypt draws a fresh one.
std::optional<CryptoBytes> EciesEncryptWithEphemeral(EVP_PKEY* ephemeral,
                                                     std::span<const uint8_t> recipient_point,
                                                     std::span<const uint8_t> plaintext,
                                                     std::string* error);
// ECIES decryption of ephemeral point || ciphertext || tag, with the ECDH
// done by `agree` (given the checked ephemeral key and its point; answers
// the shared x coordinate), so a key held in hardware can do its part.
using EcdhAgreement =
    std::function<std::optional<CryptoBytes>(EVP_PKEY* ephemeral, std::span<const uint8_t> point)>;
std::optional<CryptoBytes> EciesDecryptWithAgreement(const EcdhAgreement& agree,
                                                     std::span<const uint8_t> message,
                                                     std::string* error);
// ECIES decryption of ephemeral point || ciphertext || tag.
std::optional<CryptoBytes> EciesX963Sha256AesGcmDecrypt(EVP_PKEY* private_key,
                                                        std::span<const uint8_t> message,
                                                        std::string* error);

}  // namespace kelvo
