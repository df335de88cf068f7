#include "services/store/store_kit2_messages.h"

#include <cmath>
#include <iterator>
#include <memory>
#include <type_traits>
#include <utility>

#include "services/store/messages.h"

namespace kelvo {
namespace {

// ---- Enumerations ----

template <typename E>
struct EnumTraits;
template <>
struct EnumTraits<SK2ProductTypeMessage> {
  static constexpr uint8_t kTag = kSK2ProductTypeMessageTag;
  static constexpr const char* kName = "SK2ProductTypeMessage";
  static constexpr const char* kMembers[] = {"consumable", "nonConsumable", "nonRenewable",
                                             "autoRenewable"};
};
template <>
struct EnumTraits<SK2SubscriptionOfferTypeMessage> {
  static constexpr uint8_t kTag = kSK2SubscriptionOfferTypeMessageTag;
  static constexpr const char* kName = "SK2SubscriptionOfferTypeMessage";
  static constexpr const char* kMembers[] = {"introductory", "promotional", "winBack"};
};
template <>
struct EnumTraits<SK2SubscriptionOfferPaymentModeMessage> {
  static constexpr uint8_t kTag = kSK2SubscriptionOfferPaymentModeMessageTag;
  static constexpr const char* kName = "SK2SubscriptionOfferPaymentModeMessage";
  static constexpr const char* kMembers[] = {"payAsYouGo", "payUpFront", "freeTrial"};
};
template <>
struct EnumTraits<SK2SubscriptionPeriodUnitMessage> {
  static constexpr uint8_t kTag = kSK2SubscriptionPeriodUnitMessageTag;
  static constexpr const char* kName = "SK2SubscriptionPeriodUnitMessage";
  static constexpr const char* kMembers[] = {"day", "week", "month", "year"};
};
template <>
struct EnumTraits<SK2ProductPurchaseResultMessage> {
  static constexpr uint8_t kTag = kSK2ProductPurchaseResultMessageTag;
  static constexpr const char* kName = "SK2ProductPurchaseResultMessage";
  static constexpr const char* kMembers[] = {"success", "unverified", "userCancelled", "pending"};
};
template <>
struct EnumTraits<SK2PurchaseStatusMessage> {
  static constexpr uint8_t kTag = kSK2PurchaseStatusMessageTag;
  static constexpr const char* kName = "SK2PurchaseStatusMessage";
  static constexpr const char* kMembers[] = {"purchased", "pending", "cancelled", "restored"};
};

template <typename E>
constexpr int64_t MemberCount() {
  return static_cast<int64_t>(std::size(EnumTraits<E>::kMembers));
}

template <typename E>
Value EnumToValue(E member) {
  return Value::Custom(EnumTraits<E>::kTag, Value(static_cast<int64_t>(member)));
}

template <typename E>
std::optional<E> EnumFromValue(const Value& value) {
  const auto* custom = value.get_if<CustomValue>();
  if (custom == nullptr || custom->tag != EnumTraits<E>::kTag) return std::nullopt;
  const Value& number = *custom->payload;
  if (!number.is_int() || number.as_int() < 0 || number.as_int() >= MemberCount<E>()) {
    return std::nullopt;
  }
  return static_cast<E>(number.as_int());
}

template <typename E>
std::string EnumName(E member) {
  const auto n = static_cast<int64_t>(member);
  if (n < 0 || n >= MemberCount<E>()) return "unknown(" + std::to_string(n) + ")";
  return EnumTraits<E>::kMembers[n];
}

// ---- Records ----

template <typename T>
struct Traits;
#define KELVO_SK2_RECORD(Type, fields)            \
  template <>                                     \
  struct Traits<Type> {                           \
    static constexpr uint8_t kTag = k##Type##Tag; \
    static constexpr const char* kName = #Type;   \
    static constexpr size_t kFields = fields;     \
  }
KELVO_SK2_RECORD(SK2SubscriptionOfferMessage, 6);
KELVO_SK2_RECORD(SK2SubscriptionPeriodMessage, 2);
KELVO_SK2_RECORD(SK2SubscriptionInfoMessage, 3);
KELVO_SK2_RECORD(SK2ProductMessage, 8);
KELVO_SK2_RECORD(SK2PriceLocaleMessage, 2);
KELVO_SK2_RECORD(SK2SubscriptionOfferSignatureMessage, 4);
KELVO_SK2_RECORD(SK2SubscriptionOfferPurchaseMessage, 2);
KELVO_SK2_RECORD(SK2ProductPurchaseOptionsMessage, 4);
KELVO_SK2_RECORD(SK2TransactionMessage, 11);
KELVO_SK2_RECORD(SK2ErrorMessage, 3);
#undef KELVO_SK2_RECORD

template <typename T>
T Parse(const ValueList& list, std::string* error);

// Reads a record's field list. Strict when given an error sink: the first
// problem is recorded there and the field reads as its zero value; lenient
// (no checks) without one.
class Fields {
 public:
  Fields(const ValueList& list, const char* type, std::string* error)
      : list_(list), type_(type), error_(error) {}

