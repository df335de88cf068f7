// Decodes arbitrary bytes with the first-generation store codec (the
// checks are in store_messages_harness.h); boxes read back with FromValue
// into a box that writes the same value.
#include "fuzz/store_messages_harness.h"
#include "services/store/messages.h"

namespace {

using namespace kelvo;
using kelvo::store_fuzz::CheckRecord;

template <typename Box>
void CheckBox(const Value& v) {
  std::optional<Box> box = Box::FromValue(v);
  if (!box || !(box->ToValue() == v)) std::abort();
}

void Check(uint8_t tag, const Value& v) {
  switch (tag) {
    case kFIASKPaymentTransactionStateMessageBoxTag:
      return CheckBox<FIASKPaymentTransactionStateMessageBox>(v);
    case kFIASKProductDiscountTypeMessageBoxTag:
      return CheckBox<FIASKProductDiscountTypeMessageBox>(v);
    case kFIASKProductDiscountPaymentModeMessageBoxTag:
      return CheckBox<FIASKProductDiscountPaymentModeMessageBox>(v);
    case kFIASKSubscriptionPeriodUnitMessageBoxTag:
      return CheckBox<FIASKSubscriptionPeriodUnitMessageBox>(v);
    case kFIASKPaymentTransactionMessageTag:
      return CheckRecord<FIASKPaymentTransactionMessage>(v);
    case kFIASKPaymentMessageTag:
      return CheckRecord<FIASKPaymentMessage>(v);
    case kFIASKErrorMessageTag:
      return CheckRecord<FIASKErrorMessage>(v);
    case kFIASKPaymentDiscountMessageTag:
      return CheckRecord<FIASKPaymentDiscountMessage>(v);
    case kFIASKStorefrontMessageTag:
      return CheckRecord<FIASKStorefrontMessage>(v);
    case kFIASKProductsResponseMessageTag:
      return CheckRecord<FIASKProductsResponseMessage>(v);
    case kFIASKProductMessageTag:
      return CheckRecord<FIASKProductMessage>(v);
    case kFIASKPriceLocaleMessageTag:
      return CheckRecord<FIASKPriceLocaleMessage>(v);
    case kFIASKProductDiscountMessageTag:
      return CheckRecord<FIASKProductDiscountMessage>(v);
    case kFIASKProductSubscriptionPeriodMessageTag:
      return CheckRecord<FIASKProductSubscriptionPeriodMessage>(v);
    default:
      std::abort();  // the reader lets no other tag through
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return kelvo::store_fuzz::FuzzOne(FIAGetMessagesCodec(), "(null)", data, size, Check);
}
