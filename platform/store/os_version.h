// Reading operating system versions ("12", "14.4", "15.0.1"). The version
// the store bridge tests comes from CurrentOperatingSystemVersion()
// (store_kit.h), which reads KELVO_OS_VERSION with this parser.
#pragma once

#include <optional>
#include <string_view>

#include "platform/store/store_kit.h"

namespace kelvo {

// One to three dot-separated decimal components, each 0..9999; anything
// else (empty parts, signs, spaces, letters) is nothing.
std::optional<OperatingSystemVersion> ParseOperatingSystemVersion(std::string_view text);

}  // namespace kelvo
