// Decodes arbitrary bytes with the first-generation store codec.
// Invariants: decoding never crashes; a decoded value is canonical (it
// encodes to bytes that decode to the same value and encode to the same
// bytes); every tagged record or box in it reads back with FromValue into a
// message that writes the same value, equals a copy of itself and hashes
// alike; descriptions never fail.
#include <cstdlib>

#include "services/store/messages.h"

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
void CheckMessage(const Value& v) {
  std::optional<T> m = T::FromValue(v);
  if (!m) std::abort();
  if (!(m->ToValue() == v)) std::abort();
  const T copy = T::fromList(m->toList());
  if (copy.hash() != m->hash()) std::abort();
  if (!HasDuplicateKeys(v) && !(copy == *m)) std::abort();
  (void)m->description();
}

template <typename Box>
void CheckBox(const Value& v) {
  std::optional<Box> box = Box::FromValue(v);
  if (!box || !(box->ToValue() == v)) std::abort();
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
  Walk(*v.as_custom().payload);  // nested records and boxes first
  switch (v.as_custom().tag) {
    case kFIASKPaymentTransactionStateMessageBoxTag:
      return CheckBox<FIASKPaymentTransactionStateMessageBox>(v);
    case kFIASKProductDiscountTypeMessageBoxTag:
      return CheckBox<FIASKProductDiscountTypeMessageBox>(v);
    case kFIASKProductDiscountPaymentModeMessageBoxTag:
      return CheckBox<FIASKProductDiscountPaymentModeMessageBox>(v);
    case kFIASKSubscriptionPeriodUnitMessageBoxTag:
      return CheckBox<FIASKSubscriptionPeriodUnitMessageBox>(v);
    case kFIASKPaymentTransactionMessageTag:
      return CheckMessage<FIASKPaymentTransactionMessage>(v);
    case kFIASKPaymentMessageTag:
      return CheckMessage<FIASKPaymentMessage>(v);
    case kFIASKErrorMessageTag:
      return CheckMessage<FIASKErrorMessage>(v);
    case kFIASKPaymentDiscountMessageTag:
      return CheckMessage<FIASKPaymentDiscountMessage>(v);
    case kFIASKStorefrontMessageTag:
      return CheckMessage<FIASKStorefrontMessage>(v);
    case kFIASKProductsResponseMessageTag:
      return CheckMessage<FIASKProductsResponseMessage>(v);
    case kFIASKProductMessageTag:
      return CheckMessage<FIASKProductMessage>(v);
    case kFIASKPriceLocaleMessageTag:
      return CheckMessage<FIASKPriceLocaleMessage>(v);
    case kFIASKProductDiscountMessageTag:
      return CheckMessage<FIASKProductDiscountMessage>(v);
    case kFIASKProductSubscriptionPeriodMessageTag:
      return CheckMessage<FIASKProductSubscriptionPeriodMessage>(v);
    default:
      std::abort();  // the reader lets no other tag through
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const StandardCodec& codec = FIAGetMessagesCodec();
  Result<Value> value = codec.Decode(std::span<const uint8_t>(data, size));
  if (!value.ok()) return 0;
  const std::vector<uint8_t> bytes = codec.Encode(value.value());
  Result<Value> again = codec.Decode(bytes);
  if (!again.ok() || !(again.value() == value.value())) std::abort();
  if (codec.Encode(again.value()) != bytes) std::abort();
  if (FLTPigeonDeepHash(again.value()) != FLTPigeonDeepHash(value.value())) std::abort();
  if (!HasDuplicateKeys(value.value()) && !FLTPigeonDeepEquals(again.value(), value.value())) {
    std::abort();
  }
  (void)FLTPigeonDescribe(value.value());
  Walk(value.value());
  return 0;
}
