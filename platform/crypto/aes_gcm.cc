#include "platform/crypto/aes_gcm.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <memory>

namespace kelvo {
namespace {

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

const EVP_CIPHER* GcmFor(size_t key_size) {
  switch (key_size) {
    case 16:
      return EVP_aes_128_gcm();
    case 24:
      return EVP_aes_192_gcm();
    case 32:
      return EVP_aes_256_gcm();
    default:
      return nullptr;
  }
}

// OpenSSL counts in int; refuse anything it cannot take in one call.
bool FitsInt(size_t n) { return n <= static_cast<size_t>(INT_MAX); }

// Sets up `ctx` for `encrypt` with key, nonce and AAD; false on any failure.
bool Start(EVP_CIPHER_CTX* ctx, bool encrypt, std::span<const uint8_t> key,
           std::span<const uint8_t> nonce, std::span<const uint8_t> aad) {
  const EVP_CIPHER* cipher = GcmFor(key.size());
  if (cipher == nullptr || nonce.empty() || !FitsInt(nonce.size()) || !FitsInt(aad.size())) {
    return false;
  }
  if (EVP_CipherInit_ex(ctx, cipher, nullptr, nullptr, nullptr, encrypt ? 1 : 0) != 1) return false;
  if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(nonce.size()), nullptr) !=
      1) {
    return false;
  }
  if (EVP_CipherInit_ex(ctx, nullptr, nullptr, key.data(), nonce.data(), -1) != 1) return false;
  if (!aad.empty()) {
    int unused = 0;
    if (EVP_CipherUpdate(ctx, nullptr, &unused, aad.data(), static_cast<int>(aad.size())) != 1) {
      return false;
    }
  }
  return true;
}

// Runs the body through the cipher; GCM is a stream mode, so out has in's size.
bool Body(EVP_CIPHER_CTX* ctx, std::span<const uint8_t> in, CryptoBytes* out) {
  out->assign(in.size(), 0);
  if (in.empty()) return true;
  if (!FitsInt(in.size())) return false;
  int written = 0;
  if (EVP_CipherUpdate(ctx, out->data(), &written, in.data(), static_cast<int>(in.size())) != 1) {
    return false;
  }
  return static_cast<size_t>(written) == in.size();
}

}  // namespace

std::optional<CryptoBytes> RandomBytes(size_t n) {
  CryptoBytes out(n);
  if (n == 0) return out;
  if (!FitsInt(n) || RAND_bytes(out.data(), static_cast<int>(n)) != 1) return std::nullopt;
  return out;
}

std::optional<CryptoBytes> AesGcmRandomKey() { return RandomBytes(32); }

std::optional<CryptoBytes> AesGcmRandomNonce() { return RandomBytes(kAesGcmNonceSize); }

std::optional<AesGcmSealedBox> AesGcmSeal(std::span<const uint8_t> key,
                                          std::span<const uint8_t> nonce,
                                          std::span<const uint8_t> plaintext,
                                          std::span<const uint8_t> aad) {
  CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  if (!ctx || !Start(ctx.get(), true, key, nonce, aad)) return std::nullopt;
  AesGcmSealedBox box;
  box.nonce.assign(nonce.begin(), nonce.end());
  if (!Body(ctx.get(), plaintext, &box.ciphertext)) return std::nullopt;
  int unused = 0;
  uint8_t tail[16];
  if (EVP_CipherFinal_ex(ctx.get(), tail, &unused) != 1) return std::nullopt;
  box.tag.assign(kAesGcmTagSize, 0);
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kAesGcmTagSize),
                          box.tag.data()) != 1) {
    return std::nullopt;
  }
  return box;
}

std::optional<CryptoBytes> AesGcmOpen(std::span<const uint8_t> key, const AesGcmSealedBox& box,
                                      std::span<const uint8_t> aad) {
  // A shortened tag would weaken authentication; only full tags are accepted.
  if (box.tag.size() != kAesGcmTagSize) return std::nullopt;
  CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  if (!ctx || !Start(ctx.get(), false, key, box.nonce, aad)) return std::nullopt;
  CryptoBytes plaintext;
  if (!Body(ctx.get(), box.ciphertext, &plaintext)) return std::nullopt;
  CryptoBytes tag = box.tag;  // the control call takes a non-const pointer
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(tag.size()),
                          tag.data()) != 1) {
    return std::nullopt;
  }
  int unused = 0;
  uint8_t tail[16];
  if (EVP_CipherFinal_ex(ctx.get(), tail, &unused) != 1) {
    OPENSSL_cleanse(plaintext.data(), plaintext.size());
    return std::nullopt;
  }
  return plaintext;
}

}  // namespace kelvo
