// WireGuard keys (Curve25519 private and public keys, preshared keys): 32
// raw bytes, written as Base64 in configuration text and as lower-case hex
// in the runtime (UAPI) text.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvo {

inline constexpr size_t kWireGuardKeySize = 32;
using WireGuardKey = std::array<uint8_t, kWireGuardKeySize>;

// Decodes canonical Base64 (44 characters, one '=' of padding) of exactly
// 32 bytes. Anything else, including non-canonical trailing bits, gives
// nullopt: two spellings of one key would defeat duplicate detection.
std::optional<WireGuardKey> WireGuardKeyFromBase64(std::string_view text);
std::string WireGuardKeyToBase64(const WireGuardKey& key);
std::string WireGuardKeyToHex(const WireGuardKey& key);

}  // namespace kelvo
