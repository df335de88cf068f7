#include "services/store/messages.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

namespace kelvo {

// ---- The records, each described once: tag, name and fields in wire order ----

KELVO_STORE_RECORD_FIELDS(FIASKPaymentDiscountMessage, RecordField("identifier", &T::identifier),
                          RecordField("keyIdentifier", &T::keyIdentifier),
                          RecordField("nonce", &T::nonce), RecordField("signature", &T::signature),
                          RecordField("timestamp", &T::timestamp));

KELVO_STORE_RECORD_FIELDS(FIASKPaymentMessage,
                          RecordField("productIdentifier", &T::productIdentifier),
                          RecordField("applicationUsername", &T::applicationUsername),
                          RecordField("requestData", &T::requestData),
                          RecordField("quantity", &T::quantity),
                          RecordField("simulatesAskToBuyInSandbox", &T::simulatesAskToBuyInSandbox),
                          RecordField("paymentDiscount", &T::paymentDiscount));

KELVO_STORE_RECORD_FIELDS(FIASKErrorMessage, RecordField("code", &T::code),
                          RecordField("domain", &T::domain), RecordField("userInfo", &T::userInfo));

KELVO_STORE_RECORD_FIELDS(FIASKPaymentTransactionMessage, RecordField("payment", &T::payment),
                          RecordField("transactionState", &T::transactionState),
                          RecordField("originalTransaction", &T::originalTransaction),
                          RecordField("transactionTimeStamp", &T::transactionTimeStamp),
                          RecordField("transactionIdentifier", &T::transactionIdentifier),
                          RecordField("error", &T::error));

KELVO_STORE_RECORD_FIELDS(FIASKStorefrontMessage, RecordField("countryCode", &T::countryCode),
                          RecordField("identifier", &T::identifier));

KELVO_STORE_RECORD_FIELDS(FIASKPriceLocaleMessage,
                          RecordField("currencySymbol", &T::currencySymbol),
                          RecordField("currencyCode", &T::currencyCode),
                          RecordField("countryCode", &T::countryCode));

KELVO_STORE_RECORD_FIELDS(FIASKProductSubscriptionPeriodMessage,
                          RecordField("numberOfUnits", &T::numberOfUnits),
                          RecordField("unit", &T::unit));

KELVO_STORE_RECORD_FIELDS(FIASKProductDiscountMessage, RecordField("price", &T::price),
                          RecordField("priceLocale", &T::priceLocale),
                          RecordField("numberOfPeriods", &T::numberOfPeriods),
                          RecordField("paymentMode", &T::paymentMode),
                          RecordField("subscriptionPeriod", &T::subscriptionPeriod),
                          RecordField("identifier", &T::identifier), RecordField("type", &T::type));

KELVO_STORE_RECORD_FIELDS(
    FIASKProductMessage, RecordField("productIdentifier", &T::productIdentifier),
    RecordField("localizedTitle", &T::localizedTitle),
    RecordField("localizedDescription", &T::localizedDescription),
    RecordField("priceLocale", &T::priceLocale),
    RecordField("subscriptionGroupIdentifier", &T::subscriptionGroupIdentifier),
    RecordField("price", &T::price), RecordField("subscriptionPeriod", &T::subscriptionPeriod),
    RecordField("introductoryPrice", &T::introductoryPrice),
    RecordField("discounts", &T::discounts));

KELVO_STORE_RECORD_FIELDS(FIASKProductsResponseMessage, RecordField("products", &T::products),
                          RecordField("invalidProductIdentifiers", &T::invalidProductIdentifiers));

namespace {

// ---- Numbers ----

// An integer and a double are the same number only when the double is
// integral and converts back exactly; comparing through a double would
// merge neighbouring large integers.
bool IntEqualsDouble(int64_t i, double d) {
  if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return false;  // NaN too
  if (std::trunc(d) != d) return false;
  return static_cast<int64_t>(d) == i;
}

bool DoublesEqual(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

bool NumbersEqual(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) return a.as_int() == b.as_int();
  if (a.is_double() && b.is_double()) return DoublesEqual(a.as_double(), b.as_double());
  if (a.is_int()) return IntEqualsDouble(a.as_int(), b.as_double());
  return IntEqualsDouble(b.as_int(), a.as_double());
}

bool IsNumber(const Value& v) { return v.is_int() || v.is_double(); }

std::string FormatDouble(double d) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  if (ec != std::errc()) return "?";
  return std::string(buf, end);
}

// ---- Deep equality and hashing of maps ----

bool MapsEqual(const ValueMap& a, const ValueMap& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [key_a, value_a] : a) {
    const Value* value_b = nullptr;
    for (const auto& [key_b, candidate] : b) {
      if (FLTPigeonDeepEquals(key_a, key_b)) {
        value_b = &candidate;
        break;
      }
    }
    if (value_b == nullptr || !FLTPigeonDeepEquals(value_a, *value_b)) return false;
  }
  return true;
}

