// The standard method codec: method calls and their reply envelopes, on top
// of a StandardCodec (plain or a service's own).
//   call:     method name (string value), then the arguments value
//   success:  byte 0, then the result value
//   error:    byte 1, then code (string), message (string or null), details
//             (any), optionally followed by a stack trace string
// Event channels use the same envelopes for events and errors; the end of a
// stream is a message with no payload.
// Thread-safe; holds the StandardCodec by reference (it must outlive this).
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/engine/standard_codec.h"

namespace kelvo {

struct MethodCall {
  std::string method;
  Value arguments;
};

// A failure that crosses a channel: code, message (or none) and details.
struct FlutterError {
  std::string code;
  std::optional<std::string> message;
  Value details;

  bool operator==(const FlutterError&) const = default;
};

using Envelope = std::variant<Value, FlutterError>;  // success value or error

class MethodCodec {
 public:
  static const MethodCodec& Standard();

  explicit MethodCodec(const StandardCodec& codec) : codec_(codec) {}
  const StandardCodec& message_codec() const { return codec_; }

  std::vector<uint8_t> EncodeMethodCall(const MethodCall& call) const;
  Result<MethodCall> DecodeMethodCall(std::span<const uint8_t> data) const;

  std::vector<uint8_t> EncodeSuccessEnvelope(const Value& result) const;
  std::vector<uint8_t> EncodeErrorEnvelope(const FlutterError& error) const;
  Result<Envelope> DecodeEnvelope(std::span<const uint8_t> data) const;

 private:
  const StandardCodec& codec_;
};

}  // namespace kelvo
