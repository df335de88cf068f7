// The store's test controls on a method channel, "net.kelvo.app/store_testing"
// (standard method codec), for integration tests and kelvoctl. Each method
// takes a string-keyed map (or null where no argument is needed) and
// answers success, or an error with code "bad_args" (an argument missing
// or of the wrong type; the message names it) or "store_refused" (the
// store could not act: no such purchase, unknown product...).
//
// Methods (arguments; success value):
// - "pendingTransactions" (none; list of maps "id" int, "generation" 1|2,
//   "productIdentifier", "state" int, "stateName", "transactionIdentifier"
//   string or null)
// - "approveTransaction", "deferTransaction" ("id" int or
//   "productIdentifier" string; the id acted on)
// - "failTransaction" (as above, plus optional "code" int, "domain" and
//   "message" strings; the id acted on)
// - "postStorePurchase" ("productIdentifier"; null)
// - "pushTransactionUpdate" ("productIdentifier", optional "verified"
//   bool; the new transaction id)
// - "revokeTransaction" ("id"; the id)
// - "failNextRequest", "failNextRestore" (optional "code", "domain",
//   "message"; null)
// - "failNext" ("operation": "productsRequest", "receiptRefresh",
//   "restore", "products", "purchase", "eligibility",
//   "subscriptionStatus" or "sync"; optional "code", "domain", "message";
//   null)
//
// Ownership: the channel's handler holds the store; the messenger must
// outlive the handler (remove it by installing another on the channel).
// Threading: calls arrive on the main queue.
#pragma once

#include <memory>

#include "platform/engine/binary_messenger.h"
#include "platform/store/local_store.h"

namespace kelvo {

inline constexpr const char* kStoreTestControlsChannel = "net.kelvo.app/store_testing";

void SetUpStoreTestControls(BinaryMessenger* messenger, std::shared_ptr<LocalStore> store);

}  // namespace kelvo
