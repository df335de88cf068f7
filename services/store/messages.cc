#include "services/store/messages.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <memory>
#include <type_traits>
#include <utility>

namespace kelvo {
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

// ---- Per-type plumbing ----

template <typename T>
struct Traits;
template <>
struct Traits<FIASKPaymentTransactionMessage> {
  static constexpr uint8_t kTag = kFIASKPaymentTransactionMessageTag;
  static constexpr const char* kName = "FIASKPaymentTransactionMessage";
};
template <>
struct Traits<FIASKPaymentMessage> {
  static constexpr uint8_t kTag = kFIASKPaymentMessageTag;
  static constexpr const char* kName = "FIASKPaymentMessage";
};
template <>
struct Traits<FIASKErrorMessage> {
  static constexpr uint8_t kTag = kFIASKErrorMessageTag;
  static constexpr const char* kName = "FIASKErrorMessage";
};
template <>
struct Traits<FIASKPaymentDiscountMessage> {
  static constexpr uint8_t kTag = kFIASKPaymentDiscountMessageTag;
  static constexpr const char* kName = "FIASKPaymentDiscountMessage";
};
template <>
struct Traits<FIASKStorefrontMessage> {
  static constexpr uint8_t kTag = kFIASKStorefrontMessageTag;
  static constexpr const char* kName = "FIASKStorefrontMessage";
};
template <>
struct Traits<FIASKProductsResponseMessage> {
  static constexpr uint8_t kTag = kFIASKProductsResponseMessageTag;
  static constexpr const char* kName = "FIASKProductsResponseMessage";
};
template <>
struct Traits<FIASKProductMessage> {
  static constexpr uint8_t kTag = kFIASKProductMessageTag;
  static constexpr const char* kName = "FIASKProductMessage";
};
template <>
struct Traits<FIASKPriceLocaleMessage> {
  static constexpr uint8_t kTag = kFIASKPriceLocaleMessageTag;
  static constexpr const char* kName = "FIASKPriceLocaleMessage";
};
template <>
struct Traits<FIASKProductDiscountMessage> {
  static constexpr uint8_t kTag = kFIASKProductDiscountMessageTag;
  static constexpr const char* kName = "FIASKProductDiscountMessage";
};
template <>
struct Traits<FIASKProductSubscriptionPeriodMessage> {
  static constexpr uint8_t kTag = kFIASKProductSubscriptionPeriodMessageTag;
  static constexpr const char* kName = "FIASKProductSubscriptionPeriodMessage";
};

// Reads a field list element by element. Strict when given an error sink:
// the first element of the wrong type is recorded there (and reads as
// absent); lenient without one.
class FieldReader {
 public:
  FieldReader(const ValueList& list, const char* type, std::string* error)
      : list_(list), type_(type), error_(error) {}

  std::optional<std::string> String(size_t i, const char* field) {
    const Value& v = At(i);
    if (const auto* s = v.get_if<std::string>()) return *s;
    Expect(v, field, "a string");
    return std::nullopt;
  }

  int64_t Int(size_t i, const char* field) {
    const Value& v = At(i);
    if (v.is_int()) return v.as_int();
    Expect(v, field, "an integer");
    return 0;
  }

  bool Bool(size_t i, const char* field) {
    const Value& v = At(i);
    if (v.is_bool()) return v.as_bool();
    Expect(v, field, "a boolean");
    return false;
  }

  std::optional<double> Double(size_t i, const char* field) {
    const Value& v = At(i);
    if (v.is_double()) return v.as_double();
    if (v.is_int()) return static_cast<double>(v.as_int());
    Expect(v, field, "a number");
    return std::nullopt;
  }

  template <typename Box>
  uint64_t Enum(size_t i, const char* field) {
    const Value& v = At(i);
    if (auto box = Box::FromValue(v)) return box->value;
    Expect(v, field, "an enumeration box of tag " + std::to_string(Box::kTag));
    return 0;
  }

  template <typename T>
  std::shared_ptr<const T> Message(size_t i, const char* field) {
    const Value& v = At(i);
    if (v.is_null()) return nullptr;
    std::optional<T> message = Nested<T>(v, field);
    if (!message) return nullptr;
    return std::make_shared<const T>(std::move(*message));
  }

  template <typename T>
  std::optional<std::vector<T>> MessageList(size_t i, const char* field) {
    const Value& v = At(i);
    const auto* list = v.get_if<ValueList>();
    if (list == nullptr) {
      Expect(v, field, "a list");
      return std::nullopt;
    }
    std::vector<T> out;
    out.reserve(list->size());
    for (const Value& element : *list) {
      std::optional<T> message = Nested<T>(element, field);
      if (!message) {
        if (error_ == nullptr) continue;  // lenient: skip what is not a message
        return std::nullopt;
      }
      out.push_back(std::move(*message));
    }
    return out;
  }

