// The URL launcher's message types and their codec: the standard codec
// plus two type tags.
//   129 UrlLauncherError       its integer value; reading 0 gives invalidUrl,
//                              any other integer no error (null)
//   130 UrlLauncherBoolResult  the list [value, error or null]
// On channels the records travel as Value::Custom with those tags; ToValue
// and FromValue convert. Reading any other tag of 128..255 is a decode
// error. The codec is immutable and safe to share across threads.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/engine/standard_codec.h"
#include "platform/engine/value.h"

namespace kelvo {

inline constexpr uint8_t kUrlLauncherErrorTag = 129;
inline constexpr uint8_t kUrlLauncherBoolResultTag = 130;

enum class UrlLauncherError : int64_t {
  kInvalidUrl = 0,
};

struct UrlLauncherBoolResult {
  bool value = false;
  std::optional<UrlLauncherError> error;

  Value ToValue() const;
  // A tag 130 value of the codec's shape, else nullopt.
  static std::optional<UrlLauncherBoolResult> FromValue(const Value& value);

  bool operator==(const UrlLauncherBoolResult&) const = default;
};

Value UrlLauncherErrorToValue(UrlLauncherError error);

const StandardCodec& UrlLauncherCodec();

}  // namespace kelvo
