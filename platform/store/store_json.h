// JSON forms of the store's values, for the state file and the receipt.
// Internal to the store layer.
//
// The From* functions never throw: a value that does not read back gives
// nothing (the caller treats the row as damaged).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/store/store_types.h"

namespace kelvo {

nlohmann::json PaymentToJson(const StorePayment& payment);
std::optional<StorePayment> PaymentFromJson(const nlohmann::json& j);

nlohmann::json ErrorToJson(const StoreError& error);
std::optional<StoreError> ErrorFromJson(const nlohmann::json& j);

nlohmann::json TransactionToJson(const StorePaymentTransaction& transaction);
std::optional<StorePaymentTransaction> TransactionFromJson(const nlohmann::json& j);

// An error of the store: `domain`, `code`, and a description that is also
// its NSLocalizedDescription user-info entry.
StoreError MakeStoreError(std::string domain, int64_t code, std::string description);

}  // namespace kelvo
