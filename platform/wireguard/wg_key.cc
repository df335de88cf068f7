#include "platform/wireguard/wg_key.h"

#include <algorithm>

#include "platform/encoding/base64.h"
#include "platform/encoding/hex.h"

namespace kelvo {

std::optional<WireGuardKey> WireGuardKeyFromBase64(std::string_view text) {
  std::optional<std::vector<uint8_t>> bytes = Base64Decode(text, Base64Bits::kCanonical);
  if (!bytes || bytes->size() != kWireGuardKeySize) return std::nullopt;
  WireGuardKey key;
  std::copy(bytes->begin(), bytes->end(), key.begin());
  return key;
}

std::string WireGuardKeyToBase64(const WireGuardKey& key) { return Base64Encode(key); }

std::string WireGuardKeyToHex(const WireGuardKey& key) { return HexEncode(key); }

}  // namespace kelvo
