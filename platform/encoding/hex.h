// Hexadecimal digits and text. Plain functions, safe from any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kelvo {

// The value of one hexadecimal digit (either case), or -1.
int HexDigitValue(char c);

// Lower-case hexadecimal text of `bytes`, two digits a byte.
std::string HexEncode(std::span<const uint8_t> bytes);

}  // namespace kelvo
