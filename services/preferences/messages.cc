#include "services/preferences/messages.h"

#include <memory>

namespace kelvo {
namespace {

class MessagesReaderWriter final : public ReaderWriter {
 public:
  bool WriteValue(const StandardCodec& codec, ByteWriter& w, const Value& value) const override {
    const auto* custom = value.get_if<CustomValue>();
    if (custom == nullptr || custom->tag != kSharedPreferencesPigeonOptionsTag) return false;
    w.WriteByte(custom->tag);
    codec.WriteValue(w, *custom->payload);
    return true;
  }

  // Every tag reads as its tag and the value after it; the handlers tell
  // the options record from anything else.
  Result<Value> ReadValueOfType(const StandardCodec& codec, uint8_t type, ByteReader& r,
                                int depth) const override {
    Result<Value> payload = codec.ReadValue(r, depth + 1);
    if (!payload.ok()) return payload.error();
    return Value::Custom(type, std::move(payload).value());
  }
};

}  // namespace

ValueList SharedPreferencesPigeonOptions::ToList() const {
  return {suite_name ? Value(*suite_name) : Value()};
}

std::optional<SharedPreferencesPigeonOptions> SharedPreferencesPigeonOptions::FromList(
    const ValueList& list) {
  if (list.empty()) return std::nullopt;
  SharedPreferencesPigeonOptions options;
  if (const auto* name = list[0].get_if<std::string>()) {
    options.suite_name = *name;
  } else if (!list[0].is_null()) {
    return std::nullopt;
  }
  return options;
}

Value SharedPreferencesPigeonOptions::ToValue() const {
  return Value::Custom(kSharedPreferencesPigeonOptionsTag, Value(ToList()));
}

std::optional<SharedPreferencesPigeonOptions> SharedPreferencesPigeonOptions::FromValue(
    const Value& value) {
  const auto* custom = value.get_if<CustomValue>();
  if (custom == nullptr || custom->tag != kSharedPreferencesPigeonOptionsTag) return std::nullopt;
  const auto* list = custom->payload->get_if<ValueList>();
  if (list == nullptr) return std::nullopt;
  return FromList(*list);
}

const MessagesPigeonCodec& MessagesPigeonCodec::Instance() {
  static const MessagesPigeonCodec* const instance = new MessagesPigeonCodec();
  return *instance;
}

MessagesPigeonCodec::MessagesPigeonCodec()
    : StandardCodec(std::make_shared<MessagesReaderWriter>()) {}

}  // namespace kelvo
