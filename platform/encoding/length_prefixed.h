// Fields joined into one byte string without ambiguity: each is written
// after its length as 4 bytes, big-endian. For what is bound into
// authenticated data, where "ab"+"c" must differ from "a"+"bc".
// Plain functions, safe from any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kelvo {

void AppendLengthPrefixed(std::vector<uint8_t>* out, std::span<const uint8_t> field);
void AppendLengthPrefixed(std::vector<uint8_t>* out, std::string_view field);

}  // namespace kelvo