uint64_t MapHash(const ValueMap& map) {
  uint64_t h = 0;
  for (const auto& [key, value] : map) {
    h += (FLTPigeonDeepHash(key) * 31) ^ FLTPigeonDeepHash(value);
  }
  return h;
}

template <typename L>
uint64_t NumberListHash(const L& list) {
  uint64_t h = 1;
  for (auto n : list) h = h * 31 + FLTPigeonNumberHash(static_cast<double>(n));
  return h;
}

template <typename L>
std::string DescribeNumbers(const L& list) {
  std::string out = "[";
  for (size_t i = 0; i < list.size(); ++i) {
    if (i != 0) out += ", ";
    out += FLTPigeonDescribe(Value(list[i]));
  }
  return out + "]";
}

// ---- Enumerations travel in their boxes ----

FIASKPaymentTransactionStateMessageBox BoxOf(FIASKPaymentTransactionStateMessage m) {
  return FIASKPaymentTransactionStateMessageBox(m);
}
FIASKProductDiscountTypeMessageBox BoxOf(FIASKProductDiscountTypeMessage m) {
  return FIASKProductDiscountTypeMessageBox(m);
}
FIASKProductDiscountPaymentModeMessageBox BoxOf(FIASKProductDiscountPaymentModeMessage m) {
  return FIASKProductDiscountPaymentModeMessageBox(m);
}
FIASKSubscriptionPeriodUnitMessageBox BoxOf(FIASKSubscriptionPeriodUnitMessage m) {
  return FIASKSubscriptionPeriodUnitMessageBox(m);
}

// ---- Reading ----

template <typename T>
T Parse(const ValueList& list, std::string* error);

// Reads a field list element by element, one Read per field type. Strict
// when given an error sink: the first element of the wrong type is recorded
// there (and reads as absent); lenient without one.
class FieldReader : public FieldListReader {
 public:
  FieldReader(const ValueList& list, const char* type, std::string* error)
      : FieldListReader(list, type, error) {}

  void Read(size_t i, const char* field, std::optional<std::string>& out) {
    out = OptString(i, field);
  }
  void Read(size_t i, const char* field, int64_t& out) { out = OptInt(i, field).value_or(0); }
  void Read(size_t i, const char* field, std::optional<double>& out) {
    out = OptNumber(i, field, "a number");
  }
  void Read(size_t i, const char* field, std::optional<ValueMap>& out) { out = OptMap(i, field); }

  void Read(size_t i, const char* field, bool& out) {
    const Value& v = At(i);
    if (v.is_bool()) {
      out = v.as_bool();
    } else {
      Expect(v, field, "a boolean");
    }
  }

  // Any number the box carries is kept.
  template <typename E>
  requires std::is_enum_v<E>
  void Read(size_t i, const char* field, E& out) {
    using Box = decltype(BoxOf(out));
    const Value& v = At(i);
    if (auto box = Box::FromValue(v)) {
      out = box->member();
    } else {
      Expect(v, field, "an enumeration box of tag " + std::to_string(Box::kTag));
    }
  }

  template <typename T>
  void Read(size_t i, const char* field, std::shared_ptr<const T>& out) {
    const Value& v = At(i);
    if (v.is_null()) return;
    if (std::optional<T> message = Nested<T>(v, field)) {
      out = std::make_shared<const T>(std::move(*message));
    }
  }

