// UTF-8 validation, as a strict decoder sees it: no overlong forms, no
// surrogates, nothing above U+10FFFF, no truncated sequences.
#pragma once

#include <cstdint>
#include <span>

namespace kelvo {

bool IsValidUtf8(std::span<const uint8_t> bytes);

}  // namespace kelvo