  std::string String(size_t i, const char* field) {
    return Required(OptString(i, field), i, field, "a string");
  }
  std::optional<std::string> OptString(size_t i, const char* field) {
    const Value& v = At(i);
    if (const auto* s = v.get_if<std::string>()) return *s;
    Expect(v, field, "a string");
    return std::nullopt;
  }

  int64_t Int(size_t i, const char* field) {
    return Required(OptInt(i, field), i, field, "an integer");
  }
  std::optional<int64_t> OptInt(size_t i, const char* field) {
    const Value& v = At(i);
    if (v.is_int()) return v.as_int();
    Expect(v, field, "an integer");
    return std::nullopt;
  }

  double Double(size_t i, const char* field) {
    return Required(OptDouble(i, field), i, field, "a double");
  }
  std::optional<double> OptDouble(size_t i, const char* field) {
    const Value& v = At(i);
    if (v.is_double()) return v.as_double();
    if (v.is_int()) return static_cast<double>(v.as_int());
    Expect(v, field, "a double");
    return std::nullopt;
  }

  template <typename E>
  E Enum(size_t i, const char* field) {
    const Value& v = At(i);
    if (auto member = EnumFromValue<E>(v)) return *member;
    Fail(field, std::string("a ") + EnumTraits<E>::kName);
    return static_cast<E>(0);
  }

  template <typename T>
  T Record(size_t i, const char* field) {
    return Required(OptRecord<T>(i, field), i, field, std::string("a ") + Traits<T>::kName);
  }
  template <typename T>
  std::optional<T> OptRecord(size_t i, const char* field) {
    const Value& v = At(i);
    if (v.is_null()) return std::nullopt;
    return Nested<T>(v, field);
  }

  template <typename T>
  std::vector<T> RecordList(size_t i, const char* field) {
    const Value& v = At(i);
    const auto* list = v.get_if<ValueList>();
    if (list == nullptr) {
      Fail(field, std::string("a list of ") + Traits<T>::kName);
      return {};
    }
    std::vector<T> out;
    out.reserve(list->size());
    for (const Value& element : *list) {
      if (auto record = Nested<T>(element, field)) out.push_back(std::move(*record));
    }
    return out;
  }

  std::optional<ValueMap> OptStringKeyedMap(size_t i, const char* field) {
    const Value& v = At(i);
    const auto* map = v.get_if<ValueMap>();
    if (map == nullptr) {
      Expect(v, field, "a map");
      return std::nullopt;
    }
    for (const auto& entry : *map) {
      if (!entry.first.is_string()) {
        Fail(field, "a map with string keys");
        break;
      }
    }
    return *map;
  }

 private:
  const Value& At(size_t i) const {
    static const Value kNull;
    return i < list_.size() ? list_[i] : kNull;
  }

  template <typename V>
  V Required(std::optional<V> value, size_t i, const char* field, const std::string& expected) {
    if (value) return std::move(*value);
    if (At(i).is_null()) Fail(field, expected);  // a wrong type has already failed
    return V{};
  }

  void Expect(const Value& v, const char* field, const std::string& expected) {
    if (!v.is_null()) Fail(field, expected);
  }

  void Fail(const char* field, const std::string& expected) {
    if (error_ != nullptr && error_->empty()) {
      *error_ = std::string(type_) + "." + field + ": expected " + expected;
    }
  }

  template <typename T>
  std::optional<T> Nested(const Value& v, const char* field) {
    const auto* custom = v.get_if<CustomValue>();
    const ValueList* list = custom != nullptr && custom->tag == Traits<T>::kTag
                                ? custom->payload->get_if<ValueList>()
                                : nullptr;
    if (list == nullptr || (error_ != nullptr && list->size() != Traits<T>::kFields)) {
      Fail(field, std::string("a ") + Traits<T>::kName);
      return std::nullopt;
    }
    return Parse<T>(*list, error_);
  }

