#include "platform/encoding/uuid.h"

#include "platform/encoding/hex.h"

namespace kelvo {

std::optional<std::string> CanonicalUuid(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  std::string out(text);
  for (size_t i = 0; i < out.size(); ++i) {
    char& c = out[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return std::nullopt;
      continue;
    }
    if (HexDigitValue(c) < 0) return std::nullopt;
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

}  // namespace kelvo
