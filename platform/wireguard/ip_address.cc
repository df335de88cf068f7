#include "platform/wireguard/ip_address.h"

#include <arpa/inet.h>

#include <charconv>

namespace kelvo {

std::optional<IPAddress> IPAddress::Parse(std::string_view text) {
  // inet_pton needs a terminated string; the longest valid IPv6 text
  // (with an embedded IPv4 tail) is 45 characters.
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return std::nullopt;
  char buf[INET6_ADDRSTRLEN] = {};
  text.copy(buf, text.size());
  IPAddress out;
  if (inet_pton(AF_INET, buf, out.bytes.data()) == 1) {
    out.family = Family::kV4;
    return out;
  }
  if (inet_pton(AF_INET6, buf, out.bytes.data()) == 1) {
    out.family = Family::kV6;
    return out;
  }
  return std::nullopt;
}

std::string IPAddress::ToString() const {
  char buf[INET6_ADDRSTRLEN] = {};
  inet_ntop(family == Family::kV4 ? AF_INET : AF_INET6, bytes.data(), buf, sizeof buf);
  return buf;
}

std::optional<IPAddressRange> IPAddressRange::Parse(std::string_view text) {
  size_t slash = text.find('/');
  auto address = IPAddress::Parse(text.substr(0, slash));
  if (!address) return std::nullopt;
  IPAddressRange out{*address, address->MaxPrefix()};
  if (slash == std::string_view::npos) return out;
  std::string_view digits = text.substr(slash + 1);
  // Up to three decimal digits, nothing else (no sign, no blanks).
  if (digits.empty() || digits.size() > 3) return std::nullopt;
  unsigned value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  if (value > address->MaxPrefix()) return std::nullopt;
  out.prefix = static_cast<uint8_t>(value);
  return out;
}

std::string IPAddressRange::ToString() const {
  return address.ToString() + "/" + std::to_string(prefix);
}

}  // namespace kelvo