  std::optional<std::vector<std::string>> StringList(size_t i, const char* field) {
    const Value& v = At(i);
    const auto* list = v.get_if<ValueList>();
    if (list == nullptr) {
      Expect(v, field, "a list");
      return std::nullopt;
    }
    std::vector<std::string> out;
    out.reserve(list->size());
    for (const Value& element : *list) {
      if (const auto* s = element.get_if<std::string>()) {
        out.push_back(*s);
      } else if (error_ != nullptr) {
        Fail(field, "a list of strings");
        return std::nullopt;
      }
    }
    return out;
  }

  std::optional<ValueMap> Map(size_t i, const char* field) {
    const Value& v = At(i);
    if (const auto* map = v.get_if<ValueMap>()) return *map;
    Expect(v, field, "a map");
    return std::nullopt;
  }

 private:
  // Short lists read their missing trailing elements as null.
  const Value& At(size_t i) const {
    static const Value kNull;
    return i < list_.size() ? list_[i] : kNull;
  }

  // A null element is absent, not an error.
  void Expect(const Value& v, const char* field, const std::string& expected) {
    if (!v.is_null()) Fail(field, expected);
  }

  void Fail(const char* field, const std::string& expected) {
    if (error_ != nullptr && error_->empty()) {
      *error_ = std::string(type_) + "." + field + ": expected " + expected;
    }
  }

  // A nested message: its tag followed by null or its field list.
  template <typename T>
  std::optional<T> Nested(const Value& v, const char* field);