  template <typename T>
  void Read(size_t i, const char* field, std::optional<std::vector<T>>& out) {
    const Value& v = At(i);
    const auto* list = v.get_if<ValueList>();
    if (list == nullptr) {
      Expect(v, field, "a list");
      return;
    }
    std::vector<T> elements;
    elements.reserve(list->size());
    for (const Value& element : *list) {
      std::optional<T> message = Nested<T>(element, field);
      if (!message) {
        if (!strict()) continue;  // lenient: skip what is not a message
        return;
      }
      elements.push_back(std::move(*message));
    }
    out = std::move(elements);
  }

  void Read(size_t i, const char* field, std::optional<std::vector<std::string>>& out) {
    const Value& v = At(i);
    const auto* list = v.get_if<ValueList>();
    if (list == nullptr) {
      Expect(v, field, "a list");
      return;
    }
    std::vector<std::string> elements;
    elements.reserve(list->size());
    for (const Value& element : *list) {
      if (const auto* s = element.get_if<std::string>()) {
        elements.push_back(*s);
      } else if (strict()) {
        Fail(field, "a list of strings");
        return;
      }
    }
    out = std::move(elements);
  }

 private:
  // A nested message: its tag followed by null or its field list.
  template <typename T>
  std::optional<T> Nested(const Value& v, const char* field) {
    const auto* custom = v.get_if<CustomValue>();
    if (custom == nullptr || custom->tag != RecordFields<T>::kTag) {
      Fail(field, std::string("a ") + RecordFields<T>::kName);
      return std::nullopt;
    }
    const Value& payload = *custom->payload;
    if (payload.is_null()) return T{};
    const auto* list = payload.get_if<ValueList>();
    if (list == nullptr) {
      Fail(field, std::string("a ") + RecordFields<T>::kName + " field list");
      return std::nullopt;
    }
    return Parse<T>(*list, error());
  }
};

template <typename T>
T Parse(const ValueList& list, std::string* error) {
  FieldReader reader(list, RecordFields<T>::kName, error);
  return ReadFields<T>(reader);
}

// ---- How the first generation writes, compares, hashes and prints fields ----

constexpr const char* kNullText = "(null)";

struct FirstGeneration {
  static constexpr bool kSameObjectIsEqual = true;

  static Value Write(int64_t n) { return Value(n); }
  static Value Write(bool b) { return Value(b); }
  template <typename E>
  requires std::is_enum_v<E>
  static Value Write(E member) { return BoxOf(member).ToValue(); }
  static Value Write(const std::optional<std::string>& s) { return s ? Value(*s) : Value(); }
  static Value Write(const std::optional<double>& d) { return d ? Value(*d) : Value(); }
  static Value Write(const std::optional<ValueMap>& m) { return m ? Value(*m) : Value(); }
  template <typename T>
  static Value Write(const std::shared_ptr<const T>& message) {
    return message ? message->ToValue() : Value();
  }
  template <typename T>
  static Value Write(const std::optional<std::vector<T>>& list) {
    if (!list) return Value();
    ValueList out;
    out.reserve(list->size());
    for (const T& element : *list) {
      if constexpr (std::is_same_v<T, std::string>) {
        out.emplace_back(element);
      } else {
        out.push_back(element.ToValue());
      }
    }
    return Value(std::move(out));
  }

  // Integers, booleans and enumeration numbers by plain equality, the rest
  // by the deep rules.
  template <typename F>
  requires std::is_arithmetic_v<F> || std::is_enum_v<F>
  static bool Same(F a, F b) { return a == b; }
  static bool Same(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    return a == b;
  }
  static bool Same(const std::optional<double>& a, const std::optional<double>& b) {
    if (!a || !b) return !a && !b;
    return DoublesEqual(*a, *b);
  }
  static bool Same(const std::optional<ValueMap>& a, const std::optional<ValueMap>& b) {
    if (!a || !b) return !a && !b;
    return MapsEqual(*a, *b);
  }
  template <typename T>
  static bool Same(const std::shared_ptr<const T>& a, const std::shared_ptr<const T>& b) {
    if (a == b) return true;
    if (!a || !b) return false;
    return *a == *b;
  }
  template <typename T>
  static bool Same(const std::optional<std::vector<T>>& a, const std::optional<std::vector<T>>& b) {
    if (!a || !b) return !a && !b;
    if (a->size() != b->size()) return false;
    for (size_t i = 0; i < a->size(); ++i) {
      if (!((*a)[i] == (*b)[i])) return false;
    }
    return true;
  }

