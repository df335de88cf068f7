// Base64 text (RFC 4648): the standard alphabet with "=" padding, and the
// URL alphabet without padding (JWS). Decoding never skips anything: no
// blanks, no line breaks, "=" only as final padding, the length right for
// the form. Plain functions, safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo {

enum class Base64Bits {
  // The unused bits of the last symbol must be zero, so that one text means
  // exactly one byte string and every byte string has one text.
  kCanonical,
  // They may be anything, as the platform's own decoder allows; for text
  // that comes from elsewhere and is only decoded (offer signatures).
  kAnyUnused,
};

std::string Base64Encode(std::span<const uint8_t> bytes);
std::string Base64Encode(std::string_view bytes);

// nullopt when `text` is not padded standard Base64 of that strictness.
std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text,
                                                 Base64Bits bits = Base64Bits::kCanonical);

// The URL alphabet ('-', '_') without padding; decoding is canonical.
std::string Base64UrlEncode(std::string_view bytes);
std::optional<std::string> Base64UrlDecode(std::string_view text);

}  // namespace kelvo
