// The ledger: every completed purchase of either generation, as the store
// keeps it, with its signed form. Internal to the store layer.
//
// A verified transaction's signed form is "header.payload.signature", each
// part base64url without padding: the header {"alg":"ES256","kid":...},
// the payload the transaction's JSON, the signature a SHA-256 digest of
// "header.payload" (this store has no keys; nothing outside checks it). An
// unverified one carries a signature that does not match, and its
// verification error text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/store/store_config.h"
#include "platform/store/store_types.h"

namespace kelvo {

struct LedgerEntry {
  uint64_t id = 0;
  uint64_t original_id = 0;
  std::string product_id;
  double purchase_date = 0;
  double original_purchase_date = 0;
  std::optional<double> expiration_date;
  int64_t quantity = 1;
  std::optional<std::string> app_account_token;
  std::optional<std::string> app_username;
  std::optional<std::string> offer_type;  // "introductory", "promotional", "winBack"
  std::optional<std::string> offer_id;
  bool finished = false;
  std::optional<double> revocation_date;
  bool verified = true;
  std::string verification_error;
  std::string json;  // the transaction's JSON (the signed payload)
  std::string jws;
};

// What a new ledger entry is made from.
struct PurchaseFacts {
  uint64_t id = 0;
  // A renewal continues an earlier transaction; else the entry is its own
  // original.
  std::optional<uint64_t> original_id;
  std::optional<double> original_purchase_date;
  const ConfiguredProduct* product = nullptr;
  double now = 0;
  int64_t quantity = 1;
  std::optional<std::string> app_account_token;
  std::optional<std::string> app_username;
  std::optional<std::string> offer_type;
  std::optional<std::string> offer_id;
  std::optional<bool> verified;  // else the product's setting
  const StoreStorefront* storefront = nullptr;
  std::string bundle_id;
};

// A new entry with its signed form. A subscription
// with a period expires one period after the purchase: the offer's period
// when an offer applies (the first billing period), else the product's.
LedgerEntry MakeLedgerEntry(const PurchaseFacts& facts);
// Recomputes json and jws after a change (revocation).
void ResignLedgerEntry(LedgerEntry& entry, const std::string& bundle_id,
                       const StoreStorefront* storefront, const ConfiguredProduct* product);

StoreVerificationResult ToVerificationResult(const LedgerEntry& entry);
StoreTransaction ToTransaction(const LedgerEntry& entry);

// The receipt file's bytes: a JSON document with the bundle id, the time
// it was written and every transaction in it ("inApp": not revoked, and
// finished consumables dropped as the platform does).
std::string ReceiptDocument(const std::vector<LedgerEntry>& ledger, const StoreConfig& config,
                            double now);

}  // namespace kelvo
