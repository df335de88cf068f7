#include "platform/wireguard/wg_key.h"

#include <openssl/evp.h>

namespace kelvo {

namespace {
constexpr size_t kBase64KeyLength = 44;  // 4 * ceil(32 / 3)
}  // namespace

std::optional<WireGuardKey> WireGuardKeyFromBase64(std::string_view text) {
  if (text.size() != kBase64KeyLength || text[kBase64KeyLength - 1] != '=' ||
      text[kBase64KeyLength - 2] == '=') {
    return std::nullopt;
  }
  // EVP_DecodeBlock decodes whole quanta and counts the padding as zero
  // bytes, so 44 characters give 33 bytes.
  unsigned char raw[kBase64KeyLength] = {};
  int n = EVP_DecodeBlock(raw, reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n != static_cast<int>(kWireGuardKeySize) + 1) return std::nullopt;
  WireGuardKey key;
  for (size_t i = 0; i < kWireGuardKeySize; ++i) key[i] = raw[i];
  // Re-encoding rejects stray bits in the last character and anything the
  // decoder skipped silently (it tolerates surrounding white space).
  if (WireGuardKeyToBase64(key) != text) return std::nullopt;
  return key;
}

std::string WireGuardKeyToBase64(const WireGuardKey& key) {
  unsigned char out[kBase64KeyLength + 1] = {};
  int n = EVP_EncodeBlock(out, key.data(), static_cast<int>(key.size()));
  return std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
}

std::string WireGuardKeyToHex(const WireGuardKey& key) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(key.size() * 2);
  for (uint8_t b : key) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0f]);
  }
  return out;
}

}  // namespace kelvo
