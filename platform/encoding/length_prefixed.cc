#include "platform/encoding/length_prefixed.h"

#include <cstring>

namespace kelvo {

void AppendLengthPrefixed(std::vector<uint8_t>* out, std::span<const uint8_t> field) {
  const uint32_t n = static_cast<uint32_t>(field.size());
  const uint8_t length[4] = {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                             static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
  // One resize and two copies: a keychain listing builds this for every item.
  const size_t at = out->size();
  out->resize(at + sizeof length + field.size());
  std::memcpy(out->data() + at, length, sizeof length);
  if (!field.empty()) std::memcpy(out->data() + at + sizeof length, field.data(), field.size());
}

void AppendLengthPrefixed(std::vector<uint8_t>* out, std::string_view field) {
  AppendLengthPrefixed(
      out, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(field.data()), field.size()));
}

}  // namespace kelvo