  const ValueList& list_;
  const char* type_;
  std::string* error_;
};

template <>
SK2SubscriptionPeriodMessage Parse(const ValueList& list, std::string* error) {
  Fields f(list, "SK2SubscriptionPeriodMessage", error);
  SK2SubscriptionPeriodMessage m;
  m.value = f.Int(0, "value");
  m.unit = f.Enum<SK2SubscriptionPeriodUnitMessage>(1, "unit");
  return m;
}

template <>
SK2SubscriptionOfferMessage Parse(const ValueList& list, std::string* error) {
  Fields f(list, "SK2SubscriptionOfferMessage", error);
  SK2SubscriptionOfferMessage m;
  m.id = f.OptString(0, "id");
  m.price = f.Double(1, "price");
  m.type = f.Enum<SK2SubscriptionOfferTypeMessage>(2, "type");
  m.period = f.Record<SK2SubscriptionPeriodMessage>(3, "period");
  m.periodCount = f.Int(4, "periodCount");
  m.paymentMode = f.Enum<SK2SubscriptionOfferPaymentModeMessage>(5, "paymentMode");
  return m;
}

template <>
SK2SubscriptionInfoMessage Parse(const ValueList& list, std::string* error) {
  Fields f(list, "SK2SubscriptionInfoMessage", error);
  SK2SubscriptionInfoMessage m;
  m.promotionalOffers = f.RecordList<SK2SubscriptionOfferMessage>(0, "promotionalOffers");
  m.subscriptionGroupID = f.String(1, "subscriptionGroupID");
  m.subscriptionPeriod = f.Record<SK2SubscriptionPeriodMessage>(2, "subscriptionPeriod");
  return m;
}

template <>
SK2PriceLocaleMessage Parse(const ValueList& list, std::string* error) {
  Fields f(list, "SK2PriceLocaleMessage", error);
  SK2PriceLocaleMessage m;
  m.currencyCode = f.String(0, "currencyCode");
  m.currencySymbol = f.String(1, "currencySymbol");
  return m;
}

template <>
SK2ProductMessage Parse(const ValueList& list, std::string* error) {
  Fields f(list, "SK2ProductMessage", error);
  SK2ProductMessage m;
  m.id = f.String(0, "id");
  m.displayName = f.String(1, "displayName");
  m.localizedDescription = f.String(2, "localizedDescription");
  m.price = f.Double(3, "price");
  m.displayPrice = f.String(4, "displayPrice");
  m.type = f.Enum<SK2ProductTypeMessage>(5, "type");
  m.subscription = f.OptRecord<SK2SubscriptionInfoMessage>(6, "subscription");
  m.priceLocale = f.Record<SK2PriceLocaleMessage>(7, "priceLocale");
  return m;
}

template <>
SK2SubscriptionOfferSignatureMessage Parse(const ValueList& list, std::string* error) {
  Fields f(list, "SK2SubscriptionOfferSignatureMessage", error);
  SK2SubscriptionOfferSignatureMessage m;
  m.keyID = f.String(0, "keyID");
  m.nonce = f.String(1, "nonce");
  m.timestamp = f.Int(2, "timestamp");
  m.signature = f.String(3, "signature");
  return m;
}

template <>
SK2SubscriptionOfferPurchaseMessage Parse(const ValueList& list, std::string* error) {
  Fields f(list, "SK2SubscriptionOfferPurchaseMessage", error);
  SK2SubscriptionOfferPurchaseMessage m;
  m.promotionalOfferId = f.String(0, "promotionalOfferId");
  m.promotionalOfferSignature =
      f.Record<SK2SubscriptionOfferSignatureMessage>(1, "promotionalOfferSignature");
  return m;
}

template <>
SK2ProductPurchaseOptionsMessage Parse(const ValueList& list, std::string* error) {
  Fields f(list, "SK2ProductPurchaseOptionsMessage", error);
  SK2ProductPurchaseOptionsMessage m;
  m.appAccountToken = f.OptString(0, "appAccountToken");
  m.quantity = f.OptInt(1, "quantity");
  m.promotionalOffer = f.OptRecord<SK2SubscriptionOfferPurchaseMessage>(2, "promotionalOffer");
  m.winBackOfferId = f.OptString(3, "winBackOfferId");
  return m;
}

template <>
SK2ErrorMessage Parse(const ValueList& list, std::string* error) {
  Fields f(list, "SK2ErrorMessage", error);
  SK2ErrorMessage m;
  m.code = f.Int(0, "code");
  m.domain = f.String(1, "domain");
  m.userInfo = f.OptStringKeyedMap(2, "userInfo");
  return m;
}

template <>
SK2TransactionMessage Parse(const ValueList& list, std::string* error) {
  Fields f(list, "SK2TransactionMessage", error);
  SK2TransactionMessage m;
  m.id = f.Int(0, "id");
  m.originalId = f.Int(1, "originalId");
  m.productId = f.String(2, "productId");
  m.purchaseDate = f.OptDouble(3, "purchaseDate");
  m.expirationDate = f.OptDouble(4, "expirationDate");
  m.purchasedQuantity = f.Int(5, "purchasedQuantity");
  m.appAccountToken = f.OptString(6, "appAccountToken");
  m.receiptData = f.OptString(7, "receiptData");
  m.error = f.OptRecord<SK2ErrorMessage>(8, "error");
  m.jsonRepresentation = f.OptString(9, "jsonRepresentation");
  m.status = f.Enum<SK2PurchaseStatusMessage>(10, "status");
  return m;
}

// A complete, well-typed field list of T, or the first problem.
template <typename T>
std::optional<T> ParseStrict(const ValueList& list, std::string* error) {
  if (list.size() != Traits<T>::kFields) {
    *error = std::string(Traits<T>::kName) + ": expected a list of " +
             std::to_string(Traits<T>::kFields) + " fields, got " + std::to_string(list.size());
    return std::nullopt;
  }
  T record = Parse<T>(list, error);
  if (!error->empty()) return std::nullopt;
  return record;
}

template <typename T>
std::optional<T> FromTagged(const Value& value) {
  const auto* custom = value.get_if<CustomValue>();
  if (custom == nullptr || custom->tag != Traits<T>::kTag) return std::nullopt;
  const auto* list = custom->payload->get_if<ValueList>();
  if (list == nullptr) return std::nullopt;
  std::string error;
  return ParseStrict<T>(*list, &error);
}

template <typename T>
Result<Value> ReadRecord(const Value& payload, size_t at) {
  const auto* list = payload.get_if<ValueList>();
  if (list == nullptr) {
    return DecodeError{std::string(Traits<T>::kName) + ": expected a field list", at};
  }
  std::string error;
  std::optional<T> record = ParseStrict<T>(*list, &error);
  if (!record) return DecodeError{std::move(error), at};
  return record->ToValue();
}

template <typename E>
Result<Value> ReadEnum(const Value& payload, size_t at) {
  if (payload.is_null()) return Value();
  if (!payload.is_int()) {
    return DecodeError{std::string(EnumTraits<E>::kName) + ": expected an integer", at};
  }
  if (payload.as_int() < 0 || payload.as_int() >= MemberCount<E>()) return Value();
  return EnumToValue(static_cast<E>(payload.as_int()));
}

class StoreKit2MessagesPigeonCodecReaderWriter final : public ReaderWriter {
 public:
  // Writing needs nothing of its own: enumerations and records are already
  // custom values whose payload is what follows the tag.
  Result<Value> ReadValueOfType(const StandardCodec& codec, uint8_t type, ByteReader& r,
                                int depth) const override {
    const size_t at = r.position();
    if (type < kSK2ProductTypeMessageTag || type > kSK2ErrorMessageTag) {
      return DecodeError{"unknown type byte " + std::to_string(type), at};
    }
    Result<Value> payload = codec.ReadValue(r, depth + 1);
    if (!payload.ok()) return payload;
    const Value& v = payload.value();
    switch (type) {
      case kSK2ProductTypeMessageTag:
        return ReadEnum<SK2ProductTypeMessage>(v, at);
      case kSK2SubscriptionOfferTypeMessageTag:
        return ReadEnum<SK2SubscriptionOfferTypeMessage>(v, at);
      case kSK2SubscriptionOfferPaymentModeMessageTag:
        return ReadEnum<SK2SubscriptionOfferPaymentModeMessage>(v, at);
      case kSK2SubscriptionPeriodUnitMessageTag:
        return ReadEnum<SK2SubscriptionPeriodUnitMessage>(v, at);
      case kSK2ProductPurchaseResultMessageTag:
        return ReadEnum<SK2ProductPurchaseResultMessage>(v, at);
      case kSK2PurchaseStatusMessageTag:
        return ReadEnum<SK2PurchaseStatusMessage>(v, at);
      case kSK2SubscriptionOfferMessageTag:
        return ReadRecord<SK2SubscriptionOfferMessage>(v, at);
      case kSK2SubscriptionPeriodMessageTag:
        return ReadRecord<SK2SubscriptionPeriodMessage>(v, at);
      case kSK2SubscriptionInfoMessageTag:
        return ReadRecord<SK2SubscriptionInfoMessage>(v, at);
      case kSK2ProductMessageTag:
        return ReadRecord<SK2ProductMessage>(v, at);
      case kSK2PriceLocaleMessageTag:
        return ReadRecord<SK2PriceLocaleMessage>(v, at);
      case kSK2SubscriptionOfferSignatureMessageTag:
        return ReadRecord<SK2SubscriptionOfferSignatureMessage>(v, at);
      case kSK2SubscriptionOfferPurchaseMessageTag:
        return ReadRecord<SK2SubscriptionOfferPurchaseMessage>(v, at);
      case kSK2ProductPurchaseOptionsMessageTag:
        return ReadRecord<SK2ProductPurchaseOptionsMessage>(v, at);
      case kSK2TransactionMessageTag:
        return ReadRecord<SK2TransactionMessage>(v, at);
      default:
        return ReadRecord<SK2ErrorMessage>(v, at);
    }
  }
};

// ---- Writing, comparing, hashing and describing fields ----

Value Field(const std::string& s) { return Value(s); }
Value Field(int64_t n) { return Value(n); }
Value Field(double d) { return Value(d); }
template <typename E>
requires std::is_enum_v<E> Value Field(E member) { return EnumToValue(member); }
Value Field(const ValueMap& m) { return Value(m); }
template <typename T>
requires requires(const T& t) { t.toList(); }
Value Field(const T& record) { return record.ToValue(); }
template <typename T>
Value Field(const std::vector<T>& list) {
  ValueList out;
  out.reserve(list.size());
  for (const T& element : list) out.push_back(Field(element));
  return Value(std::move(out));
}
template <typename T>
Value Field(const std::optional<T>& v) {
  return v ? Field(*v) : Value();
}

bool Same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }
bool Same(const ValueMap& a, const ValueMap& b) { return FLTPigeonDeepEquals(Value(a), Value(b)); }
template <typename T>
bool Same(const T& a, const T& b) {
  return a == b;
}
template <typename T>
bool Same(const std::vector<T>& a, const std::vector<T>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (!Same(a[i], b[i])) return false;
  }
  return true;
}
template <typename T>
bool Same(const std::optional<T>& a, const std::optional<T>& b) {
  if (!a || !b) return !a && !b;
  return Same(*a, *b);
}

