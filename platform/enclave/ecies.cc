#include "platform/enclave/ecies.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/x509.h>

#include "platform/enclave/secure_enclave.h"

namespace kelvo {
namespace {

struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

constexpr uint8_t kZeroIv[16] = {};

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

// The ECDH shared secret (x coordinate) with cofactor multiplication.
// `peer` comes from P256PublicKeyFromPoint, which has checked it already.
std::optional<CryptoBytes> SharedSecret(EVP_PKEY* own, EVP_PKEY* peer) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, own, nullptr));
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_ecdh_cofactor_mode(ctx.get(), 1) != 1 ||
      EVP_PKEY_derive_set_peer_ex(ctx.get(), peer, /*validate_peer=*/0) != 1) {
    return std::nullopt;
  }
  size_t n = 0;
  if (EVP_PKEY_derive(ctx.get(), nullptr, &n) != 1) return std::nullopt;
  CryptoBytes secret(n);
  if (EVP_PKEY_derive(ctx.get(), secret.data(), &n) != 1) return std::nullopt;
  secret.resize(n);
  return secret;
}

// The AES key for a shared secret and the ephemeral point.
std::optional<CryptoBytes> MessageKey(EVP_PKEY* own, EVP_PKEY* peer,
                                      std::span<const uint8_t> ephemeral_point) {
  std::optional<CryptoBytes> secret = SharedSecret(own, peer);
  if (!secret) return std::nullopt;
  std::optional<CryptoBytes> key = X963KdfSha256(*secret, ephemeral_point, kEciesAesKeySize);
  OPENSSL_cleanse(secret->data(), secret->size());
  return key;
}

}  // namespace

EvpPkey GenerateP256Key() { return EvpPkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")); }

std::optional<CryptoBytes> P256PublicPoint(EVP_PKEY* key) {
  CryptoBytes point(kP256PointSize);
  size_t n = 0;
  if (key == nullptr ||
      EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(),
                                      &n) != 1 ||
      n != kP256PointSize || point[0] != 0x04) {
    return std::nullopt;
  }
  return point;
}

EvpPkey P256PublicKeyFromPoint(std::span<const uint8_t> point, std::string* error) {
  if (point.size() != kP256PointSize || point[0] != 0x04) {
    Fail(error, "not an uncompressed P-256 point of 65 bytes");
    return nullptr;
  }
  CryptoBytes copy(point.begin(), point.end());  // the parameter API takes non-const
  char group[] = "prime256v1";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, copy.data(), copy.size()),
      OSSL_PARAM_construct_end(),
  };
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* raw = nullptr;
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params) != 1) {
    Fail(error, "the point is not on the P-256 curve");
    return nullptr;
  }
  EvpPkey key(raw);
  PkeyCtx check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!check || EVP_PKEY_public_check(check.get()) != 1) {
    Fail(error, "the point is not on the P-256 curve");
    return nullptr;
  }
  return key;
}

std::optional<CryptoBytes> EncodePrivateKey(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  int n = i2d_PrivateKey(key, &der);
  if (n <= 0 || der == nullptr) return std::nullopt;
  CryptoBytes out(der, der + n);
  OPENSSL_clear_free(der, static_cast<size_t>(n));
  return out;
}

EvpPkey DecodePrivateKey(std::span<const uint8_t> der) {
  const unsigned char* p = der.data();
  EvpPkey key(d2i_PrivateKey(EVP_PKEY_EC, nullptr, &p, static_cast<long>(der.size())));
  if (!key || p != der.data() + der.size()) return nullptr;
  return key;
}

std::optional<CryptoBytes> X963KdfSha256(std::span<const uint8_t> secret,
                                         std::span<const uint8_t> shared_info, size_t length) {
  // Fetched once for the process: a fetch walks the provider tables.
  static EVP_KDF* const kdf = EVP_KDF_fetch(nullptr, "X963KDF", nullptr);
  if (kdf == nullptr) return std::nullopt;
  EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
  if (ctx == nullptr) return std::nullopt;
  CryptoBytes secret_copy(secret.begin(), secret.end());
  CryptoBytes info_copy(shared_info.begin(), shared_info.end());
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, secret_copy.data(),
                                        secret_copy.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info_copy.data(), info_copy.size()),
      OSSL_PARAM_construct_end(),
  };
  CryptoBytes out(length);
  int ok = EVP_KDF_derive(ctx, out.data(), out.size(), params);
  EVP_KDF_CTX_free(ctx);
  OPENSSL_cleanse(secret_copy.data(), secret_copy.size());
  if (ok != 1) return std::nullopt;
  return out;
}

