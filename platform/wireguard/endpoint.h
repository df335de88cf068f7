// A peer's endpoint as written in configuration text: "host:port",
// "192.0.2.1:51820" or "[2001:db8::1]:51820".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvo {

// A DNS name: labels of letters, digits, '-' and '_' (1..63 characters, not
// starting or ending with '-') separated by single dots, at most 253
// characters, optionally ending in one dot. A name made only of digits and
// dots is taken for a mistyped IPv4 address and refused.
bool IsValidHostName(std::string_view name);

struct Endpoint {
  std::string host;  // IPv6 literals without brackets
  uint16_t port = 0;

  // Host is an IPv4 literal, a DNS name, or an IPv6 literal in brackets;
  // the port is decimal 1..65535 (port 0 cannot be sent to).
  static std::optional<Endpoint> Parse(std::string_view text);
  // Brackets an IPv6 host again.
  std::string ToString() const;
  bool HostIsIPv6() const;

  bool operator==(const Endpoint&) const = default;
};

}  // namespace kelvo
