#include "services/url_launcher/url_launcher_messages.h"

#include <memory>
#include <string>

namespace kelvo {
namespace {

class UrlLauncherReaderWriter : public ReaderWriter {
 public:
  // Writing needs nothing of its own: the records are already custom values
  // whose payload is what follows the tag.
  Result<Value> ReadValueOfType(const StandardCodec& codec, uint8_t type, ByteReader& r,
                                int depth) const override {
    const size_t at = r.position();
    if (type != kUrlLauncherErrorTag && type != kUrlLauncherBoolResultTag) {
      return DecodeError{"unknown type byte " + std::to_string(type), at};
    }
    Result<Value> payload = codec.ReadValue(r, depth + 1);
    if (!payload.ok()) return payload;
    if (type == kUrlLauncherErrorTag) return ReadError(payload.value(), at);
    return ReadBoolResult(payload.value(), at);
  }

 private:
  static Result<Value> ReadError(const Value& payload, size_t at) {
    if (!payload.is_int()) return DecodeError{"UrlLauncherError: expected an integer", at};
    if (payload.as_int() != static_cast<int64_t>(UrlLauncherError::kInvalidUrl)) return Value();
    return UrlLauncherErrorToValue(UrlLauncherError::kInvalidUrl);
  }

  static Result<Value> ReadBoolResult(const Value& payload, size_t at) {
    const ValueList* fields = payload.get_if<ValueList>();
    if (fields == nullptr || fields->size() < 2 || !(*fields)[0].is_bool()) {
      return DecodeError{"UrlLauncherBoolResult: expected [bool, error or null]", at};
    }
    const Value& error = (*fields)[1];
    const bool is_error = error.is_custom() && error.as_custom().tag == kUrlLauncherErrorTag;
    if (!error.is_null() && !is_error) {
      return DecodeError{"UrlLauncherBoolResult: the error field is not a UrlLauncherError", at};
    }
    // Fields beyond the two known ones are dropped.
    return Value::Custom(kUrlLauncherBoolResultTag, Value(ValueList{(*fields)[0], error}));
  }
};

}  // namespace

Value UrlLauncherErrorToValue(UrlLauncherError error) {
  return Value::Custom(kUrlLauncherErrorTag, Value(static_cast<int64_t>(error)));
}

Value UrlLauncherBoolResult::ToValue() const {
  return Value::Custom(
      kUrlLauncherBoolResultTag,
      Value(ValueList{Value(value), error ? UrlLauncherErrorToValue(*error) : Value()}));
}

std::optional<UrlLauncherBoolResult> UrlLauncherBoolResult::FromValue(const Value& value) {
  if (!value.is_custom() || value.as_custom().tag != kUrlLauncherBoolResultTag) return std::nullopt;
  const ValueList* fields = value.as_custom().payload->get_if<ValueList>();
  if (fields == nullptr || fields->size() < 2 || !(*fields)[0].is_bool()) return std::nullopt;
  UrlLauncherBoolResult result;
  result.value = (*fields)[0].as_bool();
  const Value& error = (*fields)[1];
  if (error.is_null()) return result;
  if (!error.is_custom() || error.as_custom().tag != kUrlLauncherErrorTag) return std::nullopt;
  const Value& code = *error.as_custom().payload;
  if (!code.is_int() || code.as_int() != static_cast<int64_t>(UrlLauncherError::kInvalidUrl)) {
    return std::nullopt;
  }
  result.error = UrlLauncherError::kInvalidUrl;
  return result;
}

const StandardCodec& UrlLauncherCodec() {
  static const StandardCodec codec(std::make_shared<UrlLauncherReaderWriter>());
  return codec;
}

}  // namespace kelvo
