// Base64 (RFC 4648, standard alphabet, with padding) for the "$bytes" form
// of the JSON mapping. Decoding is strict: no blanks, no line breaks, the
// length a multiple of four and "=" only as final padding, so that one text
// means exactly one byte string.
// Threading: plain functions.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo {

std::string Base64Encode(std::span<const uint8_t> bytes);
// nullopt when `text` is not canonical base64.
std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text);

}  // namespace kelvo
