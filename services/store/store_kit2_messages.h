// The second-generation store API's message types and their codec.
//
// Records travel as Value::Custom(tag, field list in declaration order);
// enumerations as Value::Custom(tag, member number as an integer):
//   129 SK2ProductTypeMessage                   137 SK2SubscriptionInfoMessage
//   130 SK2SubscriptionOfferTypeMessage         138 SK2ProductMessage
//   131 SK2SubscriptionOfferPaymentModeMessage  139 SK2PriceLocaleMessage
//   132 SK2SubscriptionPeriodUnitMessage        140 SK2SubscriptionOfferSignatureMessage
//   133 SK2ProductPurchaseResultMessage         141 SK2SubscriptionOfferPurchaseMessage
//   134 SK2PurchaseStatusMessage                142 SK2ProductPurchaseOptionsMessage
//   135 SK2SubscriptionOfferMessage             143 SK2TransactionMessage
//   136 SK2SubscriptionPeriodMessage            144 SK2ErrorMessage
//
// Required fields are plain members; optional ones are std::optional and
// travel as the codec null when absent.
//
// Reading (StoreKit2MessagesPigeonCodec):
//   - an enumeration tag followed by null, or by an integer outside the
//     enumeration's members, reads as null; followed by anything else it is
//     a DecodeError;
//   - a record tag must be followed by a list of exactly the record's field
//     count whose required fields are present and of their type and whose
//     optional fields are null or of their type (a "double" field also
//     accepts an integer; nested records and enumerations must carry their
//     own tag; list elements must be of the list's type; map keys of
//     SK2ErrorMessage.userInfo must be strings); anything else is a
//     DecodeError naming the record and field, so the channel answers with
//     an error. Hence a required enumeration field whose number was out of
//     range makes its record fail to read.
// Decoded records come back normalised as Custom(tag, toList()).
//
// Equality: fields compared in order; doubles numerically, with NaN equal
// to NaN (so -0.0 equals +0.0); lists element by element; maps by key and
// value in any entry order (FLTPigeonDeepEquals). hash(): h starts as the
// hash of the record's name, then h = h * 31 + field hash for each field in
// order (wrapping); a double hashes by its bit pattern, every NaN as
// 0x7FF8000000000000 and both zeros as 0 (FLTPigeonNumberHash); an absent
// field as 0.
//
// description(): the record's name and its fields, e.g.
//   SK2PriceLocaleMessage(currencyCode: USD, currencySymbol: $)
// An absent value prints "nil", enumerations by member name, strings as
// they are, doubles in their shortest round-trip form, nested records by
// their own description, lists as "[a, b]" and maps as "{key: value}".
//
// Threading: messages are plain values; the codec is created once,
// immutable and safe to share.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/engine/standard_codec.h"
#include "platform/engine/value.h"
#include "services/store/record_fields.h"

