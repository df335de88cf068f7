// Decodes arbitrary bytes with the second-generation store codec.
// Invariants: decoding never crashes; a decoded value is canonical (it
// encodes to bytes that decode to the same value and encode to the same
// bytes); every tagged enumeration or record in it reads back with its
// FromValue into a value that writes the same codec value, equals a copy
// of itself and hashes alike; descriptions never fail.
#include <cstdlib>

#include "services/store/messages.h"
#include "services/store/store_kit2_messages.h"

namespace {

using namespace kelvo;

// Maps with two deeply equal keys are not equal to their copies under the
// first-match rule, so equality is only checked without them.
bool HasDuplicateKeys(const Value& v) {
  if (v.is_list()) {
    for (const Value& e : v.as_list()) {
      if (HasDuplicateKeys(e)) return true;
    }
  } else if (v.is_map()) {
    const auto& entries = v.as_map().entries();
    for (size_t i = 0; i < entries.size(); ++i) {
      if (HasDuplicateKeys(entries[i].first) || HasDuplicateKeys(entries[i].second)) return true;
      for (size_t j = i + 1; j < entries.size(); ++j) {
        if (FLTPigeonDeepEquals(entries[i].first, entries[j].first)) return true;
      }
    }
  } else if (v.is_custom()) {
    return HasDuplicateKeys(*v.as_custom().payload);
  }
  return false;
}

template <typename T>
void CheckRecord(const Value& v) {
  std::optional<T> r = T::FromValue(v);
  if (!r) std::abort();
  if (!(r->ToValue() == v)) std::abort();
  const T copy = T::fromList(r->toList());
  if (copy.hash() != r->hash()) std::abort();
  if (!HasDuplicateKeys(v) && !(copy == *r)) std::abort();
  (void)r->description();
}

template <typename E>
void CheckEnum(const Value& v, std::optional<E> (*from_value)(const Value&)) {
  std::optional<E> member = from_value(v);
  if (!member || !(ToValue(*member) == v)) std::abort();
  (void)ToString(*member);
}

void Walk(const Value& v) {
  if (v.is_list()) {
    for (const Value& e : v.as_list()) Walk(e);
    return;
  }
  if (v.is_map()) {
    for (const auto& [k, e] : v.as_map()) {
      Walk(k);
      Walk(e);
    }
    return;
  }
  if (!v.is_custom()) return;
  Walk(*v.as_custom().payload);  // nested records and enumerations first
  switch (v.as_custom().tag) {
    case kSK2ProductTypeMessageTag:
      return CheckEnum(v, &SK2ProductTypeMessageFromValue);
    case kSK2SubscriptionOfferTypeMessageTag:
      return CheckEnum(v, &SK2SubscriptionOfferTypeMessageFromValue);
    case kSK2SubscriptionOfferPaymentModeMessageTag:
      return CheckEnum(v, &SK2SubscriptionOfferPaymentModeMessageFromValue);
    case kSK2SubscriptionPeriodUnitMessageTag:
      return CheckEnum(v, &SK2SubscriptionPeriodUnitMessageFromValue);
    case kSK2ProductPurchaseResultMessageTag:
      return CheckEnum(v, &SK2ProductPurchaseResultMessageFromValue);
    case kSK2PurchaseStatusMessageTag:
      return CheckEnum(v, &SK2PurchaseStatusMessageFromValue);
    case kSK2SubscriptionOfferMessageTag:
      return CheckRecord<SK2SubscriptionOfferMessage>(v);
    case kSK2SubscriptionPeriodMessageTag:
      return CheckRecord<SK2SubscriptionPeriodMessage>(v);
    case kSK2SubscriptionInfoMessageTag:
      return CheckRecord<SK2SubscriptionInfoMessage>(v);
    case kSK2ProductMessageTag:
      return CheckRecord<SK2ProductMessage>(v);
    case kSK2PriceLocaleMessageTag:
      return CheckRecord<SK2PriceLocaleMessage>(v);
    case kSK2SubscriptionOfferSignatureMessageTag:
      return CheckRecord<SK2SubscriptionOfferSignatureMessage>(v);
    case kSK2SubscriptionOfferPurchaseMessageTag:
      return CheckRecord<SK2SubscriptionOfferPurchaseMessage>(v);
    case kSK2ProductPurchaseOptionsMessageTag:
      return CheckRecord<SK2ProductPurchaseOptionsMessage>(v);
    case kSK2TransactionMessageTag:
      return CheckRecord<SK2TransactionMessage>(v);
    case kSK2ErrorMessageTag:
      return CheckRecord<SK2ErrorMessage>(v);
    default:
      std::abort();  // the reader lets no other tag through
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const StandardCodec& codec = StoreKit2MessagesPigeonCodec();
  Result<Value> value = codec.Decode(std::span<const uint8_t>(data, size));
  if (!value.ok()) return 0;
  const std::vector<uint8_t> bytes = codec.Encode(value.value());
  Result<Value> again = codec.Decode(bytes);
  if (!again.ok() || !(again.value() == value.value())) std::abort();
  if (codec.Encode(again.value()) != bytes) std::abort();
  (void)FLTPigeonDescribe(value.value(), "nil");
  Walk(value.value());
  return 0;
}
