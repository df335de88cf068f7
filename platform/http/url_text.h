// Whether a text parses as an absolute URL (scheme and host), by libcurl's
// URL parser. An empty text, or one with blanks, does not.
#pragma once

#include <string>

namespace kelvo {

bool ParsesAsUrl(const std::string& text);

}  // namespace kelvo
