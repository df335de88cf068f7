#include "services/store/store_kit2_messages.h"

#include <cmath>
#include <iterator>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

#include "services/store/messages.h"

namespace kelvo {

// ---- The records, each described once: tag, name and fields in wire order ----

KELVO_STORE_RECORD_FIELDS(SK2SubscriptionPeriodMessage, RecordField("value", &T::value),
                          RecordField("unit", &T::unit));

KELVO_STORE_RECORD_FIELDS(SK2SubscriptionOfferMessage, RecordField("id", &T::id),
                          RecordField("price", &T::price), RecordField("type", &T::type),
                          RecordField("period", &T::period),
                          RecordField("periodCount", &T::periodCount),
                          RecordField("paymentMode", &T::paymentMode));

KELVO_STORE_RECORD_FIELDS(SK2SubscriptionInfoMessage,
                          RecordField("promotionalOffers", &T::promotionalOffers),
                          RecordField("subscriptionGroupID", &T::subscriptionGroupID),
                          RecordField("subscriptionPeriod", &T::subscriptionPeriod));

KELVO_STORE_RECORD_FIELDS(SK2PriceLocaleMessage, RecordField("currencyCode", &T::currencyCode),
                          RecordField("currencySymbol", &T::currencySymbol));

KELVO_STORE_RECORD_FIELDS(
    SK2ProductMessage, RecordField("id", &T::id), RecordField("displayName", &T::displayName),
    RecordField("localizedDescription", &T::localizedDescription), RecordField("price", &T::price),
    RecordField("displayPrice", &T::displayPrice), RecordField("type", &T::type),
    RecordField("subscription", &T::subscription), RecordField("priceLocale", &T::priceLocale));

KELVO_STORE_RECORD_FIELDS(SK2SubscriptionOfferSignatureMessage, RecordField("keyID", &T::keyID),
                          RecordField("nonce", &T::nonce), RecordField("timestamp", &T::timestamp),
                          RecordField("signature", &T::signature));

KELVO_STORE_RECORD_FIELDS(SK2SubscriptionOfferPurchaseMessage,
                          RecordField("promotionalOfferId", &T::promotionalOfferId),
                          RecordField("promotionalOfferSignature", &T::promotionalOfferSignature));

KELVO_STORE_RECORD_FIELDS(SK2ProductPurchaseOptionsMessage,
                          RecordField("appAccountToken", &T::appAccountToken),
                          RecordField("quantity", &T::quantity),
                          RecordField("promotionalOffer", &T::promotionalOffer),
                          RecordField("winBackOfferId", &T::winBackOfferId));

KELVO_STORE_RECORD_FIELDS(SK2ErrorMessage, RecordField("code", &T::code),
                          RecordField("domain", &T::domain), RecordField("userInfo", &T::userInfo));

KELVO_STORE_RECORD_FIELDS(
    SK2TransactionMessage, RecordField("id", &T::id), RecordField("originalId", &T::originalId),
    RecordField("productId", &T::productId), RecordField("purchaseDate", &T::purchaseDate),
    RecordField("expirationDate", &T::expirationDate),
    RecordField("purchasedQuantity", &T::purchasedQuantity),
    RecordField("appAccountToken", &T::appAccountToken),
    RecordField("receiptData", &T::receiptData), RecordField("error", &T::error),
    RecordField("jsonRepresentation", &T::jsonRepresentation), RecordField("status", &T::status));

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

template <typename T>
T Parse(const ValueList& list, std::string* error);

// Reads a record's field list. Strict when given an error sink: the first
// problem is recorded there and the field reads as its zero value; lenient
// (no checks) without one.
class Fields : public FieldListReader {
 public:
  Fields(const ValueList& list, const char* type, std::string* error)
      : FieldListReader(list, type, error) {}

  // One Read per field type, in the generation's terms.
  void Read(size_t i, const char* field, std::string& out) { out = String(i, field); }
  void Read(size_t i, const char* field, std::optional<std::string>& out) {
    out = OptString(i, field);
  }
  void Read(size_t i, const char* field, int64_t& out) { out = Int(i, field); }
  void Read(size_t i, const char* field, std::optional<int64_t>& out) { out = OptInt(i, field); }
  void Read(size_t i, const char* field, double& out) { out = Double(i, field); }
  void Read(size_t i, const char* field, std::optional<double>& out) { out = OptDouble(i, field); }
  void Read(size_t i, const char* field, std::optional<ValueMap>& out) {
    out = OptStringKeyedMap(i, field);
  }
  template <typename E>
  requires std::is_enum_v<E>
  void Read(size_t i, const char* field, E& out) { out = Enum<E>(i, field); }
  template <typename T>
  requires requires(const T& t) { t.toList(); }
  void Read(size_t i, const char* field, T& out) { out = Record<T>(i, field); }
  template <typename T>
  void Read(size_t i, const char* field, std::optional<T>& out) {
    out = OptRecord<T>(i, field);
  }
  template <typename T>
  void Read(size_t i, const char* field, std::vector<T>& out) {
    out = RecordList<T>(i, field);
  }

