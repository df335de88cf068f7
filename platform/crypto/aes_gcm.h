// AES-GCM as the system's crypto facility offers it: random 256-bit keys,
// random 12-byte nonces, sealing with a given nonce into ciphertext and a
// 16-byte tag, and opening a sealed box; and AesGcmKey for many operations
// under one key. On OpenSSL 3.
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

// A key made ready once for many seals and opens: the cipher is fetched and
// the key schedule computed when it is created, so an operation only sets
// its nonce. Outputs go to caller buffers, so nothing is copied on the way.
//
// Ownership: owns a copy of the key (wiped when destroyed). Movable.
// Threading: one operation at a time (callers hold their own lock).
class AesGcmKey {
 public:
  // Nothing for a key that is not 16, 24 or 32 bytes, or a library failure.
  static std::optional<AesGcmKey> Create(std::span<const uint8_t> key);
  ~AesGcmKey();
  AesGcmKey(AesGcmKey&& other) noexcept;
  AesGcmKey& operator=(AesGcmKey&&) = delete;
  AesGcmKey(const AesGcmKey&) = delete;
  AesGcmKey& operator=(const AesGcmKey&) = delete;

  // Seals `plaintext` into `ciphertext` (same size) and `tag` (16 bytes).
  bool Seal(std::span<const uint8_t> nonce, std::span<const uint8_t> plaintext,
            std::span<const uint8_t> aad, uint8_t* ciphertext, uint8_t* tag);
  // Opens into `plaintext` (the ciphertext's size); false when the tag does
  // not authenticate (then `plaintext` is wiped) or the sizes are wrong.
  bool Open(std::span<const uint8_t> nonce, std::span<const uint8_t> ciphertext,
            std::span<const uint8_t> tag, std::span<const uint8_t> aad, uint8_t* plaintext);

 private:
  struct Contexts;
  bool OpenShort(std::span<const uint8_t> nonce, std::span<const uint8_t> ciphertext,
                 std::span<const uint8_t> tag, std::span<const uint8_t> aad, uint8_t* plaintext);
  explicit AesGcmKey(Contexts* contexts) : contexts_(contexts) {}
  Contexts* contexts_;
};

}  // namespace kelvo