uint64_t FieldHash(const std::string& s) { return FLTPigeonStringHash(s); }
uint64_t FieldHash(int64_t n) { return static_cast<uint64_t>(n); }
uint64_t FieldHash(double d) { return FLTPigeonNumberHash(d); }
template <typename E>
requires std::is_enum_v<E> uint64_t FieldHash(E member) { return static_cast<uint64_t>(member); }
uint64_t FieldHash(const ValueMap& m) { return FLTPigeonDeepHash(Value(m)); }
template <typename T>
requires requires(const T& t) { t.hash(); }
uint64_t FieldHash(const T& record) { return record.hash(); }
template <typename T>
uint64_t FieldHash(const std::vector<T>& list) {
  uint64_t h = 1;
  for (const T& element : list) h = h * 31 + FieldHash(element);
  return h;
}
template <typename T>
uint64_t FieldHash(const std::optional<T>& v) {
  return v ? FieldHash(*v) : 0;
}

template <typename... F>
uint64_t HashOf(const char* type, const F&... fields) {
  uint64_t h = FLTPigeonStringHash(type);
  ((h = h * 31 + FieldHash(fields)), ...);
  return h;
}

std::string Text(const std::string& s) { return s; }
std::string Text(int64_t n) { return std::to_string(n); }
std::string Text(double d) { return FLTPigeonDescribe(Value(d)); }
template <typename E>
requires std::is_enum_v<E> std::string Text(E member) { return EnumName(member); }
std::string Text(const ValueMap& m) { return FLTPigeonDescribe(Value(m), "nil"); }
template <typename T>
requires requires(const T& t) { t.description(); }
std::string Text(const T& record) { return record.description(); }
template <typename T>
std::string Text(const std::vector<T>& list) {
  std::string out = "[";
  for (size_t i = 0; i < list.size(); ++i) {
    if (i != 0) out += ", ";
    out += Text(list[i]);
  }
  return out + "]";
}
template <typename T>
std::string Text(const std::optional<T>& v) {
  return v ? Text(*v) : "nil";
}