  // Integers, booleans and enumeration numbers hash as number objects.
  static uint64_t Hash(int64_t n) { return FLTPigeonNumberHash(static_cast<double>(n)); }
  static uint64_t Hash(bool b) { return FLTPigeonNumberHash(b ? 1 : 0); }
  template <typename E>
  requires std::is_enum_v<E>
  static uint64_t Hash(E member) {
    return FLTPigeonNumberHash(static_cast<double>(static_cast<uint64_t>(member)));
  }
  static uint64_t Hash(const std::optional<std::string>& s) {
    return s ? FLTPigeonStringHash(*s) : 0;
  }
  static uint64_t Hash(const std::optional<double>& d) { return d ? FLTPigeonNumberHash(*d) : 0; }
  static uint64_t Hash(const std::optional<ValueMap>& m) { return m ? MapHash(*m) : 0; }
  template <typename T>
  static uint64_t Hash(const std::shared_ptr<const T>& message) {
    return message ? message->hash() : 0;
  }
  template <typename T>
  static uint64_t Hash(const std::optional<std::vector<T>>& list) {
    if (!list) return 0;
    uint64_t h = 1;
    for (const T& element : *list) {
      if constexpr (std::is_same_v<T, std::string>) {
        h = h * 31 + FLTPigeonStringHash(element);
      } else {
        h = h * 31 + element.hash();
      }
    }
    return h;
  }

  static std::string Text(int64_t n) { return std::to_string(n); }
  static std::string Text(bool b) { return b ? "true" : "false"; }
  template <typename E>
  requires std::is_enum_v<E>
  static std::string Text(E member) { return std::to_string(static_cast<uint64_t>(member)); }
  static std::string Text(const std::optional<std::string>& s) { return s ? *s : kNullText; }
  static std::string Text(const std::optional<double>& d) {
    return d ? FormatDouble(*d) : kNullText;
  }
  static std::string Text(const std::optional<ValueMap>& m) {
    return m ? FLTPigeonDescribe(Value(*m)) : kNullText;
  }
  template <typename T>
  static std::string Text(const std::shared_ptr<const T>& message) {
    return message ? message->description() : kNullText;
  }
  template <typename T>
  static std::string Text(const std::optional<std::vector<T>>& list) {
    if (!list) return kNullText;
    std::string text = "[";
    for (size_t i = 0; i < list->size(); ++i) {
      if (i != 0) text += ", ";
      if constexpr (std::is_same_v<T, std::string>) {
        text += (*list)[i];
      } else {
        text += (*list)[i].description();
      }
    }
    return text + "]";
  }

  template <typename T>
  static T Lenient(const ValueList& list) {
    return Parse<T>(list, nullptr);
  }

  // A value of T's tag whose payload is null (the empty message) or a field
  // list of the right types.
  template <typename T>
  static std::optional<T> FromTagged(const Value& value) {
    const auto* custom = value.get_if<CustomValue>();
    if (custom == nullptr || custom->tag != RecordFields<T>::kTag) return std::nullopt;
    const Value& payload = *custom->payload;
    if (payload.is_null()) return T{};
    const auto* fields = payload.get_if<ValueList>();
    if (fields == nullptr) return std::nullopt;
    std::string error;
    T message = Parse<T>(*fields, &error);
    if (!error.empty()) return std::nullopt;
    return message;
  }
};

// ---- The codec ----

// What the codec reads after a message tag: null gives the empty message.
template <typename T>
Result<Value> ReadMessage(const Value& payload, size_t at) {
  if (payload.is_null()) return T{}.ToValue();
  const auto* fields = payload.get_if<ValueList>();
  if (fields == nullptr) {
    return DecodeError{std::string(RecordFields<T>::kName) + ": expected a field list or null", at};
  }
  std::string error;
  T message = Parse<T>(*fields, &error);
  if (!error.empty()) return DecodeError{std::move(error), at};
  return message.ToValue();
}