 private:
  std::string String(size_t i, const char* field) {
    return Required(OptString(i, field), i, field, "a string");
  }
  int64_t Int(size_t i, const char* field) {
    return Required(OptInt(i, field), i, field, "an integer");
  }
  double Double(size_t i, const char* field) {
    return Required(OptDouble(i, field), i, field, "a double");
  }
  std::optional<double> OptDouble(size_t i, const char* field) {
    return OptNumber(i, field, "a double");
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
    return Required(OptRecord<T>(i, field), i, field, std::string("a ") + RecordFields<T>::kName);
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
      Fail(field, std::string("a list of ") + RecordFields<T>::kName);
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
    std::optional<ValueMap> map = OptMap(i, field);
    if (!map) return std::nullopt;
    for (const auto& entry : *map) {
      if (!entry.first.is_string()) {
        Fail(field, "a map with string keys");
        break;
      }
    }
    return map;
  }

  template <typename V>
  V Required(std::optional<V> value, size_t i, const char* field, const std::string& expected) {
    if (value) return std::move(*value);
    if (At(i).is_null()) Fail(field, expected);  // a wrong type has already failed
    return V{};
  }

  template <typename T>
  std::optional<T> Nested(const Value& v, const char* field) {
    const auto* custom = v.get_if<CustomValue>();
    const ValueList* list = custom != nullptr && custom->tag == RecordFields<T>::kTag
                                ? custom->payload->get_if<ValueList>()
                                : nullptr;
    if (list == nullptr || (strict() && list->size() != RecordFieldCount<T>())) {
      Fail(field, std::string("a ") + RecordFields<T>::kName);
      return std::nullopt;
    }
    return Parse<T>(*list, error());
  }
};

template <typename T>
T Parse(const ValueList& list, std::string* error) {
  Fields reader(list, RecordFields<T>::kName, error);
  return ReadFields<T>(reader);
}

// ---- How the second generation writes, compares, hashes and prints fields ----

struct SecondGeneration {
  static constexpr bool kSameObjectIsEqual = false;

  static Value Write(const std::string& s) { return Value(s); }
  static Value Write(int64_t n) { return Value(n); }
  static Value Write(double d) { return Value(d); }
  template <typename E>
  requires std::is_enum_v<E>
  static Value Write(E member) { return EnumToValue(member); }
  static Value Write(const ValueMap& m) { return Value(m); }
  template <typename T>
  requires requires(const T& t) { t.toList(); }
  static Value Write(const T& record) { return record.ToValue(); }
  template <typename T>
  static Value Write(const std::vector<T>& list) {
    ValueList out;
    out.reserve(list.size());
    for (const T& element : list) out.push_back(Write(element));
    return Value(std::move(out));
  }
  template <typename T>
  static Value Write(const std::optional<T>& v) {
    return v ? Write(*v) : Value();
  }

  static bool Same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }
  static bool Same(const ValueMap& a, const ValueMap& b) {
    return FLTPigeonDeepEquals(Value(a), Value(b));
  }
  template <typename T>
  static bool Same(const T& a, const T& b) {
    return a == b;
  }
  template <typename T>
  static bool Same(const std::vector<T>& a, const std::vector<T>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (!Same(a[i], b[i])) return false;
    }
    return true;
  }
  template <typename T>
  static bool Same(const std::optional<T>& a, const std::optional<T>& b) {
    if (!a || !b) return !a && !b;
    return Same(*a, *b);
  }

  static uint64_t Hash(const std::string& s) { return FLTPigeonStringHash(s); }
  static uint64_t Hash(int64_t n) { return static_cast<uint64_t>(n); }
  static uint64_t Hash(double d) { return FLTPigeonNumberHash(d); }
  template <typename E>
  requires std::is_enum_v<E>
  static uint64_t Hash(E member) { return static_cast<uint64_t>(member); }
  static uint64_t Hash(const ValueMap& m) { return FLTPigeonDeepHash(Value(m)); }
  template <typename T>
  requires requires(const T& t) { t.hash(); }
  static uint64_t Hash(const T& record) { return record.hash(); }
  template <typename T>
  static uint64_t Hash(const std::vector<T>& list) {
    uint64_t h = 1;
    for (const T& element : list) h = h * 31 + Hash(element);
    return h;
  }
  template <typename T>
  static uint64_t Hash(const std::optional<T>& v) {
    return v ? Hash(*v) : 0;
  }

  static std::string Text(const std::string& s) { return s; }
  static std::string Text(int64_t n) { return std::to_string(n); }
  static std::string Text(double d) { return FLTPigeonDescribe(Value(d)); }
  template <typename E>
  requires std::is_enum_v<E>
  static std::string Text(E member) { return EnumName(member); }
  static std::string Text(const ValueMap& m) { return FLTPigeonDescribe(Value(m), "nil"); }
  template <typename T>
  requires requires(const T& t) { t.description(); }
  static std::string Text(const T& record) { return record.description(); }
  template <typename T>
  static std::string Text(const std::vector<T>& list) {
    std::string out = "[";
    for (size_t i = 0; i < list.size(); ++i) {
      if (i != 0) out += ", ";
      out += Text(list[i]);
    }
    return out + "]";
  }
  template <typename T>
  static std::string Text(const std::optional<T>& v) {
    return v ? Text(*v) : "nil";
  }

  template <typename T>
  static T Lenient(const ValueList& list) {
    return Parse<T>(list, nullptr);
  }

  template <typename T>
  static std::optional<T> FromTagged(const Value& value);
};