void AppendFields(std::string&, bool) {}
template <typename F, typename... Rest>
void AppendFields(std::string& out, bool first, const char* name, const F& field,
                  const Rest&... rest) {
  if (!first) out += ", ";
  out += name;
  out += ": ";
  out += Text(field);
  AppendFields(out, false, rest...);
}

// "Type(name: value, ...)" from alternating names and fields.
template <typename... F>
std::string Describe(const char* type, const F&... names_and_fields) {
  std::string out = std::string(type) + "(";
  AppendFields(out, true, names_and_fields...);
  return out + ")";
}

}  // namespace

// ---- Enumerations ----

Value ToValue(SK2ProductTypeMessage member) { return EnumToValue(member); }
Value ToValue(SK2SubscriptionOfferTypeMessage member) { return EnumToValue(member); }
Value ToValue(SK2SubscriptionOfferPaymentModeMessage member) { return EnumToValue(member); }
Value ToValue(SK2SubscriptionPeriodUnitMessage member) { return EnumToValue(member); }
Value ToValue(SK2ProductPurchaseResultMessage member) { return EnumToValue(member); }
Value ToValue(SK2PurchaseStatusMessage member) { return EnumToValue(member); }

std::optional<SK2ProductTypeMessage> SK2ProductTypeMessageFromValue(const Value& value) {
  return EnumFromValue<SK2ProductTypeMessage>(value);
}
std::optional<SK2SubscriptionOfferTypeMessage> SK2SubscriptionOfferTypeMessageFromValue(
    const Value& value) {
  return EnumFromValue<SK2SubscriptionOfferTypeMessage>(value);
}
std::optional<SK2SubscriptionOfferPaymentModeMessage>
SK2SubscriptionOfferPaymentModeMessageFromValue(const Value& value) {
  return EnumFromValue<SK2SubscriptionOfferPaymentModeMessage>(value);
}
std::optional<SK2SubscriptionPeriodUnitMessage> SK2SubscriptionPeriodUnitMessageFromValue(
    const Value& value) {
  return EnumFromValue<SK2SubscriptionPeriodUnitMessage>(value);
}
std::optional<SK2ProductPurchaseResultMessage> SK2ProductPurchaseResultMessageFromValue(
    const Value& value) {
  return EnumFromValue<SK2ProductPurchaseResultMessage>(value);
}
std::optional<SK2PurchaseStatusMessage> SK2PurchaseStatusMessageFromValue(const Value& value) {
  return EnumFromValue<SK2PurchaseStatusMessage>(value);
}

std::string ToString(SK2ProductTypeMessage member) { return EnumName(member); }
std::string ToString(SK2SubscriptionOfferTypeMessage member) { return EnumName(member); }
std::string ToString(SK2SubscriptionOfferPaymentModeMessage member) { return EnumName(member); }
std::string ToString(SK2SubscriptionPeriodUnitMessage member) { return EnumName(member); }
std::string ToString(SK2ProductPurchaseResultMessage member) { return EnumName(member); }
std::string ToString(SK2PurchaseStatusMessage member) { return EnumName(member); }

