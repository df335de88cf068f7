// UTF-8 validation, as a strict decoder sees it: no overlong forms, no
// surrogates, nothing above U+10FFFF, no truncated sequences.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kelvo {

bool IsValidUtf8(std::span<const uint8_t> bytes);
inline bool IsValidUtf8(std::string_view text) {
  return IsValidUtf8(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

}  // namespace kelvo