  const ValueList& list_;
  const char* type_;
  std::string* error_;
};

template <typename T>
T Parse(const ValueList& list, std::string* error);

template <typename T>
std::optional<T> FieldReader::Nested(const Value& v, const char* field) {
  const auto* custom = v.get_if<CustomValue>();
  if (custom == nullptr || custom->tag != Traits<T>::kTag) {
    Fail(field, std::string("a ") + Traits<T>::kName);
    return std::nullopt;
  }
  const Value& payload = *custom->payload;
  if (payload.is_null()) return T{};
  const auto* list = payload.get_if<ValueList>();
  if (list == nullptr) {
    Fail(field, std::string("a ") + Traits<T>::kName + " field list");
    return std::nullopt;
  }
  return Parse<T>(*list, error_);
}

template <>
FIASKPaymentDiscountMessage Parse(const ValueList& list, std::string* error) {
  FieldReader r(list, "FIASKPaymentDiscountMessage", error);
  FIASKPaymentDiscountMessage m;
  m.identifier = r.String(0, "identifier");
  m.keyIdentifier = r.String(1, "keyIdentifier");
  m.nonce = r.String(2, "nonce");
  m.signature = r.String(3, "signature");
  m.timestamp = r.Int(4, "timestamp");
  return m;
}

template <>
FIASKPaymentMessage Parse(const ValueList& list, std::string* error) {
  FieldReader r(list, "FIASKPaymentMessage", error);
  FIASKPaymentMessage m;
  m.productIdentifier = r.String(0, "productIdentifier");
  m.applicationUsername = r.String(1, "applicationUsername");
  m.requestData = r.String(2, "requestData");
  m.quantity = r.Int(3, "quantity");
  m.simulatesAskToBuyInSandbox = r.Bool(4, "simulatesAskToBuyInSandbox");
  m.paymentDiscount = r.Message<FIASKPaymentDiscountMessage>(5, "paymentDiscount");
  return m;
}

template <>
FIASKErrorMessage Parse(const ValueList& list, std::string* error) {
  FieldReader r(list, "FIASKErrorMessage", error);
  FIASKErrorMessage m;
  m.code = r.Int(0, "code");
  m.domain = r.String(1, "domain");
  m.userInfo = r.Map(2, "userInfo");
  return m;
}

template <>
FIASKPaymentTransactionMessage Parse(const ValueList& list, std::string* error) {
  FieldReader r(list, "FIASKPaymentTransactionMessage", error);
  FIASKPaymentTransactionMessage m;
  m.payment = r.Message<FIASKPaymentMessage>(0, "payment");
  m.transactionState = static_cast<FIASKPaymentTransactionStateMessage>(
      r.Enum<FIASKPaymentTransactionStateMessageBox>(1, "transactionState"));
  m.originalTransaction = r.Message<FIASKPaymentTransactionMessage>(2, "originalTransaction");
  m.transactionTimeStamp = r.Double(3, "transactionTimeStamp");
  m.transactionIdentifier = r.String(4, "transactionIdentifier");
  m.error = r.Message<FIASKErrorMessage>(5, "error");
  return m;
}

template <>
FIASKStorefrontMessage Parse(const ValueList& list, std::string* error) {
  FieldReader r(list, "FIASKStorefrontMessage", error);
  FIASKStorefrontMessage m;
  m.countryCode = r.String(0, "countryCode");
  m.identifier = r.String(1, "identifier");
  return m;
}

template <>
FIASKPriceLocaleMessage Parse(const ValueList& list, std::string* error) {
  FieldReader r(list, "FIASKPriceLocaleMessage", error);
  FIASKPriceLocaleMessage m;
  m.currencySymbol = r.String(0, "currencySymbol");
  m.currencyCode = r.String(1, "currencyCode");
  m.countryCode = r.String(2, "countryCode");
  return m;
}

template <>
FIASKProductSubscriptionPeriodMessage Parse(const ValueList& list, std::string* error) {
  FieldReader r(list, "FIASKProductSubscriptionPeriodMessage", error);
  FIASKProductSubscriptionPeriodMessage m;
  m.numberOfUnits = r.Int(0, "numberOfUnits");
  m.unit = static_cast<FIASKSubscriptionPeriodUnitMessage>(
      r.Enum<FIASKSubscriptionPeriodUnitMessageBox>(1, "unit"));
  return m;
}

template <>
FIASKProductDiscountMessage Parse(const ValueList& list, std::string* error) {
  FieldReader r(list, "FIASKProductDiscountMessage", error);
  FIASKProductDiscountMessage m;
  m.price = r.String(0, "price");
  m.priceLocale = r.Message<FIASKPriceLocaleMessage>(1, "priceLocale");
  m.numberOfPeriods = r.Int(2, "numberOfPeriods");
  m.paymentMode = static_cast<FIASKProductDiscountPaymentModeMessage>(
      r.Enum<FIASKProductDiscountPaymentModeMessageBox>(3, "paymentMode"));
  m.subscriptionPeriod = r.Message<FIASKProductSubscriptionPeriodMessage>(4, "subscriptionPeriod");
  m.identifier = r.String(5, "identifier");
  m.type = static_cast<FIASKProductDiscountTypeMessage>(
      r.Enum<FIASKProductDiscountTypeMessageBox>(6, "type"));
  return m;
}

template <>
FIASKProductMessage Parse(const ValueList& list, std::string* error) {
  FieldReader r(list, "FIASKProductMessage", error);
  FIASKProductMessage m;
  m.productIdentifier = r.String(0, "productIdentifier");
  m.localizedTitle = r.String(1, "localizedTitle");
  m.localizedDescription = r.String(2, "localizedDescription");
  m.priceLocale = r.Message<FIASKPriceLocaleMessage>(3, "priceLocale");
  m.subscriptionGroupIdentifier = r.String(4, "subscriptionGroupIdentifier");
  m.price = r.String(5, "price");
  m.subscriptionPeriod = r.Message<FIASKProductSubscriptionPeriodMessage>(6, "subscriptionPeriod");
  m.introductoryPrice = r.Message<FIASKProductDiscountMessage>(7, "introductoryPrice");
  m.discounts = r.MessageList<FIASKProductDiscountMessage>(8, "discounts");
  return m;
}

template <>
FIASKProductsResponseMessage Parse(const ValueList& list, std::string* error) {
  FieldReader r(list, "FIASKProductsResponseMessage", error);
  FIASKProductsResponseMessage m;
  m.products = r.MessageList<FIASKProductMessage>(0, "products");
  m.invalidProductIdentifiers = r.StringList(1, "invalidProductIdentifiers");
  return m;
}

// ---- Writing fields ----

Value Field(const std::optional<std::string>& s) { return s ? Value(*s) : Value(); }
Value Field(const std::optional<double>& d) { return d ? Value(*d) : Value(); }
Value Field(const std::optional<ValueMap>& m) { return m ? Value(*m) : Value(); }
template <typename T>
Value Field(const std::shared_ptr<const T>& message) {
  return message ? message->ToValue() : Value();
}
template <typename T>
Value Field(const std::optional<std::vector<T>>& list) {
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

// ---- Equality of fields ----

bool Same(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  return a == b;
}
bool Same(const std::optional<double>& a, const std::optional<double>& b) {
  if (!a || !b) return !a && !b;
  return DoublesEqual(*a, *b);
}
bool Same(const std::optional<ValueMap>& a, const std::optional<ValueMap>& b) {
  if (!a || !b) return !a && !b;
  return MapsEqual(*a, *b);
}
template <typename T>
bool Same(const std::shared_ptr<const T>& a, const std::shared_ptr<const T>& b) {
  if (a == b) return true;
  if (!a || !b) return false;
  return *a == *b;
}
template <typename T>
bool Same(const std::optional<std::vector<T>>& a, const std::optional<std::vector<T>>& b) {
  if (!a || !b) return !a && !b;
  if (a->size() != b->size()) return false;
  for (size_t i = 0; i < a->size(); ++i) {
    if (!((*a)[i] == (*b)[i])) return false;
  }
  return true;
}

// ---- Hashing ----

class Hasher {
 public:
  explicit Hasher(const char* type) : h_(FLTPigeonStringHash(type)) {}

  Hasher& Number(double n) { return Mix(FLTPigeonNumberHash(n)); }
  Hasher& Int(int64_t n) { return Number(static_cast<double>(n)); }
  Hasher& Bool(bool b) { return Number(b ? 1 : 0); }
  template <typename E>
  Hasher& Enum(E member) {
    return Number(static_cast<double>(static_cast<uint64_t>(member)));
  }
  Hasher& Add(const std::optional<std::string>& s) { return Mix(s ? FLTPigeonStringHash(*s) : 0); }
  Hasher& Add(const std::optional<double>& d) { return Mix(d ? FLTPigeonNumberHash(*d) : 0); }
  Hasher& Add(const std::optional<ValueMap>& m) { return Mix(m ? MapHash(*m) : 0); }
  template <typename T>
  Hasher& Add(const std::shared_ptr<const T>& message) {
    return Mix(message ? message->hash() : 0);
  }
  template <typename T>
  Hasher& Add(const std::optional<std::vector<T>>& list) {
    if (!list) return Mix(0);
    uint64_t h = 1;
    for (const T& element : *list) {
      if constexpr (std::is_same_v<T, std::string>) {
        h = h * 31 + FLTPigeonStringHash(element);
      } else {
        h = h * 31 + element.hash();
      }
    }
    return Mix(h);
  }

  uint64_t value() const { return h_; }

 private:
  Hasher& Mix(uint64_t field) {
    h_ = h_ * 31 + field;
    return *this;
  }
  uint64_t h_;
};

// ---- Descriptions ----

class Describer {
 public:
  explicit Describer(const char* type) : out_(std::string(type) + "(") {}

  Describer& Int(const char* name, int64_t n) { return Put(name, std::to_string(n)); }
  Describer& Bool(const char* name, bool b) { return Put(name, b ? "true" : "false"); }
  template <typename E>
  Describer& Enum(const char* name, E member) {
    return Put(name, std::to_string(static_cast<uint64_t>(member)));
  }
  Describer& Add(const char* name, const std::optional<std::string>& s) {
    return Put(name, s ? *s : kNull);
  }
  Describer& Add(const char* name, const std::optional<double>& d) {
    return Put(name, d ? FormatDouble(*d) : kNull);
  }
  Describer& Add(const char* name, const std::optional<ValueMap>& m) {
    return Put(name, m ? FLTPigeonDescribe(Value(*m)) : kNull);
  }
  template <typename T>
  Describer& Add(const char* name, const std::shared_ptr<const T>& message) {
    return Put(name, message ? message->description() : kNull);
  }
  template <typename T>
  Describer& Add(const char* name, const std::optional<std::vector<T>>& list) {
    if (!list) return Put(name, kNull);
    std::string text = "[";
    for (size_t i = 0; i < list->size(); ++i) {
      if (i != 0) text += ", ";
      if constexpr (std::is_same_v<T, std::string>) {
        text += (*list)[i];
      } else {
        text += (*list)[i].description();
      }
    }
    return Put(name, text + "]");
  }

  std::string Done() { return out_ + ")"; }

 private:
  static constexpr const char* kNull = "(null)";

  Describer& Put(const char* name, const std::string& text) {
    if (!first_) out_ += ", ";
    first_ = false;
    out_ += name;
    out_ += ": ";
    out_ += text;
    return *this;
  }

  std::string out_;
  bool first_ = true;
};

// ---- Shared forms of the per-type operations ----

template <typename T>
std::optional<T> NullableFromList(const Value& list) {
  const auto* fields = list.get_if<ValueList>();
  if (fields == nullptr) return std::nullopt;
  return Parse<T>(*fields, nullptr);
}

template <typename T>
std::optional<T> FromTagged(const Value& value) {
  const auto* custom = value.get_if<CustomValue>();
  if (custom == nullptr || custom->tag != Traits<T>::kTag) return std::nullopt;
  const Value& payload = *custom->payload;
  if (payload.is_null()) return T{};
  const auto* fields = payload.get_if<ValueList>();
  if (fields == nullptr) return std::nullopt;
  std::string error;
  T message = Parse<T>(*fields, &error);
  if (!error.empty()) return std::nullopt;
  return message;
}

// What the codec reads after a message tag: null gives the empty message.
template <typename T>
Result<Value> ReadMessage(const Value& payload, size_t at) {
  if (payload.is_null()) return T{}.ToValue();
  const auto* fields = payload.get_if<ValueList>();
  if (fields == nullptr) {
    return DecodeError{std::string(Traits<T>::kName) + ": expected a field list or null", at};
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
      case kFIASKPaymentTransactionMessageTag:
        return ReadMessage<FIASKPaymentTransactionMessage>(v, at);
      case kFIASKPaymentMessageTag:
        return ReadMessage<FIASKPaymentMessage>(v, at);
      case kFIASKErrorMessageTag:
        return ReadMessage<FIASKErrorMessage>(v, at);
      case kFIASKPaymentDiscountMessageTag:
        return ReadMessage<FIASKPaymentDiscountMessage>(v, at);
      case kFIASKStorefrontMessageTag:
        return ReadMessage<FIASKStorefrontMessage>(v, at);
      case kFIASKProductsResponseMessageTag:
        return ReadMessage<FIASKProductsResponseMessage>(v, at);
      case kFIASKProductMessageTag:
        return ReadMessage<FIASKProductMessage>(v, at);
      case kFIASKPriceLocaleMessageTag:
        return ReadMessage<FIASKPriceLocaleMessage>(v, at);
      case kFIASKProductDiscountMessageTag:
        return ReadMessage<FIASKProductDiscountMessage>(v, at);
      default:
        return ReadMessage<FIASKProductSubscriptionPeriodMessage>(v, at);
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

// ---- FIASKPaymentDiscountMessage ----

ValueList FIASKPaymentDiscountMessage::toList() const {
  return {Field(identifier), Field(keyIdentifier), Field(nonce), Field(signature),
          Value(timestamp)};
}
FIASKPaymentDiscountMessage FIASKPaymentDiscountMessage::fromList(const ValueList& list) {
  return Parse<FIASKPaymentDiscountMessage>(list, nullptr);
}
std::optional<FIASKPaymentDiscountMessage> FIASKPaymentDiscountMessage::nullableFromList(
    const Value& list) {
  return NullableFromList<FIASKPaymentDiscountMessage>(list);
}
Value FIASKPaymentDiscountMessage::ToValue() const {
  return Value::Custom(kFIASKPaymentDiscountMessageTag, Value(toList()));
}
std::optional<FIASKPaymentDiscountMessage> FIASKPaymentDiscountMessage::FromValue(
    const Value& value) {
  return FromTagged<FIASKPaymentDiscountMessage>(value);
}
bool FIASKPaymentDiscountMessage::operator==(const FIASKPaymentDiscountMessage& o) const {
  return this == &o ||
         (Same(identifier, o.identifier) && Same(keyIdentifier, o.keyIdentifier) &&
          Same(nonce, o.nonce) && Same(signature, o.signature) && timestamp == o.timestamp);
}
uint64_t FIASKPaymentDiscountMessage::hash() const {
  return Hasher("FIASKPaymentDiscountMessage")
      .Add(identifier)
      .Add(keyIdentifier)
      .Add(nonce)
      .Add(signature)
      .Int(timestamp)
      .value();
}
std::string FIASKPaymentDiscountMessage::description() const {
  return Describer("FIASKPaymentDiscountMessage")
      .Add("identifier", identifier)
      .Add("keyIdentifier", keyIdentifier)
      .Add("nonce", nonce)
      .Add("signature", signature)
      .Int("timestamp", timestamp)
      .Done();
}

// ---- FIASKPaymentMessage ----

ValueList FIASKPaymentMessage::toList() const {
  return {Field(productIdentifier), Field(applicationUsername),        Field(requestData),
          Value(quantity),          Value(simulatesAskToBuyInSandbox), Field(paymentDiscount)};
}
FIASKPaymentMessage FIASKPaymentMessage::fromList(const ValueList& list) {
  return Parse<FIASKPaymentMessage>(list, nullptr);
}
std::optional<FIASKPaymentMessage> FIASKPaymentMessage::nullableFromList(const Value& list) {
  return NullableFromList<FIASKPaymentMessage>(list);
}
Value FIASKPaymentMessage::ToValue() const {
  return Value::Custom(kFIASKPaymentMessageTag, Value(toList()));
}
std::optional<FIASKPaymentMessage> FIASKPaymentMessage::FromValue(const Value& value) {
  return FromTagged<FIASKPaymentMessage>(value);
}
bool FIASKPaymentMessage::operator==(const FIASKPaymentMessage& o) const {
  return this == &o ||
         (Same(productIdentifier, o.productIdentifier) &&
          Same(applicationUsername, o.applicationUsername) && Same(requestData, o.requestData) &&
          quantity == o.quantity && simulatesAskToBuyInSandbox == o.simulatesAskToBuyInSandbox &&
          Same(paymentDiscount, o.paymentDiscount));
}
uint64_t FIASKPaymentMessage::hash() const {
  return Hasher("FIASKPaymentMessage")
      .Add(productIdentifier)
      .Add(applicationUsername)
      .Add(requestData)
      .Int(quantity)
      .Bool(simulatesAskToBuyInSandbox)
      .Add(paymentDiscount)
      .value();
}
std::string FIASKPaymentMessage::description() const {
  return Describer("FIASKPaymentMessage")
      .Add("productIdentifier", productIdentifier)
      .Add("applicationUsername", applicationUsername)
      .Add("requestData", requestData)
      .Int("quantity", quantity)
      .Bool("simulatesAskToBuyInSandbox", simulatesAskToBuyInSandbox)
      .Add("paymentDiscount", paymentDiscount)
      .Done();
}

// ---- FIASKErrorMessage ----

ValueList FIASKErrorMessage::toList() const {
  return {Value(code), Field(domain), Field(userInfo)};
}
FIASKErrorMessage FIASKErrorMessage::fromList(const ValueList& list) {
  return Parse<FIASKErrorMessage>(list, nullptr);
}
std::optional<FIASKErrorMessage> FIASKErrorMessage::nullableFromList(const Value& list) {
  return NullableFromList<FIASKErrorMessage>(list);
}
Value FIASKErrorMessage::ToValue() const {
  return Value::Custom(kFIASKErrorMessageTag, Value(toList()));
}
std::optional<FIASKErrorMessage> FIASKErrorMessage::FromValue(const Value& value) {
  return FromTagged<FIASKErrorMessage>(value);
}
bool FIASKErrorMessage::operator==(const FIASKErrorMessage& o) const {
  return this == &o || (code == o.code && Same(domain, o.domain) && Same(userInfo, o.userInfo));
}
uint64_t FIASKErrorMessage::hash() const {
  return Hasher("FIASKErrorMessage").Int(code).Add(domain).Add(userInfo).value();
}
std::string FIASKErrorMessage::description() const {
  return Describer("FIASKErrorMessage")
      .Int("code", code)
      .Add("domain", domain)
      .Add("userInfo", userInfo)
      .Done();
}

// ---- FIASKPaymentTransactionMessage ----

ValueList FIASKPaymentTransactionMessage::toList() const {
  return {Field(payment),
          FIASKPaymentTransactionStateMessageBox(transactionState).ToValue(),
          Field(originalTransaction),
          Field(transactionTimeStamp),
          Field(transactionIdentifier),
          Field(error)};
}
FIASKPaymentTransactionMessage FIASKPaymentTransactionMessage::fromList(const ValueList& list) {
  return Parse<FIASKPaymentTransactionMessage>(list, nullptr);
}
std::optional<FIASKPaymentTransactionMessage> FIASKPaymentTransactionMessage::nullableFromList(
    const Value& list) {
  return NullableFromList<FIASKPaymentTransactionMessage>(list);
}
Value FIASKPaymentTransactionMessage::ToValue() const {
  return Value::Custom(kFIASKPaymentTransactionMessageTag, Value(toList()));
}
std::optional<FIASKPaymentTransactionMessage> FIASKPaymentTransactionMessage::FromValue(
    const Value& value) {
  return FromTagged<FIASKPaymentTransactionMessage>(value);
}
bool FIASKPaymentTransactionMessage::operator==(const FIASKPaymentTransactionMessage& o) const {
  return this == &o ||
         (Same(payment, o.payment) && transactionState == o.transactionState &&
          Same(originalTransaction, o.originalTransaction) &&
          Same(transactionTimeStamp, o.transactionTimeStamp) &&
          Same(transactionIdentifier, o.transactionIdentifier) && Same(error, o.error));
}
uint64_t FIASKPaymentTransactionMessage::hash() const {
  return Hasher("FIASKPaymentTransactionMessage")
      .Add(payment)
      .Enum(transactionState)
      .Add(originalTransaction)
      .Add(transactionTimeStamp)
      .Add(transactionIdentifier)
      .Add(error)
      .value();
}
std::string FIASKPaymentTransactionMessage::description() const {
  return Describer("FIASKPaymentTransactionMessage")
      .Add("payment", payment)
      .Enum("transactionState", transactionState)
      .Add("originalTransaction", originalTransaction)
      .Add("transactionTimeStamp", transactionTimeStamp)
      .Add("transactionIdentifier", transactionIdentifier)
      .Add("error", error)
      .Done();
}

// ---- FIASKStorefrontMessage ----

ValueList FIASKStorefrontMessage::toList() const { return {Field(countryCode), Field(identifier)}; }
FIASKStorefrontMessage FIASKStorefrontMessage::fromList(const ValueList& list) {
  return Parse<FIASKStorefrontMessage>(list, nullptr);
}
std::optional<FIASKStorefrontMessage> FIASKStorefrontMessage::nullableFromList(const Value& list) {
  return NullableFromList<FIASKStorefrontMessage>(list);
}
Value FIASKStorefrontMessage::ToValue() const {
  return Value::Custom(kFIASKStorefrontMessageTag, Value(toList()));
}
std::optional<FIASKStorefrontMessage> FIASKStorefrontMessage::FromValue(const Value& value) {
  return FromTagged<FIASKStorefrontMessage>(value);
}
bool FIASKStorefrontMessage::operator==(const FIASKStorefrontMessage& o) const {
  return this == &o || (Same(countryCode, o.countryCode) && Same(identifier, o.identifier));
}
uint64_t FIASKStorefrontMessage::hash() const {
  return Hasher("FIASKStorefrontMessage").Add(countryCode).Add(identifier).value();
}
std::string FIASKStorefrontMessage::description() const {
  return Describer("FIASKStorefrontMessage")
      .Add("countryCode", countryCode)
      .Add("identifier", identifier)
      .Done();
}

// ---- FIASKPriceLocaleMessage ----

ValueList FIASKPriceLocaleMessage::toList() const {
  return {Field(currencySymbol), Field(currencyCode), Field(countryCode)};
}
FIASKPriceLocaleMessage FIASKPriceLocaleMessage::fromList(const ValueList& list) {
  return Parse<FIASKPriceLocaleMessage>(list, nullptr);
}
std::optional<FIASKPriceLocaleMessage> FIASKPriceLocaleMessage::nullableFromList(
    const Value& list) {
  return NullableFromList<FIASKPriceLocaleMessage>(list);
}
Value FIASKPriceLocaleMessage::ToValue() const {
  return Value::Custom(kFIASKPriceLocaleMessageTag, Value(toList()));
}
std::optional<FIASKPriceLocaleMessage> FIASKPriceLocaleMessage::FromValue(const Value& value) {
  return FromTagged<FIASKPriceLocaleMessage>(value);
}
bool FIASKPriceLocaleMessage::operator==(const FIASKPriceLocaleMessage& o) const {
  return this == &o || (Same(currencySymbol, o.currencySymbol) &&
                        Same(currencyCode, o.currencyCode) && Same(countryCode, o.countryCode));
}
uint64_t FIASKPriceLocaleMessage::hash() const {
  return Hasher("FIASKPriceLocaleMessage")
      .Add(currencySymbol)
      .Add(currencyCode)
      .Add(countryCode)
      .value();
}
std::string FIASKPriceLocaleMessage::description() const {
  return Describer("FIASKPriceLocaleMessage")
      .Add("currencySymbol", currencySymbol)
      .Add("currencyCode", currencyCode)
      .Add("countryCode", countryCode)
      .Done();
}

// ---- FIASKProductSubscriptionPeriodMessage ----

ValueList FIASKProductSubscriptionPeriodMessage::toList() const {
  return {Value(numberOfUnits), FIASKSubscriptionPeriodUnitMessageBox(unit).ToValue()};
}
FIASKProductSubscriptionPeriodMessage FIASKProductSubscriptionPeriodMessage::fromList(
    const ValueList& list) {
  return Parse<FIASKProductSubscriptionPeriodMessage>(list, nullptr);
}
std::optional<FIASKProductSubscriptionPeriodMessage>
FIASKProductSubscriptionPeriodMessage::nullableFromList(const Value& list) {
  return NullableFromList<FIASKProductSubscriptionPeriodMessage>(list);
}
Value FIASKProductSubscriptionPeriodMessage::ToValue() const {
  return Value::Custom(kFIASKProductSubscriptionPeriodMessageTag, Value(toList()));
}
std::optional<FIASKProductSubscriptionPeriodMessage>
FIASKProductSubscriptionPeriodMessage::FromValue(const Value& value) {
  return FromTagged<FIASKProductSubscriptionPeriodMessage>(value);
}
bool FIASKProductSubscriptionPeriodMessage::operator==(
    const FIASKProductSubscriptionPeriodMessage& o) const {
  return numberOfUnits == o.numberOfUnits && unit == o.unit;
}
uint64_t FIASKProductSubscriptionPeriodMessage::hash() const {
  return Hasher("FIASKProductSubscriptionPeriodMessage").Int(numberOfUnits).Enum(unit).value();
}
std::string FIASKProductSubscriptionPeriodMessage::description() const {
  return Describer("FIASKProductSubscriptionPeriodMessage")
      .Int("numberOfUnits", numberOfUnits)
      .Enum("unit", unit)
      .Done();
}

// ---- FIASKProductDiscountMessage ----

ValueList FIASKProductDiscountMessage::toList() const {
  return {Field(price),
          Field(priceLocale),
          Value(numberOfPeriods),
          FIASKProductDiscountPaymentModeMessageBox(paymentMode).ToValue(),
          Field(subscriptionPeriod),
          Field(identifier),
          FIASKProductDiscountTypeMessageBox(type).ToValue()};
}
FIASKProductDiscountMessage FIASKProductDiscountMessage::fromList(const ValueList& list) {
  return Parse<FIASKProductDiscountMessage>(list, nullptr);
}
std::optional<FIASKProductDiscountMessage> FIASKProductDiscountMessage::nullableFromList(
    const Value& list) {
  return NullableFromList<FIASKProductDiscountMessage>(list);
}
Value FIASKProductDiscountMessage::ToValue() const {
  return Value::Custom(kFIASKProductDiscountMessageTag, Value(toList()));
}
std::optional<FIASKProductDiscountMessage> FIASKProductDiscountMessage::FromValue(
    const Value& value) {
  return FromTagged<FIASKProductDiscountMessage>(value);
}
bool FIASKProductDiscountMessage::operator==(const FIASKProductDiscountMessage& o) const {
  return this == &o || (Same(price, o.price) && Same(priceLocale, o.priceLocale) &&
                        numberOfPeriods == o.numberOfPeriods && paymentMode == o.paymentMode &&
                        Same(subscriptionPeriod, o.subscriptionPeriod) &&
                        Same(identifier, o.identifier) && type == o.type);
}
uint64_t FIASKProductDiscountMessage::hash() const {
  return Hasher("FIASKProductDiscountMessage")
      .Add(price)
      .Add(priceLocale)
      .Int(numberOfPeriods)
      .Enum(paymentMode)
      .Add(subscriptionPeriod)
      .Add(identifier)
      .Enum(type)
      .value();
}
std::string FIASKProductDiscountMessage::description() const {
  return Describer("FIASKProductDiscountMessage")
      .Add("price", price)
      .Add("priceLocale", priceLocale)
      .Int("numberOfPeriods", numberOfPeriods)
      .Enum("paymentMode", paymentMode)
      .Add("subscriptionPeriod", subscriptionPeriod)
      .Add("identifier", identifier)
      .Enum("type", type)
      .Done();
}

// ---- FIASKProductMessage ----

ValueList FIASKProductMessage::toList() const {
  return {Field(productIdentifier),
          Field(localizedTitle),
          Field(localizedDescription),
          Field(priceLocale),
          Field(subscriptionGroupIdentifier),
          Field(price),
          Field(subscriptionPeriod),
          Field(introductoryPrice),
          Field(discounts)};
}
FIASKProductMessage FIASKProductMessage::fromList(const ValueList& list) {
  return Parse<FIASKProductMessage>(list, nullptr);
}
std::optional<FIASKProductMessage> FIASKProductMessage::nullableFromList(const Value& list) {
  return NullableFromList<FIASKProductMessage>(list);
}
Value FIASKProductMessage::ToValue() const {
  return Value::Custom(kFIASKProductMessageTag, Value(toList()));
}
std::optional<FIASKProductMessage> FIASKProductMessage::FromValue(const Value& value) {
  return FromTagged<FIASKProductMessage>(value);
}
bool FIASKProductMessage::operator==(const FIASKProductMessage& o) const {
  return this == &o ||
         (Same(productIdentifier, o.productIdentifier) && Same(localizedTitle, o.localizedTitle) &&
          Same(localizedDescription, o.localizedDescription) && Same(priceLocale, o.priceLocale) &&
          Same(subscriptionGroupIdentifier, o.subscriptionGroupIdentifier) &&
          Same(price, o.price) && Same(subscriptionPeriod, o.subscriptionPeriod) &&
          Same(introductoryPrice, o.introductoryPrice) && Same(discounts, o.discounts));
}
uint64_t FIASKProductMessage::hash() const {
  return Hasher("FIASKProductMessage")
      .Add(productIdentifier)
      .Add(localizedTitle)
      .Add(localizedDescription)
      .Add(priceLocale)
      .Add(subscriptionGroupIdentifier)
      .Add(price)
      .Add(subscriptionPeriod)
      .Add(introductoryPrice)
      .Add(discounts)
      .value();
}
std::string FIASKProductMessage::description() const {
  return Describer("FIASKProductMessage")
      .Add("productIdentifier", productIdentifier)
      .Add("localizedTitle", localizedTitle)
      .Add("localizedDescription", localizedDescription)
      .Add("priceLocale", priceLocale)
      .Add("subscriptionGroupIdentifier", subscriptionGroupIdentifier)
      .Add("price", price)
      .Add("subscriptionPeriod", subscriptionPeriod)
      .Add("introductoryPrice", introductoryPrice)
      .Add("discounts", discounts)
      .Done();
}

// ---- FIASKProductsResponseMessage ----

ValueList FIASKProductsResponseMessage::toList() const {
  return {Field(products), Field(invalidProductIdentifiers)};
}
FIASKProductsResponseMessage FIASKProductsResponseMessage::fromList(const ValueList& list) {
  return Parse<FIASKProductsResponseMessage>(list, nullptr);
}
std::optional<FIASKProductsResponseMessage> FIASKProductsResponseMessage::nullableFromList(
    const Value& list) {
  return NullableFromList<FIASKProductsResponseMessage>(list);
}
Value FIASKProductsResponseMessage::ToValue() const {
  return Value::Custom(kFIASKProductsResponseMessageTag, Value(toList()));
}
std::optional<FIASKProductsResponseMessage> FIASKProductsResponseMessage::FromValue(
    const Value& value) {
  return FromTagged<FIASKProductsResponseMessage>(value);
}
bool FIASKProductsResponseMessage::operator==(const FIASKProductsResponseMessage& o) const {
  return this == &o || (Same(products, o.products) &&
                        Same(invalidProductIdentifiers, o.invalidProductIdentifiers));
}
uint64_t FIASKProductsResponseMessage::hash() const {
  return Hasher("FIASKProductsResponseMessage")
      .Add(products)
      .Add(invalidProductIdentifiers)
      .value();
}
std::string FIASKProductsResponseMessage::description() const {
  return Describer("FIASKProductsResponseMessage")
      .Add("products", products)
      .Add("invalidProductIdentifiers", invalidProductIdentifiers)
      .Done();
}

// ---- The codec ----

const StandardCodec& FIAGetMessagesCodec() {
  // Never destroyed: channels may still encode while statics are torn down.
  static const StandardCodec* const codec =
      new StandardCodec(std::make_shared<FIAMessagesPigeonCodecReaderWriter>());
  return *codec;
}

}  // namespace kelvo
