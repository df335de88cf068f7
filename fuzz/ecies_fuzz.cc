// Decrypts arbitrary bytes as an ECIES message for a fixed P-256 key: any
// input gives plaintext or an error text, never a crash. A message that
// opens must be one this key's public half could have produced, so its
// length is point + plaintext + tag.
#include <cstdlib>

#include "platform/enclave/ecies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelvo;
  static EVP_PKEY* key = GenerateP256Key().release();
  std::string error;
  std::optional<CryptoBytes> plain =
      EciesX963Sha256AesGcmDecrypt(key, std::span<const uint8_t>(data, size), &error);
  if (plain && plain->size() + kP256PointSize + kAesGcmTagSize != size) std::abort();
  if (!plain && error.empty()) std::abort();
  return 0;
}
