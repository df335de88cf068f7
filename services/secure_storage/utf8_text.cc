#include "services/secure_storage/utf8_text.h"

#include "platform/engine/utf8.h"

namespace kelvo {

std::optional<std::string> DecodeUtf8Text(std::span<const uint8_t> bytes) {
  if (!IsValidUtf8(bytes)) return std::nullopt;
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace kelvo
