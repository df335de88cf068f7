#include "platform/wireguard/endpoint.h"

#include <charconv>

#include "platform/wireguard/ip_address.h"

namespace kelvo {

namespace {

bool IsLabelChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

std::optional<uint16_t> ParsePort(std::string_view digits) {
  if (digits.empty() || digits.size() > 5) return std::nullopt;
  unsigned value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  if (value == 0 || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

}  // namespace

bool IsValidHostName(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  if (name.empty() || name.size() > 253) return false;
  bool numeric = true;
  size_t label_start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '.') {
      std::string_view label = name.substr(label_start, i - label_start);
      if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
        return false;
      }
      label_start = i + 1;
      continue;
    }
    if (!IsLabelChar(name[i])) return false;
    if (name[i] < '0' || name[i] > '9') numeric = false;
  }
  return !numeric;
}

std::optional<Endpoint> Endpoint::Parse(std::string_view text) {
  std::string_view host;
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      return std::nullopt;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    auto address = IPAddress::Parse(host);
    if (!address || address->family != IPAddress::Family::kV6) return std::nullopt;
  } else {
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    // An IPv6 literal needs brackets, or its last group would read as port.
    if (host.find(':') != std::string_view::npos) return std::nullopt;
    if (!IPAddress::Parse(host) && !IsValidHostName(host)) return std::nullopt;
  }
  auto port_value = ParsePort(port);
  if (!port_value) return std::nullopt;
  return Endpoint{std::string(host), *port_value};
}

std::string Endpoint::ToString() const {
  if (HostIsIPv6()) return "[" + host + "]:" + std::to_string(port);
  return host + ":" + std::to_string(port);
}

bool Endpoint::HostIsIPv6() const { return host.find(':') != std::string::npos; }

}  // namespace kelvo
