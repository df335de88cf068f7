// The first-generation store API's message types and their codec.
//
// Every type is a plain record whose fields travel as a list in declaration
// order (toList / fromList). On channels a record is the codec value
// Value::Custom(tag, field list); an enumeration travels inside a box,
// Value::Custom(tag, member number as an integer):
//   129 FIASKPaymentTransactionStateMessageBox     136 FIASKPaymentDiscountMessage
//   130 FIASKProductDiscountTypeMessageBox         137 FIASKStorefrontMessage
//   131 FIASKProductDiscountPaymentModeMessageBox  138 FIASKProductsResponseMessage
//   132 FIASKSubscriptionPeriodUnitMessageBox      139 FIASKProductMessage
//   133 FIASKPaymentTransactionMessage             140 FIASKPriceLocaleMessage
//   134 FIASKPaymentMessage                        141 FIASKProductDiscountMessage
//   135 FIASKErrorMessage                          142 FIASKProductSubscriptionPeriodMessage
//
// Field representation: every object field may be absent (std::optional,
// or a null shared_ptr for a nested message); integers are int64_t and read
// as 0 when absent, booleans read as false, enumerations read as member 0.
// An enumeration may hold a number outside its members (the box carries any
// unsigned 64-bit number); the translators never produce one.
//
// Reading (FIAGetMessagesCodec and FromValue) is lenient where the other
// side may legitimately leave things out and strict about types:
//   - a box tag followed by null reads as null (no box);
//   - a message tag followed by null reads as the message with every object
//     field absent and every number 0;
//   - a field list shorter than the type's field count reads its missing
//     trailing elements as null; elements beyond the count are dropped;
//   - an element of the wrong type (a number where a string belongs, a
//     record of another tag, a list element that is not of the list's type,
//     a message tag followed by anything but a list or null, a box holding
//     anything but an integer) is a DecodeError naming the type and field,
//     so the channel answers with an error instead of guessing.
// Decoded records come back normalised: Custom(tag, toList()) of what was
// read, so a decode followed by an encode gives canonical bytes.
//
// Equality (operator==) and hash() follow the deep rules: numbers equal
// when numerically equal or both NaN, lists element by element, maps by
// key and value in any entry order. hash(): h starts as the hash of the
// type's name, then h = h * 31 + field hash for each field in order
// (wrapping). Numbers hash through FLTPigeonNumberHash, so -0.0 and +0.0
// hash alike and every NaN hashes as 0x7FF8000000000000.
//
// description(): the type name and its fields, e.g.
//   FIASKStorefrontMessage(countryCode: US, identifier: USA)
// An absent value prints "(null)", booleans "true"/"false", integers and
// enumeration numbers in decimal, doubles in their shortest round-trip
// form, strings as they are, nested messages by their own description,
// lists as "[a, b]" and maps as "{key: value, ...}".
//
// Threading: messages are plain values (nested messages are shared,
// immutable); the codec is created once, immutable and safe to share.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/engine/standard_codec.h"
#include "platform/engine/value.h"
#include "services/store/record_fields.h"

namespace kelvo {

inline constexpr uint8_t kFIASKPaymentTransactionStateMessageBoxTag = 129;
inline constexpr uint8_t kFIASKProductDiscountTypeMessageBoxTag = 130;
inline constexpr uint8_t kFIASKProductDiscountPaymentModeMessageBoxTag = 131;
inline constexpr uint8_t kFIASKSubscriptionPeriodUnitMessageBoxTag = 132;
inline constexpr uint8_t kFIASKPaymentTransactionMessageTag = 133;
inline constexpr uint8_t kFIASKPaymentMessageTag = 134;
inline constexpr uint8_t kFIASKErrorMessageTag = 135;
inline constexpr uint8_t kFIASKPaymentDiscountMessageTag = 136;
inline constexpr uint8_t kFIASKStorefrontMessageTag = 137;
inline constexpr uint8_t kFIASKProductsResponseMessageTag = 138;
inline constexpr uint8_t kFIASKProductMessageTag = 139;
inline constexpr uint8_t kFIASKPriceLocaleMessageTag = 140;
inline constexpr uint8_t kFIASKProductDiscountMessageTag = 141;
inline constexpr uint8_t kFIASKProductSubscriptionPeriodMessageTag = 142;

// ---- Enumerations and their boxes ----

enum class FIASKPaymentTransactionStateMessage : uint64_t {
  purchasing = 0,
  purchased = 1,
  failed = 2,
  restored = 3,
  deferred = 4,
};

enum class FIASKProductDiscountTypeMessage : uint64_t {
  introductory = 0,
  subscription = 1,
};

enum class FIASKProductDiscountPaymentModeMessage : uint64_t {
  payAsYouGo = 0,
  payUpFront = 1,
  freeTrial = 2,
};

enum class FIASKSubscriptionPeriodUnitMessage : uint64_t {
  day = 0,
  week = 1,
  month = 2,
  year = 3,
};

// A box carries an enumeration's number as a tagged codec value.
template <typename Enum, uint8_t Tag>
struct FIAEnumBox {
  static constexpr uint8_t kTag = Tag;