// ---- Records ----
// Each record lists its fields once per operation, in declaration order.

ValueList SK2SubscriptionPeriodMessage::toList() const { return {Field(value), Field(unit)}; }
SK2SubscriptionPeriodMessage SK2SubscriptionPeriodMessage::fromList(const ValueList& list) {
  return Parse<SK2SubscriptionPeriodMessage>(list, nullptr);
}
Value SK2SubscriptionPeriodMessage::ToValue() const {
  return Value::Custom(kSK2SubscriptionPeriodMessageTag, Value(toList()));
}
std::optional<SK2SubscriptionPeriodMessage> SK2SubscriptionPeriodMessage::FromValue(
    const Value& v) {
  return FromTagged<SK2SubscriptionPeriodMessage>(v);
}
bool SK2SubscriptionPeriodMessage::operator==(const SK2SubscriptionPeriodMessage& o) const {
  return value == o.value && unit == o.unit;
}
uint64_t SK2SubscriptionPeriodMessage::hash() const {
  return HashOf("SK2SubscriptionPeriodMessage", value, unit);
}
std::string SK2SubscriptionPeriodMessage::description() const {
  return Describe("SK2SubscriptionPeriodMessage", "value", value, "unit", unit);
}

ValueList SK2SubscriptionOfferMessage::toList() const {
  return {Field(id),     Field(price),       Field(type),
          Field(period), Field(periodCount), Field(paymentMode)};
}
SK2SubscriptionOfferMessage SK2SubscriptionOfferMessage::fromList(const ValueList& list) {
  return Parse<SK2SubscriptionOfferMessage>(list, nullptr);
}
Value SK2SubscriptionOfferMessage::ToValue() const {
  return Value::Custom(kSK2SubscriptionOfferMessageTag, Value(toList()));
}
std::optional<SK2SubscriptionOfferMessage> SK2SubscriptionOfferMessage::FromValue(const Value& v) {
  return FromTagged<SK2SubscriptionOfferMessage>(v);
}
bool SK2SubscriptionOfferMessage::operator==(const SK2SubscriptionOfferMessage& o) const {
  return Same(id, o.id) && Same(price, o.price) && type == o.type && Same(period, o.period) &&
         periodCount == o.periodCount && paymentMode == o.paymentMode;
}
uint64_t SK2SubscriptionOfferMessage::hash() const {
  return HashOf("SK2SubscriptionOfferMessage", id, price, type, period, periodCount, paymentMode);
}
std::string SK2SubscriptionOfferMessage::description() const {
  return Describe("SK2SubscriptionOfferMessage", "id", id, "price", price, "type", type, "period",
                  period, "periodCount", periodCount, "paymentMode", paymentMode);
}

ValueList SK2SubscriptionInfoMessage::toList() const {
  return {Field(promotionalOffers), Field(subscriptionGroupID), Field(subscriptionPeriod)};
}
SK2SubscriptionInfoMessage SK2SubscriptionInfoMessage::fromList(const ValueList& list) {
  return Parse<SK2SubscriptionInfoMessage>(list, nullptr);
}
Value SK2SubscriptionInfoMessage::ToValue() const {
  return Value::Custom(kSK2SubscriptionInfoMessageTag, Value(toList()));
}
std::optional<SK2SubscriptionInfoMessage> SK2SubscriptionInfoMessage::FromValue(const Value& v) {
  return FromTagged<SK2SubscriptionInfoMessage>(v);
}
bool SK2SubscriptionInfoMessage::operator==(const SK2SubscriptionInfoMessage& o) const {
  return Same(promotionalOffers, o.promotionalOffers) &&
         subscriptionGroupID == o.subscriptionGroupID &&
         Same(subscriptionPeriod, o.subscriptionPeriod);
}
uint64_t SK2SubscriptionInfoMessage::hash() const {
  return HashOf("SK2SubscriptionInfoMessage", promotionalOffers, subscriptionGroupID,
                subscriptionPeriod);
}
std::string SK2SubscriptionInfoMessage::description() const {
  return Describe("SK2SubscriptionInfoMessage", "promotionalOffers", promotionalOffers,
                  "subscriptionGroupID", subscriptionGroupID, "subscriptionPeriod",
                  subscriptionPeriod);
}

ValueList SK2PriceLocaleMessage::toList() const {
  return {Field(currencyCode), Field(currencySymbol)};
}
SK2PriceLocaleMessage SK2PriceLocaleMessage::fromList(const ValueList& list) {
  return Parse<SK2PriceLocaleMessage>(list, nullptr);
}
Value SK2PriceLocaleMessage::ToValue() const {
  return Value::Custom(kSK2PriceLocaleMessageTag, Value(toList()));
}
std::optional<SK2PriceLocaleMessage> SK2PriceLocaleMessage::FromValue(const Value& v) {
  return FromTagged<SK2PriceLocaleMessage>(v);
}
bool SK2PriceLocaleMessage::operator==(const SK2PriceLocaleMessage& o) const {
  return currencyCode == o.currencyCode && currencySymbol == o.currencySymbol;
}
uint64_t SK2PriceLocaleMessage::hash() const {
  return HashOf("SK2PriceLocaleMessage", currencyCode, currencySymbol);
}
std::string SK2PriceLocaleMessage::description() const {
  return Describe("SK2PriceLocaleMessage", "currencyCode", currencyCode, "currencySymbol",
                  currencySymbol);
}