class FIAMessagesPigeonCodecReaderWriter final : public ReaderWriter {
 public:
  // Writing needs nothing of its own: boxes and messages are already custom
  // values whose payload is what follows the tag, which the base writes.
  Result<Value> ReadValueOfType(const StandardCodec& codec, uint8_t type, ByteReader& r,
                                int depth) const override {
    const size_t at = r.position();
    if (type < kFIASKPaymentTransactionStateMessageBoxTag ||
        type > kFIASKProductSubscriptionPeriodMessageTag) {
      return DecodeError{"unknown type byte " + std::to_string(type), at};
    }
    Result<Value> payload = codec.ReadValue(r, depth + 1);
    if (!payload.ok()) return payload;
    const Value& v = payload.value();
    switch (type) {
      case kFIASKPaymentTransactionStateMessageBoxTag:
      case kFIASKProductDiscountTypeMessageBoxTag:
      case kFIASKProductDiscountPaymentModeMessageBoxTag:
      case kFIASKSubscriptionPeriodUnitMessageBoxTag:
        if (v.is_null()) return Value();
        if (!v.is_int()) {
          return DecodeError{"enumeration box " + std::to_string(type) + ": expected an integer",
                             at};
        }
        return Value::Custom(type, v);
      default: {
        std::optional<Result<Value>> record =
            ForRecordOfTag<FIASKPaymentTransactionMessage, FIASKPaymentMessage, FIASKErrorMessage,
                           FIASKPaymentDiscountMessage, FIASKStorefrontMessage,
                           FIASKProductsResponseMessage, FIASKProductMessage,
                           FIASKPriceLocaleMessage, FIASKProductDiscountMessage,
                           FIASKProductSubscriptionPeriodMessage>(
                type, [&]<typename T>() { return ReadMessage<T>(v, at); });
        if (!record) return DecodeError{"unknown type byte " + std::to_string(type), at};
        return std::move(*record);
      }
    }
  }
};

}  // namespace

// ---- Deep equality, hashing and descriptions of codec values ----

bool FLTPigeonDeepEquals(const Value& a, const Value& b) {
  if (&a == &b) return true;
  if (a.is_null() || b.is_null()) return a.is_null() && b.is_null();
  if (IsNumber(a) && IsNumber(b)) return NumbersEqual(a, b);
  if (a.is_list() && b.is_list()) {
    const ValueList& la = a.as_list();
    const ValueList& lb = b.as_list();
    if (la.size() != lb.size()) return false;
    for (size_t i = 0; i < la.size(); ++i) {
      if (!FLTPigeonDeepEquals(la[i], lb[i])) return false;
    }
    return true;
  }
  if (a.is_map() && b.is_map()) return MapsEqual(a.as_map(), b.as_map());
  if (a.is_custom() && b.is_custom()) {
    return a.as_custom().tag == b.as_custom().tag &&
           FLTPigeonDeepEquals(*a.as_custom().payload, *b.as_custom().payload);
  }
  return a == b;
}

uint64_t FLTPigeonNumberHash(double number) {
  if (std::isnan(number)) return 0x7FF8000000000000ULL;
  if (number == 0) number = 0.0;  // -0.0 hashes as +0.0
  return std::bit_cast<uint64_t>(number);
}

uint64_t FLTPigeonStringHash(std::string_view text) {
  uint64_t h = 14695981039346656037ULL;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return h;
}