  FIAEnumBox() = default;
  explicit FIAEnumBox(uint64_t v) : value(v) {}
  explicit FIAEnumBox(Enum member) : value(static_cast<uint64_t>(member)) {}

  uint64_t value = 0;

  Enum member() const { return static_cast<Enum>(value); }
  // Custom(Tag, value as a codec integer; numbers above INT64_MAX travel as
  // their two's-complement bit pattern, as the wire has only signed ones).
  Value ToValue() const { return Value::Custom(Tag, Value(static_cast<int64_t>(value))); }
  // A Tag value holding an integer; anything else (null included) gives
  // nullopt.
  static std::optional<FIAEnumBox> FromValue(const Value& v) {
    const auto* custom = v.get_if<CustomValue>();
    if (custom == nullptr || custom->tag != Tag || !custom->payload->is_int()) return std::nullopt;
    return FIAEnumBox(static_cast<uint64_t>(custom->payload->as_int()));
  }
  bool operator==(const FIAEnumBox&) const = default;
};

using FIASKPaymentTransactionStateMessageBox =
    FIAEnumBox<FIASKPaymentTransactionStateMessage, kFIASKPaymentTransactionStateMessageBoxTag>;
using FIASKProductDiscountTypeMessageBox =
    FIAEnumBox<FIASKProductDiscountTypeMessage, kFIASKProductDiscountTypeMessageBoxTag>;
using FIASKProductDiscountPaymentModeMessageBox =
    FIAEnumBox<FIASKProductDiscountPaymentModeMessage,
               kFIASKProductDiscountPaymentModeMessageBoxTag>;
using FIASKSubscriptionPeriodUnitMessageBox =
    FIAEnumBox<FIASKSubscriptionPeriodUnitMessage, kFIASKSubscriptionPeriodUnitMessageBoxTag>;

// ---- Message types ----
//
// Each has, besides its fields (KELVO_FIA_MESSAGE_OPERATIONS):
//   ValueList toList() const;             the fields in order
//   static T fromList(const ValueList&);  lenient: a missing, null or
//       wrong-typed element reads as absent / 0 / false / member 0 (the
//       codec checks types before it calls this)
//   static std::optional<T> nullableFromList(const Value&);  nullopt for a
//       null (or non-list) value, else fromList
//   Value ToValue() const;                Custom(tag, toList())
//   static std::optional<T> FromValue(const Value&);  a value of T's tag
//       whose payload is null or a field list of the right types, else
//       nullopt
//   bool operator==, uint64_t hash(), std::string description()
#define KELVO_FIA_MESSAGE_OPERATIONS(T)    \
  KELVO_STORE_RECORD_OPERATIONS(T);        \
  static std::optional<T> nullableFromList(const Value& list)

struct FIASKPaymentDiscountMessage {
  std::optional<std::string> identifier;
  std::optional<std::string> keyIdentifier;
  std::optional<std::string> nonce;  // UUID text
  std::optional<std::string> signature;
  int64_t timestamp = 0;

  KELVO_FIA_MESSAGE_OPERATIONS(FIASKPaymentDiscountMessage);
};

struct FIASKPaymentMessage {
  std::optional<std::string> productIdentifier;
  std::optional<std::string> applicationUsername;
  std::optional<std::string> requestData;  // request data read as UTF-8 text
  int64_t quantity = 0;
  bool simulatesAskToBuyInSandbox = false;
  std::shared_ptr<const FIASKPaymentDiscountMessage> paymentDiscount;

  KELVO_FIA_MESSAGE_OPERATIONS(FIASKPaymentMessage);
};

struct FIASKErrorMessage {
  int64_t code = 0;
  std::optional<std::string> domain;
  // String keys; values as the user-info encoding made them. Any map reads.
  std::optional<ValueMap> userInfo;

  KELVO_FIA_MESSAGE_OPERATIONS(FIASKErrorMessage);
};

struct FIASKPaymentTransactionMessage {
  std::shared_ptr<const FIASKPaymentMessage> payment;
  FIASKPaymentTransactionStateMessage transactionState =
      FIASKPaymentTransactionStateMessage::purchasing;
  std::shared_ptr<const FIASKPaymentTransactionMessage> originalTransaction;
  // Seconds since 1970-01-01 00:00 UTC. An integer on the wire reads as
  // the same number.
  std::optional<double> transactionTimeStamp;
  std::optional<std::string> transactionIdentifier;
  std::shared_ptr<const FIASKErrorMessage> error;