ValueList SK2ProductMessage::toList() const {
  return {Field(id),           Field(displayName), Field(localizedDescription), Field(price),
          Field(displayPrice), Field(type),        Field(subscription),         Field(priceLocale)};
}
SK2ProductMessage SK2ProductMessage::fromList(const ValueList& list) {
  return Parse<SK2ProductMessage>(list, nullptr);
}
Value SK2ProductMessage::ToValue() const {
  return Value::Custom(kSK2ProductMessageTag, Value(toList()));
}
std::optional<SK2ProductMessage> SK2ProductMessage::FromValue(const Value& v) {
  return FromTagged<SK2ProductMessage>(v);
}
bool SK2ProductMessage::operator==(const SK2ProductMessage& o) const {
  return id == o.id && displayName == o.displayName &&
         localizedDescription == o.localizedDescription && Same(price, o.price) &&
         displayPrice == o.displayPrice && type == o.type && Same(subscription, o.subscription) &&
         Same(priceLocale, o.priceLocale);
}
uint64_t SK2ProductMessage::hash() const {
  return HashOf("SK2ProductMessage", id, displayName, localizedDescription, price, displayPrice,
                type, subscription, priceLocale);
}
std::string SK2ProductMessage::description() const {
  return Describe("SK2ProductMessage", "id", id, "displayName", displayName, "localizedDescription",
                  localizedDescription, "price", price, "displayPrice", displayPrice, "type", type,
                  "subscription", subscription, "priceLocale", priceLocale);
}

ValueList SK2SubscriptionOfferSignatureMessage::toList() const {
  return {Field(keyID), Field(nonce), Field(timestamp), Field(signature)};
}
SK2SubscriptionOfferSignatureMessage SK2SubscriptionOfferSignatureMessage::fromList(
    const ValueList& list) {
  return Parse<SK2SubscriptionOfferSignatureMessage>(list, nullptr);
}
Value SK2SubscriptionOfferSignatureMessage::ToValue() const {
  return Value::Custom(kSK2SubscriptionOfferSignatureMessageTag, Value(toList()));
}
std::optional<SK2SubscriptionOfferSignatureMessage> SK2SubscriptionOfferSignatureMessage::FromValue(
    const Value& v) {
  return FromTagged<SK2SubscriptionOfferSignatureMessage>(v);
}
bool SK2SubscriptionOfferSignatureMessage::operator==(
    const SK2SubscriptionOfferSignatureMessage& o) const {
  return keyID == o.keyID && nonce == o.nonce && timestamp == o.timestamp &&
         signature == o.signature;
}
uint64_t SK2SubscriptionOfferSignatureMessage::hash() const {
  return HashOf("SK2SubscriptionOfferSignatureMessage", keyID, nonce, timestamp, signature);
}
std::string SK2SubscriptionOfferSignatureMessage::description() const {
  return Describe("SK2SubscriptionOfferSignatureMessage", "keyID", keyID, "nonce", nonce,
                  "timestamp", timestamp, "signature", signature);
}

ValueList SK2SubscriptionOfferPurchaseMessage::toList() const {
  return {Field(promotionalOfferId), Field(promotionalOfferSignature)};
}
SK2SubscriptionOfferPurchaseMessage SK2SubscriptionOfferPurchaseMessage::fromList(
    const ValueList& list) {
  return Parse<SK2SubscriptionOfferPurchaseMessage>(list, nullptr);
}
Value SK2SubscriptionOfferPurchaseMessage::ToValue() const {
  return Value::Custom(kSK2SubscriptionOfferPurchaseMessageTag, Value(toList()));
}
std::optional<SK2SubscriptionOfferPurchaseMessage> SK2SubscriptionOfferPurchaseMessage::FromValue(
    const Value& v) {
  return FromTagged<SK2SubscriptionOfferPurchaseMessage>(v);
}
bool SK2SubscriptionOfferPurchaseMessage::operator==(
    const SK2SubscriptionOfferPurchaseMessage& o) const {
  return promotionalOfferId == o.promotionalOfferId &&
         promotionalOfferSignature == o.promotionalOfferSignature;
}
uint64_t SK2SubscriptionOfferPurchaseMessage::hash() const {
  return HashOf("SK2SubscriptionOfferPurchaseMessage", promotionalOfferId,
                promotionalOfferSignature);
}
std::string SK2SubscriptionOfferPurchaseMessage::description() const {
  return Describe("SK2SubscriptionOfferPurchaseMessage", "promotionalOfferId", promotionalOfferId,
                  "promotionalOfferSignature", promotionalOfferSignature);
}

