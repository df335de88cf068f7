// Bytes as UTF-8 text, the way the keychain's data are read back: strict
// (no overlong forms, no surrogates, nothing above U+10FFFF, no truncated
// sequence), nothing for bytes that are not valid text.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kelvo {

std::optional<std::string> DecodeUtf8Text(std::span<const uint8_t> bytes);

}  // namespace kelvo
