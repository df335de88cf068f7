#include "platform/netlink/netlink.h"

#include <arpa/inet.h>

#include <charconv>

namespace kelvo {

NetPrefix NetPrefix::Masked() const {
  NetPrefix out = *this;
  for (size_t i = 0; i < out.address.size(); ++i) {
    const size_t first_bit = i * 8;
    if (i >= AddressSize() || first_bit >= length) {
      out.address[i] = 0;
    } else if (length - first_bit < 8) {
      out.address[i] &= static_cast<uint8_t>(0xff << (8 - (length - first_bit)));
    }
  }
  return out;
}

std::string NetPrefix::ToString() const {
  char buf[INET6_ADDRSTRLEN] = {};
  inet_ntop(family, address.data(), buf, sizeof buf);
  return std::string(buf) + "/" + std::to_string(length);
}

std::string TableRoute::ToString() const {
  return destination.ToString() +
         (blackhole ? std::string(" blackhole") : " dev " + std::to_string(link_index)) +
         " table " + std::to_string(table);
}

std::string FibRule::ToString() const {
  std::string out = family == AF_INET ? "-4" : "-6";
  if (fwmark) out += std::string(invert ? " not" : "") + " fwmark " + std::to_string(*fwmark);
  out += " table " + std::to_string(table);
  if (suppress_prefixlength) {
    out += " suppress_prefixlength " + std::to_string(*suppress_prefixlength);
  }
  return out;
}

std::optional<NetPrefix> NetPrefix::Parse(const std::string& text) {
  const size_t slash = text.find('/');
  const std::string host = text.substr(0, slash);
  NetPrefix out;
  if (inet_pton(AF_INET, host.c_str(), out.address.data()) == 1) {
    out.family = AF_INET;
  } else if (inet_pton(AF_INET6, host.c_str(), out.address.data()) == 1) {
    out.family = AF_INET6;
  } else {
    return std::nullopt;
  }
  out.length = out.MaxLength();
  if (slash == std::string::npos) return out;
  const std::string digits = text.substr(slash + 1);
  unsigned value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() ||
      value > out.MaxLength()) {
    return std::nullopt;
  }
  out.length = static_cast<uint8_t>(value);
  return out;
}

}  // namespace kelvo