uint64_t FLTPigeonDeepHash(const Value& value) {
  using T = Value::Type;
  switch (value.type()) {
    case T::kNull:
      return 0;
    case T::kBool:
      return FLTPigeonNumberHash(value.as_bool() ? 1 : 0);
    case T::kInt:
      return FLTPigeonNumberHash(static_cast<double>(value.as_int()));
    case T::kDouble:
      return FLTPigeonNumberHash(value.as_double());
    case T::kString:
      return FLTPigeonStringHash(value.as_string());
    case T::kBytes: {
      const auto& b = value.as_bytes();
      return FLTPigeonStringHash(
          std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
    }
    case T::kInt32List:
      return NumberListHash(value.as_int32_list());
    case T::kInt64List:
      return NumberListHash(value.as_int64_list());
    case T::kFloat32List:
      return NumberListHash(value.as_float32_list());
    case T::kFloat64List:
      return NumberListHash(value.as_float64_list());
    case T::kList: {
      uint64_t h = 1;
      for (const Value& element : value.as_list()) h = h * 31 + FLTPigeonDeepHash(element);
      return h;
    }
    case T::kMap:
      return MapHash(value.as_map());
    case T::kCustom:
      return uint64_t{value.as_custom().tag} * 31 + FLTPigeonDeepHash(*value.as_custom().payload);
  }
  return 0;
}

std::string FLTPigeonDescribe(const Value& value, std::string_view null_text) {
  using T = Value::Type;
  switch (value.type()) {
    case T::kNull:
      return std::string(null_text);
    case T::kBool:
      return value.as_bool() ? "true" : "false";
    case T::kInt:
      return std::to_string(value.as_int());
    case T::kDouble:
      return FormatDouble(value.as_double());
    case T::kString:
      return value.as_string();
    case T::kBytes: {
      static constexpr char kHex[] = "0123456789abcdef";
      std::string out = "<";
      for (uint8_t b : value.as_bytes()) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
      }
      return out + ">";
    }
    case T::kInt32List:
      return DescribeNumbers(value.as_int32_list());
    case T::kInt64List:
      return DescribeNumbers(value.as_int64_list());
    case T::kFloat32List:
      return DescribeNumbers(value.as_float32_list());
    case T::kFloat64List:
      return DescribeNumbers(value.as_float64_list());
    case T::kList: {
      std::string out = "[";
      bool first = true;
      for (const Value& element : value.as_list()) {
        if (!first) out += ", ";
        first = false;
        out += FLTPigeonDescribe(element, null_text);
      }
      return out + "]";
    }
    case T::kMap: {
      std::string out = "{";
      bool first = true;
      for (const auto& [k, v] : value.as_map()) {
        if (!first) out += ", ";
        first = false;
        out += FLTPigeonDescribe(k, null_text) + ": " + FLTPigeonDescribe(v, null_text);
      }
      return out + "}";
    }
    case T::kCustom:
      return "custom<" + std::to_string(value.as_custom().tag) + ">(" +
             FLTPigeonDescribe(*value.as_custom().payload, null_text) + ")";
  }
  return std::string();
}

// ---- The messages' operations, generated from their field lists ----

#define KELVO_FIA_MESSAGE_DEFINITIONS(T)                    \
  KELVO_STORE_RECORD_DEFINITIONS(FirstGeneration, T)        \
  std::optional<T> T::nullableFromList(const Value& list) { \
    const auto* fields = list.get_if<ValueList>();          \
    if (fields == nullptr) return std::nullopt;             \
    return Parse<T>(*fields, nullptr);                      \
  }

KELVO_FIA_MESSAGE_DEFINITIONS(FIASKPaymentDiscountMessage)
KELVO_FIA_MESSAGE_DEFINITIONS(FIASKPaymentMessage)
KELVO_FIA_MESSAGE_DEFINITIONS(FIASKErrorMessage)
KELVO_FIA_MESSAGE_DEFINITIONS(FIASKPaymentTransactionMessage)
KELVO_FIA_MESSAGE_DEFINITIONS(FIASKStorefrontMessage)
KELVO_FIA_MESSAGE_DEFINITIONS(FIASKPriceLocaleMessage)
KELVO_FIA_MESSAGE_DEFINITIONS(FIASKProductSubscriptionPeriodMessage)
KELVO_FIA_MESSAGE_DEFINITIONS(FIASKProductDiscountMessage)
KELVO_FIA_MESSAGE_DEFINITIONS(FIASKProductMessage)
KELVO_FIA_MESSAGE_DEFINITIONS(FIASKProductsResponseMessage)

#undef KELVO_FIA_MESSAGE_DEFINITIONS

const StandardCodec& FIAGetMessagesCodec() {
  // Never destroyed: channels may still encode while statics are torn down.
  static const StandardCodec* const codec =
      new StandardCodec(std::make_shared<FIAMessagesPigeonCodecReaderWriter>());
  return *codec;
}

}  // namespace kelvo
