// Decodes arbitrary bytes with the second-generation store codec (the
// checks are in store_messages_harness.h); enumerations read back with
// their FromValue into a member that writes the same value and has a name.
#include "fuzz/store_messages_harness.h"
#include "services/store/store_kit2_messages.h"

namespace {

using namespace kelvo;
using kelvo::store_fuzz::CheckRecord;

template <typename E>
void CheckEnum(const Value& v, std::optional<E> (*from_value)(const Value&)) {
  std::optional<E> member = from_value(v);
  if (!member || !(ToValue(*member) == v)) std::abort();
  (void)ToString(*member);
}

void Check(uint8_t tag, const Value& v) {
  switch (tag) {
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
  return kelvo::store_fuzz::FuzzOne(StoreKit2MessagesPigeonCodec(), "nil", data, size, Check);
}