ValueList SK2ProductPurchaseOptionsMessage::toList() const {
  return {Field(appAccountToken), Field(quantity), Field(promotionalOffer), Field(winBackOfferId)};
}
SK2ProductPurchaseOptionsMessage SK2ProductPurchaseOptionsMessage::fromList(const ValueList& list) {
  return Parse<SK2ProductPurchaseOptionsMessage>(list, nullptr);
}
Value SK2ProductPurchaseOptionsMessage::ToValue() const {
  return Value::Custom(kSK2ProductPurchaseOptionsMessageTag, Value(toList()));
}
std::optional<SK2ProductPurchaseOptionsMessage> SK2ProductPurchaseOptionsMessage::FromValue(
    const Value& v) {
  return FromTagged<SK2ProductPurchaseOptionsMessage>(v);
}
bool SK2ProductPurchaseOptionsMessage::operator==(const SK2ProductPurchaseOptionsMessage& o) const {
  return appAccountToken == o.appAccountToken && quantity == o.quantity &&
         Same(promotionalOffer, o.promotionalOffer) && winBackOfferId == o.winBackOfferId;
}
uint64_t SK2ProductPurchaseOptionsMessage::hash() const {
  return HashOf("SK2ProductPurchaseOptionsMessage", appAccountToken, quantity, promotionalOffer,
                winBackOfferId);
}
std::string SK2ProductPurchaseOptionsMessage::description() const {
  return Describe("SK2ProductPurchaseOptionsMessage", "appAccountToken", appAccountToken,
                  "quantity", quantity, "promotionalOffer", promotionalOffer, "winBackOfferId",
                  winBackOfferId);
}

ValueList SK2ErrorMessage::toList() const { return {Field(code), Field(domain), Field(userInfo)}; }
SK2ErrorMessage SK2ErrorMessage::fromList(const ValueList& list) {
  return Parse<SK2ErrorMessage>(list, nullptr);
}
Value SK2ErrorMessage::ToValue() const {
  return Value::Custom(kSK2ErrorMessageTag, Value(toList()));
}
std::optional<SK2ErrorMessage> SK2ErrorMessage::FromValue(const Value& v) {
  return FromTagged<SK2ErrorMessage>(v);
}
bool SK2ErrorMessage::operator==(const SK2ErrorMessage& o) const {
  return code == o.code && domain == o.domain && Same(userInfo, o.userInfo);
}
uint64_t SK2ErrorMessage::hash() const { return HashOf("SK2ErrorMessage", code, domain, userInfo); }
std::string SK2ErrorMessage::description() const {
  return Describe("SK2ErrorMessage", "code", code, "domain", domain, "userInfo", userInfo);
}

ValueList SK2TransactionMessage::toList() const {
  return {Field(id),
          Field(originalId),
          Field(productId),
          Field(purchaseDate),
          Field(expirationDate),
          Field(purchasedQuantity),
          Field(appAccountToken),
          Field(receiptData),
          Field(error),
          Field(jsonRepresentation),
          Field(status)};
}
SK2TransactionMessage SK2TransactionMessage::fromList(const ValueList& list) {
  return Parse<SK2TransactionMessage>(list, nullptr);
}
Value SK2TransactionMessage::ToValue() const {
  return Value::Custom(kSK2TransactionMessageTag, Value(toList()));
}
std::optional<SK2TransactionMessage> SK2TransactionMessage::FromValue(const Value& v) {
  return FromTagged<SK2TransactionMessage>(v);
}
bool SK2TransactionMessage::operator==(const SK2TransactionMessage& o) const {
  return id == o.id && originalId == o.originalId && productId == o.productId &&
         Same(purchaseDate, o.purchaseDate) && Same(expirationDate, o.expirationDate) &&
         purchasedQuantity == o.purchasedQuantity && appAccountToken == o.appAccountToken &&
         receiptData == o.receiptData && Same(error, o.error) &&
         jsonRepresentation == o.jsonRepresentation && status == o.status;
}
uint64_t SK2TransactionMessage::hash() const {
  return HashOf("SK2TransactionMessage", id, originalId, productId, purchaseDate, expirationDate,
                purchasedQuantity, appAccountToken, receiptData, error, jsonRepresentation, status);
}
std::string SK2TransactionMessage::description() const {
  return Describe("SK2TransactionMessage", "id", id, "originalId", originalId, "productId",
                  productId, "purchaseDate", purchaseDate, "expirationDate", expirationDate,
                  "purchasedQuantity", purchasedQuantity, "appAccountToken", appAccountToken,
                  "receiptData", receiptData, "error", error, "jsonRepresentation",
                  jsonRepresentation, "status", status);
}

// ---- The codec ----

const StandardCodec& StoreKit2MessagesPigeonCodec() {
  // Never destroyed: channels may still encode while statics are torn down.
  static const StandardCodec* const codec =
      new StandardCodec(std::make_shared<StoreKit2MessagesPigeonCodecReaderWriter>());
  return *codec;
}

}  // namespace kelvo