namespace kelvo {

inline constexpr uint8_t kSK2ProductTypeMessageTag = 129;
inline constexpr uint8_t kSK2SubscriptionOfferTypeMessageTag = 130;
inline constexpr uint8_t kSK2SubscriptionOfferPaymentModeMessageTag = 131;
inline constexpr uint8_t kSK2SubscriptionPeriodUnitMessageTag = 132;
inline constexpr uint8_t kSK2ProductPurchaseResultMessageTag = 133;
inline constexpr uint8_t kSK2PurchaseStatusMessageTag = 134;
inline constexpr uint8_t kSK2SubscriptionOfferMessageTag = 135;
inline constexpr uint8_t kSK2SubscriptionPeriodMessageTag = 136;
inline constexpr uint8_t kSK2SubscriptionInfoMessageTag = 137;
inline constexpr uint8_t kSK2ProductMessageTag = 138;
inline constexpr uint8_t kSK2PriceLocaleMessageTag = 139;
inline constexpr uint8_t kSK2SubscriptionOfferSignatureMessageTag = 140;
inline constexpr uint8_t kSK2SubscriptionOfferPurchaseMessageTag = 141;
inline constexpr uint8_t kSK2ProductPurchaseOptionsMessageTag = 142;
inline constexpr uint8_t kSK2TransactionMessageTag = 143;
inline constexpr uint8_t kSK2ErrorMessageTag = 144;

// ---- Enumerations ----

enum class SK2ProductTypeMessage : int64_t {
  consumable = 0,
  nonConsumable = 1,
  nonRenewable = 2,
  autoRenewable = 3,
};

enum class SK2SubscriptionOfferTypeMessage : int64_t {
  introductory = 0,
  promotional = 1,
  winBack = 2,
};

enum class SK2SubscriptionOfferPaymentModeMessage : int64_t {
  payAsYouGo = 0,
  payUpFront = 1,
  freeTrial = 2,
};

enum class SK2SubscriptionPeriodUnitMessage : int64_t {
  day = 0,
  week = 1,
  month = 2,
  year = 3,
};

enum class SK2ProductPurchaseResultMessage : int64_t {
  success = 0,
  unverified = 1,
  userCancelled = 2,
  pending = 3,
};

enum class SK2PurchaseStatusMessage : int64_t {
  purchased = 0,
  pending = 1,
  cancelled = 2,
  restored = 3,
};

// The tagged codec value of a member: Custom(tag, number).
Value ToValue(SK2ProductTypeMessage member);
Value ToValue(SK2SubscriptionOfferTypeMessage member);
Value ToValue(SK2SubscriptionOfferPaymentModeMessage member);
Value ToValue(SK2SubscriptionPeriodUnitMessage member);
Value ToValue(SK2ProductPurchaseResultMessage member);
Value ToValue(SK2PurchaseStatusMessage member);

// The member of a value of the enumeration's tag holding one of its
// numbers; nullopt for anything else.
std::optional<SK2ProductTypeMessage> SK2ProductTypeMessageFromValue(const Value& value);
std::optional<SK2SubscriptionOfferTypeMessage> SK2SubscriptionOfferTypeMessageFromValue(
    const Value& value);
std::optional<SK2SubscriptionOfferPaymentModeMessage>
SK2SubscriptionOfferPaymentModeMessageFromValue(const Value& value);
std::optional<SK2SubscriptionPeriodUnitMessage> SK2SubscriptionPeriodUnitMessageFromValue(
    const Value& value);
std::optional<SK2ProductPurchaseResultMessage> SK2ProductPurchaseResultMessageFromValue(
    const Value& value);
std::optional<SK2PurchaseStatusMessage> SK2PurchaseStatusMessageFromValue(const Value& value);

// The member's name ("autoRenewable"); "unknown(<n>)" for another number.
std::string ToString(SK2ProductTypeMessage member);
std::string ToString(SK2SubscriptionOfferTypeMessage member);
std::string ToString(SK2SubscriptionOfferPaymentModeMessage member);
std::string ToString(SK2SubscriptionPeriodUnitMessage member);
std::string ToString(SK2ProductPurchaseResultMessage member);
std::string ToString(SK2PurchaseStatusMessage member);

// ---- Records ----
//
// Each has, besides its fields (KELVO_STORE_RECORD_OPERATIONS):
//   ValueList toList() const;             the fields in order
//   static T fromList(const ValueList&);  for lists already checked (the
//       codec's output): a missing or wrong-typed element reads as the
//       field's zero value; untrusted lists go through FromValue
//   Value ToValue() const;                Custom(tag, toList())
//   static std::optional<T> FromValue(const Value&);  a value of T's tag
//       with a field list the codec would accept, else nullopt
//   bool operator==, uint64_t hash(), std::string description()

struct SK2SubscriptionPeriodMessage {
  int64_t value = 0;
  SK2SubscriptionPeriodUnitMessage unit = SK2SubscriptionPeriodUnitMessage::day;

