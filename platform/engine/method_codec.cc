#include "platform/engine/method_codec.h"

namespace kelvo {

const MethodCodec& MethodCodec::Standard() {
  static const MethodCodec codec(StandardCodec::Instance());
  return codec;
}

std::vector<uint8_t> MethodCodec::EncodeMethodCall(const MethodCall& call) const {
  std::vector<uint8_t> out;
  ByteWriter w(&out);
  codec_.WriteValue(w, Value(call.method));
  codec_.WriteValue(w, call.arguments);
  return out;
}

Result<MethodCall> MethodCodec::DecodeMethodCall(std::span<const uint8_t> data) const {
  ByteReader r(data);
  auto method = codec_.ReadValue(r);
  if (!method.ok()) return method.error();
  if (!method.value().is_string()) return DecodeError{"method name is not a string", 0};
  auto arguments = codec_.ReadValue(r);
  if (!arguments.ok()) return arguments.error();
  if (r.remaining() != 0) return DecodeError{"trailing bytes after the method call", r.position()};
  return MethodCall{method.value().as_string(), std::move(arguments).value()};
}

std::vector<uint8_t> MethodCodec::EncodeSuccessEnvelope(const Value& result) const {
  std::vector<uint8_t> out;
  ByteWriter w(&out);
  w.WriteByte(0);
  codec_.WriteValue(w, result);
  return out;
}

std::vector<uint8_t> MethodCodec::EncodeErrorEnvelope(const FlutterError& error) const {
  std::vector<uint8_t> out;
  ByteWriter w(&out);
  w.WriteByte(1);
  codec_.WriteValue(w, Value(error.code));
  codec_.WriteValue(w, error.message ? Value(*error.message) : Value());
  codec_.WriteValue(w, error.details);
  return out;
}

Result<Envelope> MethodCodec::DecodeEnvelope(std::span<const uint8_t> data) const {
  ByteReader r(data);
  uint8_t kind = 0;
  if (!r.ReadByte(&kind)) return DecodeError{"empty envelope", 0};
  if (kind == 0) {
    auto result = codec_.ReadValue(r);
    if (!result.ok()) return result.error();
    if (r.remaining() != 0) return DecodeError{"trailing bytes after the result", r.position()};
    return Envelope(std::move(result).value());
  }
  if (kind != 1) return DecodeError{"unknown envelope kind " + std::to_string(kind), 0};
  auto code = codec_.ReadValue(r);
  if (!code.ok()) return code.error();
  auto message = codec_.ReadValue(r);
  if (!message.ok()) return message.error();
  auto details = codec_.ReadValue(r);
  if (!details.ok()) return details.error();
  if (!code.value().is_string()) return DecodeError{"error code is not a string", 0};
  if (!message.value().is_string() && !message.value().is_null()) {
    return DecodeError{"error message is neither a string nor null", 0};
  }
  if (r.remaining() != 0) {  // some engines append a stack trace string
    auto trace = codec_.ReadValue(r);
    if (!trace.ok()) return trace.error();
    if (r.remaining() != 0) return DecodeError{"trailing bytes after the error", r.position()};
  }
  FlutterError error{code.value().as_string(), std::nullopt, std::move(details).value()};
  if (message.value().is_string()) error.message = message.value().as_string();
  return Envelope(std::move(error));
}

}  // namespace kelvo