std::optional<CryptoBytes> EciesEncryptWithEphemeral(EVP_PKEY* ephemeral,
                                                     std::span<const uint8_t> recipient_point,
                                                     std::span<const uint8_t> plaintext,
                                                     std::string* error) {
  EvpPkey recipient = P256PublicKeyFromPoint(recipient_point, error);
  if (!recipient) return std::nullopt;
  std::optional<CryptoBytes> ephemeral_point = P256PublicPoint(ephemeral);
  if (!ephemeral_point) {
    Fail(error, "no ephemeral key");
    return std::nullopt;
  }
  std::optional<CryptoBytes> key = MessageKey(ephemeral, recipient.get(), *ephemeral_point);
  if (!key) {
    Fail(error, "key agreement failed");
    return std::nullopt;
  }
  std::optional<AesGcmSealedBox> box = AesGcmSeal(*key, kZeroIv, plaintext);
  OPENSSL_cleanse(key->data(), key->size());
  if (!box) {
    Fail(error, "encryption failed");
    return std::nullopt;
  }
  CryptoBytes out = std::move(*ephemeral_point);
  out.insert(out.end(), box->ciphertext.begin(), box->ciphertext.end());
  out.insert(out.end(), box->tag.begin(), box->tag.end());
  return out;
}

std::optional<CryptoBytes> EciesDecryptWithAgreement(const EcdhAgreement& agree,
                                                     std::span<const uint8_t> message,
                                                     std::string* error) {
  if (message.size() < kP256PointSize + kAesGcmTagSize) {
    Fail(error, "the encrypted data are too short");
    return std::nullopt;
  }
  std::span<const uint8_t> point = message.first(kP256PointSize);
  EvpPkey ephemeral = P256PublicKeyFromPoint(point, error);
  if (!ephemeral) return std::nullopt;
  std::optional<CryptoBytes> secret = agree(ephemeral.get(), point);
  if (!secret) {
    Fail(error, "key agreement failed");
    return std::nullopt;
  }
  std::optional<CryptoBytes> key = X963KdfSha256(*secret, point, kEciesAesKeySize);
  OPENSSL_cleanse(secret->data(), secret->size());
  if (!key) {
    Fail(error, "key agreement failed");
    return std::nullopt;
  }
  std::span<const uint8_t> body = message.subspan(kP256PointSize);
  AesGcmSealedBox box{CryptoBytes(std::begin(kZeroIv), std::end(kZeroIv)),
                      CryptoBytes(body.begin(), body.end() - kAesGcmTagSize),
                      CryptoBytes(body.end() - kAesGcmTagSize, body.end())};
  std::optional<CryptoBytes> plaintext = AesGcmOpen(*key, box);
  OPENSSL_cleanse(key->data(), key->size());
  if (!plaintext) Fail(error, "the encrypted data could not be authenticated");
  return plaintext;
}

std::optional<CryptoBytes> EciesX963Sha256AesGcmDecrypt(EVP_PKEY* private_key,
                                                        std::span<const uint8_t> message,
                                                        std::string* error) {
  return EciesDecryptWithAgreement(
      [private_key](EVP_PKEY* ephemeral, std::span<const uint8_t>) {
        return SharedSecret(private_key, ephemeral);
      },
      message, error);
}

std::optional<CryptoBytes> EciesX963Sha256AesGcmEncrypt(std::span<const uint8_t> public_point,
                                                        std::span<const uint8_t> plaintext,
                                                        std::string* error) {
  EvpPkey ephemeral = GenerateP256Key();
  if (!ephemeral) {
    Fail(error, "cannot create an ephemeral key");
    return std::nullopt;
  }
  return EciesEncryptWithEphemeral(ephemeral.get(), public_point, plaintext, error);
}

}  // namespace kelvo