  KELVO_STORE_RECORD_OPERATIONS(SK2SubscriptionPeriodMessage);
};

struct SK2SubscriptionOfferMessage {
  std::optional<std::string> id;
  double price = 0;
  SK2SubscriptionOfferTypeMessage type = SK2SubscriptionOfferTypeMessage::introductory;
  SK2SubscriptionPeriodMessage period;
  int64_t periodCount = 0;
  SK2SubscriptionOfferPaymentModeMessage paymentMode =
      SK2SubscriptionOfferPaymentModeMessage::payAsYouGo;

  KELVO_STORE_RECORD_OPERATIONS(SK2SubscriptionOfferMessage);
};

struct SK2SubscriptionInfoMessage {
  // Win-back offers, then promotional offers, then the introductory offer.
  std::vector<SK2SubscriptionOfferMessage> promotionalOffers;
  std::string subscriptionGroupID;
  SK2SubscriptionPeriodMessage subscriptionPeriod;

  KELVO_STORE_RECORD_OPERATIONS(SK2SubscriptionInfoMessage);
};

struct SK2PriceLocaleMessage {
  std::string currencyCode;
  std::string currencySymbol;

  KELVO_STORE_RECORD_OPERATIONS(SK2PriceLocaleMessage);
};

struct SK2ProductMessage {
  std::string id;
  std::string displayName;
  std::string localizedDescription;
  double price = 0;
  std::string displayPrice;
  SK2ProductTypeMessage type = SK2ProductTypeMessage::consumable;
  std::optional<SK2SubscriptionInfoMessage> subscription;
  SK2PriceLocaleMessage priceLocale;

  KELVO_STORE_RECORD_OPERATIONS(SK2ProductMessage);
};

struct SK2SubscriptionOfferSignatureMessage {
  std::string keyID;
  std::string nonce;  // UUID text
  int64_t timestamp = 0;
  std::string signature;  // Base64 text

  KELVO_STORE_RECORD_OPERATIONS(SK2SubscriptionOfferSignatureMessage);
};

struct SK2SubscriptionOfferPurchaseMessage {
  std::string promotionalOfferId;
  SK2SubscriptionOfferSignatureMessage promotionalOfferSignature;

  KELVO_STORE_RECORD_OPERATIONS(SK2SubscriptionOfferPurchaseMessage);
};

struct SK2ProductPurchaseOptionsMessage {
  std::optional<std::string> appAccountToken;  // UUID text
  std::optional<int64_t> quantity;
  std::optional<SK2SubscriptionOfferPurchaseMessage> promotionalOffer;
  std::optional<std::string> winBackOfferId;

  KELVO_STORE_RECORD_OPERATIONS(SK2ProductPurchaseOptionsMessage);
};

struct SK2ErrorMessage {
  int64_t code = 0;
  std::string domain;
  std::optional<ValueMap> userInfo;  // string keys, any values

  KELVO_STORE_RECORD_OPERATIONS(SK2ErrorMessage);
};

struct SK2TransactionMessage {
  int64_t id = 0;
  int64_t originalId = 0;
  std::string productId;
  std::optional<double> purchaseDate;    // seconds since 1970-01-01 00:00 UTC
  std::optional<double> expirationDate;  // seconds since 1970
  int64_t purchasedQuantity = 0;
  std::optional<std::string> appAccountToken;
  std::optional<std::string> receiptData;
  std::optional<SK2ErrorMessage> error;
  std::optional<std::string> jsonRepresentation;
  SK2PurchaseStatusMessage status = SK2PurchaseStatusMessage::purchased;

  KELVO_STORE_RECORD_OPERATIONS(SK2TransactionMessage);
};

// The second-generation API's codec, created on first use (thread-safe)
// and shared for the life of the process.
const StandardCodec& StoreKit2MessagesPigeonCodec();

}  // namespace kelvo