  KELVO_FIA_MESSAGE_OPERATIONS(FIASKPaymentTransactionMessage);
};

struct FIASKStorefrontMessage {
  std::optional<std::string> countryCode;
  std::optional<std::string> identifier;

  KELVO_FIA_MESSAGE_OPERATIONS(FIASKStorefrontMessage);
};

struct FIASKPriceLocaleMessage {
  std::optional<std::string> currencySymbol;
  std::optional<std::string> currencyCode;
  std::optional<std::string> countryCode;

  KELVO_FIA_MESSAGE_OPERATIONS(FIASKPriceLocaleMessage);
};

struct FIASKProductSubscriptionPeriodMessage {
  int64_t numberOfUnits = 0;
  FIASKSubscriptionPeriodUnitMessage unit = FIASKSubscriptionPeriodUnitMessage::day;

  KELVO_FIA_MESSAGE_OPERATIONS(FIASKProductSubscriptionPeriodMessage);
};

struct FIASKProductDiscountMessage {
  std::optional<std::string> price;  // decimal text
  std::shared_ptr<const FIASKPriceLocaleMessage> priceLocale;
  int64_t numberOfPeriods = 0;
  FIASKProductDiscountPaymentModeMessage paymentMode =
      FIASKProductDiscountPaymentModeMessage::payAsYouGo;
  std::shared_ptr<const FIASKProductSubscriptionPeriodMessage> subscriptionPeriod;
  std::optional<std::string> identifier;
  FIASKProductDiscountTypeMessage type = FIASKProductDiscountTypeMessage::introductory;

  KELVO_FIA_MESSAGE_OPERATIONS(FIASKProductDiscountMessage);
};

struct FIASKProductMessage {
  std::optional<std::string> productIdentifier;
  std::optional<std::string> localizedTitle;
  std::optional<std::string> localizedDescription;
  std::shared_ptr<const FIASKPriceLocaleMessage> priceLocale;
  std::optional<std::string> subscriptionGroupIdentifier;
  std::optional<std::string> price;  // decimal text
  std::shared_ptr<const FIASKProductSubscriptionPeriodMessage> subscriptionPeriod;
  std::shared_ptr<const FIASKProductDiscountMessage> introductoryPrice;
  // Each element travels as a tag 141 record; a null element does not read.
  std::optional<std::vector<FIASKProductDiscountMessage>> discounts;

  KELVO_FIA_MESSAGE_OPERATIONS(FIASKProductMessage);
};

struct FIASKProductsResponseMessage {
  // Each element travels as a tag 139 record; a null element does not read.
  std::optional<std::vector<FIASKProductMessage>> products;
  std::optional<std::vector<std::string>> invalidProductIdentifiers;

  KELVO_FIA_MESSAGE_OPERATIONS(FIASKProductsResponseMessage);
};

// ---- Deep equality and hashing of codec values ----
//
// Equality: null equals only null; numbers (integers and doubles, mixed
// included) are equal when numerically equal or both NaN, so -0.0 equals
// +0.0 and 1 equals 1.0 (booleans are not numbers: true equals only true);
// lists element by element; maps when they have the same count and every
// key of `a` has a deeply equal key in `b` (the first in b's order) whose
// value is deeply equal; custom values by tag and deep payload; anything
// else (strings, bytes, typed lists) by its own equality.
bool FLTPigeonDeepEquals(const Value& a, const Value& b);

// Hash consistent with FLTPigeonDeepEquals: null 0; a number (integer or
// double) FLTPigeonNumberHash of it as a double; a boolean as the number 1
// or 0; a list h = 1, then h = h * 31 + element hash; a map h = 0, then
// h += (key hash * 31) ^ value hash over its entries; a string the FNV-1a
// hash of its bytes; other values a hash of their contents.
uint64_t FLTPigeonDeepHash(const Value& value);

// The hash of a number: 0x7FF8000000000000 for every NaN; otherwise the
// IEEE-754 bit pattern of the double, with -0.0 taken as +0.0 (so both
// zeros hash as 0).
uint64_t FLTPigeonNumberHash(double number);

// 64-bit FNV-1a of the bytes; the hash of strings and of type names.
uint64_t FLTPigeonStringHash(std::string_view text);

// How a codec value prints inside a description (see above); a null prints
// as `null_text`.
std::string FLTPigeonDescribe(const Value& value, std::string_view null_text = "(null)");

// The first-generation API's codec, created on first use (thread-safe) and
// shared for the life of the process.
const StandardCodec& FIAGetMessagesCodec();

}  // namespace kelvo
