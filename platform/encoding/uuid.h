// UUID text. Plain functions, safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelvo {

// The canonical (upper-case) form of UUID text: 32 hexadecimal digits in
// either case, grouped 8-4-4-4-12 by hyphens, nothing around them; nullopt
// for anything else.
std::optional<std::string> CanonicalUuid(std::string_view text);

}  // namespace kelvo
