// Decodes arbitrary bytes as a message, a method call and an envelope; a
// value that decodes must encode back to the same bytes.
#include <cstdlib>

#include "platform/engine/method_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelvo;
  std::span<const uint8_t> bytes(data, size);
  auto value = StandardCodec::Instance().Decode(bytes);
  if (value.ok()) {
    auto again = StandardCodec::Instance().Encode(value.value());
    // Padding bytes are not checked on read, so compare decoded values.
    auto back = StandardCodec::Instance().Decode(again);
    if (!back.ok() || !(back.value() == value.value())) std::abort();
  }
  (void)MethodCodec::Standard().DecodeMethodCall(bytes);
  (void)MethodCodec::Standard().DecodeEnvelope(bytes);
  return 0;
}
