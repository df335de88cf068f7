// AES-GCM as the system's crypto facility offers it: random 256-bit keys,
// random 12-byte nonces, sealing with a given nonce into ciphertext and a
// 16-byte tag, and opening a sealed box. On OpenSSL 3.
// Threading: free functions, safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kelvo {

using CryptoBytes = std::vector<uint8_t>;

inline constexpr size_t kAesGcmNonceSize = 12;
inline constexpr size_t kAesGcmTagSize = 16;

// Cryptographically random bytes; nothing when the generator fails.
std::optional<CryptoBytes> RandomBytes(size_t n);
// A random AES-256 key (32 bytes) and a random 12-byte nonce.
std::optional<CryptoBytes> AesGcmRandomKey();
std::optional<CryptoBytes> AesGcmRandomNonce();

struct AesGcmSealedBox {
  CryptoBytes nonce;
  CryptoBytes ciphertext;
  CryptoBytes tag;  // 16 bytes
};

// Seals `plaintext` under `key` (16, 24 or 32 bytes) and `nonce` (any
// non-empty length), with optional additional authenticated data.
// Nothing on a bad key or nonce size or a library failure.
std::optional<AesGcmSealedBox> AesGcmSeal(std::span<const uint8_t> key,
                                          std::span<const uint8_t> nonce,
                                          std::span<const uint8_t> plaintext,
                                          std::span<const uint8_t> aad = {});
// Opens a sealed box; nothing when the tag does not authenticate.
std::optional<CryptoBytes> AesGcmOpen(std::span<const uint8_t> key, const AesGcmSealedBox& box,
                                      std::span<const uint8_t> aad = {});

}  // namespace kelvo