// A complete, well-typed field list of T, or the first problem.
template <typename T>
std::optional<T> ParseStrict(const ValueList& list, std::string* error) {
  if (list.size() != RecordFieldCount<T>()) {
    *error = std::string(RecordFields<T>::kName) + ": expected a list of " +
             std::to_string(RecordFieldCount<T>()) + " fields, got " + std::to_string(list.size());
    return std::nullopt;
  }
  T record = Parse<T>(list, error);
  if (!error->empty()) return std::nullopt;
  return record;
}

template <typename T>
std::optional<T> SecondGeneration::FromTagged(const Value& value) {
  const auto* custom = value.get_if<CustomValue>();
  if (custom == nullptr || custom->tag != RecordFields<T>::kTag) return std::nullopt;
  const auto* list = custom->payload->get_if<ValueList>();
  if (list == nullptr) return std::nullopt;
  std::string error;
  return ParseStrict<T>(*list, &error);
}

template <typename T>
Result<Value> ReadRecord(const Value& payload, size_t at) {
  const auto* list = payload.get_if<ValueList>();
  if (list == nullptr) {
    return DecodeError{std::string(RecordFields<T>::kName) + ": expected a field list", at};
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
      default: {
        std::optional<Result<Value>> record =
            ForRecordOfTag<SK2SubscriptionOfferMessage, SK2SubscriptionPeriodMessage,
                           SK2SubscriptionInfoMessage, SK2ProductMessage, SK2PriceLocaleMessage,
                           SK2SubscriptionOfferSignatureMessage,
                           SK2SubscriptionOfferPurchaseMessage, SK2ProductPurchaseOptionsMessage,
                           SK2TransactionMessage, SK2ErrorMessage>(
                type, [&]<typename T>() { return ReadRecord<T>(v, at); });
        if (!record) return DecodeError{"unknown type byte " + std::to_string(type), at};
        return std::move(*record);
      }
    }
  }
};

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
// Every record's operations, generated from its field list.

KELVO_STORE_RECORD_DEFINITIONS(SecondGeneration, SK2SubscriptionPeriodMessage)
KELVO_STORE_RECORD_DEFINITIONS(SecondGeneration, SK2SubscriptionOfferMessage)
KELVO_STORE_RECORD_DEFINITIONS(SecondGeneration, SK2SubscriptionInfoMessage)
KELVO_STORE_RECORD_DEFINITIONS(SecondGeneration, SK2PriceLocaleMessage)
KELVO_STORE_RECORD_DEFINITIONS(SecondGeneration, SK2ProductMessage)
KELVO_STORE_RECORD_DEFINITIONS(SecondGeneration, SK2SubscriptionOfferSignatureMessage)
KELVO_STORE_RECORD_DEFINITIONS(SecondGeneration, SK2SubscriptionOfferPurchaseMessage)
KELVO_STORE_RECORD_DEFINITIONS(SecondGeneration, SK2ProductPurchaseOptionsMessage)
KELVO_STORE_RECORD_DEFINITIONS(SecondGeneration, SK2ErrorMessage)
KELVO_STORE_RECORD_DEFINITIONS(SecondGeneration, SK2TransactionMessage)

// ---- The codec ----

const StandardCodec& StoreKit2MessagesPigeonCodec() {
  // Never destroyed: channels may still encode while statics are torn down.
  static const StandardCodec* const codec =
      new StandardCodec(std::make_shared<StoreKit2MessagesPigeonCodecReaderWriter>());
  return *codec;
}

}  // namespace kelvo
