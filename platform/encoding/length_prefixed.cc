#include "platform/encoding/length_prefixed.h"

namespace kelvo {

void AppendLengthPrefixed(std::vector<uint8_t>* out, std::span<const uint8_t> field) {
  uint32_t n = static_cast<uint32_t>(field.size());
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<uint8_t>(n >> shift));
  out->insert(out->end(), field.begin(), field.end());
}

void AppendLengthPrefixed(std::vector<uint8_t>* out, std::string_view field) {
  AppendLengthPrefixed(
      out, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(field.data()), field.size()));
}

}  // namespace kelvo
