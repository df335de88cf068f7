// IP addresses and address ranges (CIDR) as written in WireGuard
// configuration text: "10.0.0.2", "fd00::1", "10.0.0.0/8", "::/0".
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvo {

struct IPAddress {
  enum class Family : uint8_t { kV4, kV6 };

  Family family = Family::kV4;
  std::array<uint8_t, 16> bytes{};  // V4 uses the first 4

  // Strict textual forms only (inet_pton): dotted-quad decimal for IPv4,
  // RFC 4291 text for IPv6; no zone index, no surrounding blanks.
  static std::optional<IPAddress> Parse(std::string_view text);
  std::string ToString() const;
  uint8_t MaxPrefix() const { return family == Family::kV4 ? 32 : 128; }

  bool operator==(const IPAddress&) const = default;
};

struct IPAddressRange {
  IPAddress address;
  uint8_t prefix = 32;

  // "address" or "address/prefix" with prefix 0..32 (IPv4) or 0..128
  // (IPv6) in decimal; a missing prefix means a single host. Host bits
  // below the prefix are kept as written, as wg-quick does.
  static std::optional<IPAddressRange> Parse(std::string_view text);
  std::string ToString() const;  // always with "/prefix"

  bool operator==(const IPAddressRange&) const = default;
};

}  // namespace kelvo
