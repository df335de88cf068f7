// FIAPReceiptManager: reads the application's store receipt anew each time
// it is asked and gives it as Base64 text without line breaks.
//
// A read failure is a store error in the file system's terms: domain
// "NSCocoaErrorDomain", code 260 (no such file), 257 (no permission) or 256
// (any other read failure), user info "NSFilePath" and, under
// "NSUnderlyingError", the system's error (domain "NSPOSIXErrorDomain",
// code errno). It reaches the channel as an error whose code is the decimal
// text of the code, whose message is the domain and whose details are the
// encoded user info.
//
// Ownership: holds only the function that locates the receipt.
// Threading: any thread; it keeps no state between calls.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/engine/method_codec.h"
#include "platform/store/store_types.h"

namespace kelvo {

// Where the receipt file is; nothing when the application has no receipt
// location.
using ReceiptLocator = std::function<std::optional<std::string>()>;

class FIAPReceiptManager {
 public:
  explicit FIAPReceiptManager(ReceiptLocator locator) : locator_(std::move(locator)) {}

  // The receipt as Base64 text. Nothing, without error, when there is no
  // receipt location; nothing with `*error` set (when given) when the file
  // cannot be read.
  std::optional<std::string> retrieveReceiptWithError(FlutterError* error) const;
  std::optional<std::string> receiptURL() const;
  // The file's bytes, or nothing with `*error` set.
  static std::optional<std::vector<uint8_t>> getReceiptData(const std::string& path,
                                                            StoreError* error);

 private:
  ReceiptLocator locator_;
};

}  // namespace kelvo
