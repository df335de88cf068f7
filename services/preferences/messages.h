// The preferences service's message types and codec, shared by the current
// and the legacy API.
//
// MessagesPigeonCodec is the standard codec plus one type of its own, tag
// 129 for SharedPreferencesPigeonOptions, written as the byte 129 followed
// by the field list [suiteName or null]. Reading is lenient so that a
// request of the wrong shape reaches its handler and gets an error reply
// rather than no reply: tag 129 decodes whatever value follows it, and
// other tags of 128 and above decode as opaque custom values, which no
// handler accepts. Only bytes that are not a codec value fail to decode.
//
// Threading: the codec is immutable; its one instance is safe to share.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/engine/standard_codec.h"
#include "platform/engine/value.h"

namespace kelvo {

inline constexpr uint8_t kSharedPreferencesPigeonOptionsTag = 129;

// Which user-defaults suite a request works on.
struct SharedPreferencesPigeonOptions {
  std::optional<std::string> suite_name;  // none: the application's own defaults

  ValueList ToList() const;
  // nullopt unless `list` has the record's shape: a first element that is a
  // string or null (later elements, from newer senders, are ignored).
  static std::optional<SharedPreferencesPigeonOptions> FromList(const ValueList& list);

  // The record as a codec value (tag 129 and its field list), and back;
  // FromValue gives nullopt for anything else.
  Value ToValue() const;
  static std::optional<SharedPreferencesPigeonOptions> FromValue(const Value& value);

  bool operator==(const SharedPreferencesPigeonOptions&) const = default;
};

class MessagesPigeonCodec final : public StandardCodec {
 public:
  // The one instance every channel of both APIs uses; it lives for the
  // whole process.
  static const MessagesPigeonCodec& Instance();

 private:
  MessagesPigeonCodec();
};

}  // namespace kelvo
