#include "platform/store/os_version.h"

#include <cstdio>
#include <cstdlib>
#include <tuple>

namespace kelvo {

bool OperatingSystemVersion::AtLeast(int major_, int minor_, int patch_) const {
  return std::tie(major, minor, patch) >= std::tie(major_, minor_, patch_);
}

std::optional<OperatingSystemVersion> ParseOperatingSystemVersion(std::string_view text) {
  int parts[3] = {0, 0, 0};
  int count = 0;
  size_t i = 0;
  while (true) {
    if (count == 3) return std::nullopt;
    size_t start = i;
    int value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (i - start >= 4) return std::nullopt;
      value = value * 10 + (text[i] - '0');
      ++i;
    }
    if (i == start) return std::nullopt;
    parts[count++] = value;
    if (i == text.size()) break;
    if (text[i] != '.') return std::nullopt;
    ++i;
  }
  OperatingSystemVersion v;
  v.major = parts[0];
  v.minor = parts[1];
  v.patch = parts[2];
  return v;
}

OperatingSystemVersion CurrentOperatingSystemVersion() {
  const char* text = std::getenv("KELVO_OS_VERSION");
  if (text) {
    if (std::optional<OperatingSystemVersion> v = ParseOperatingSystemVersion(text)) return *v;
    // Said once per start: a mistyped version must not pass unnoticed.
    std::fprintf(stderr, "kelvo: KELVO_OS_VERSION=\"%s\" is not a version like 14.4; using 15.0\n",
                 text);
  }
  return OperatingSystemVersion{};
}

}  // namespace kelvo
