#include "platform/store/store_ledger.h"

#include <openssl/evp.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "platform/encoding/base64.h"
#include "platform/store/store_json.h"

namespace kelvo {
namespace {

using nlohmann::json;

int64_t Millis(double seconds) { return static_cast<int64_t>(std::llround(seconds * 1000.0)); }

const char* TypeName(StoreProductType type) {
  switch (type) {
    case StoreProductType::kConsumable: return "Consumable";
    case StoreProductType::kNonConsumable: return "Non-Consumable";
    case StoreProductType::kNonRenewable: return "Non-Renewing Subscription";
    case StoreProductType::kAutoRenewable: return "Auto-Renewable Subscription";
  }
  return "Consumable";
}

// The store's numbers for offer types in a transaction.
int OfferTypeNumber(const std::string& type) {
  if (type == "introductory") return 1;
  if (type == "promotional") return 2;
  return 4;  // win-back
}

const StoreOffer* FindOfferOfType(const StoreProduct& p, const std::string& type,
                            const std::optional<std::string>& id) {
  if (type == "introductory") return p.introductory_offer ? &*p.introductory_offer : nullptr;
  return FindOffer(type == "promotional" ? p.promotional_offers : p.win_back_offers, id);
}

std::string Sha256(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &n, EVP_sha256(), nullptr) != 1) n = 0;
  return std::string(reinterpret_cast<const char*>(digest), n);
}

json PayloadOf(const LedgerEntry& e, const std::string& bundle_id, const StoreStorefront* storefront,
               const ConfiguredProduct* product, double signed_date) {
  json j;
  j["transactionId"] = std::to_string(e.id);
  j["originalTransactionId"] = std::to_string(e.original_id);
  j["bundleId"] = bundle_id;
  j["productId"] = e.product_id;
  j["purchaseDate"] = Millis(e.purchase_date);
  j["originalPurchaseDate"] = Millis(e.original_purchase_date);
  if (e.expiration_date) j["expiresDate"] = Millis(*e.expiration_date);
  j["quantity"] = e.quantity;
  if (product) {
    j["type"] = TypeName(product->product.type);
    if (product->product.subscription_group_identifier) {
      j["subscriptionGroupIdentifier"] = *product->product.subscription_group_identifier;
    }
  }
  if (e.app_account_token) j["appAccountToken"] = *e.app_account_token;
  if (e.offer_type) {
    j["offerType"] = OfferTypeNumber(*e.offer_type);
    if (e.offer_id) j["offerIdentifier"] = *e.offer_id;
  }
  j["inAppOwnershipType"] = "PURCHASED";
  j["signedDate"] = Millis(signed_date);
  j["environment"] = "LocalTesting";
  if (storefront) {
    j["storefront"] = storefront->country_code;
    j["storefrontId"] = storefront->identifier;
  }
  if (e.revocation_date) {
    j["revocationDate"] = Millis(*e.revocation_date);
    j["revocationReason"] = 0;
  }
  return j;
}

void Sign(LedgerEntry& e, const json& payload) {
  e.json = payload.dump();
  const std::string header = Base64UrlEncode(R"({"alg":"ES256","kid":"kelvo-local-store","typ":"JWT"})");
  const std::string body = Base64UrlEncode(e.json);
  const std::string signed_part = header + "." + body;
  // An unverified transaction's signature is over something else.
  const std::string signature = Sha256(e.verified ? signed_part : signed_part + ".tampered");
  e.jws = signed_part + "." + Base64UrlEncode(signature);
}

}  // namespace

LedgerEntry MakeLedgerEntry(const PurchaseFacts& f) {
  LedgerEntry e;
  const StoreProduct& p = f.product->product;
  e.id = f.id;
  e.original_id = f.original_id.value_or(f.id);
  e.product_id = p.identifier;
  e.purchase_date = f.now;
  e.original_purchase_date = f.original_purchase_date.value_or(f.now);
  e.quantity = f.quantity;
  e.app_account_token = f.app_account_token;
  e.app_username = f.app_username;
  e.offer_type = f.offer_type;
  e.offer_id = f.offer_id;
  e.verified = f.verified.value_or(f.product->verified);
  if (!e.verified) e.verification_error = f.product->verification_error;
  if (p.subscription_period) {
    const StoreOffer* offer = e.offer_type ? FindOfferOfType(p, *e.offer_type, e.offer_id) : nullptr;
    e.expiration_date = f.now + PeriodSeconds(offer ? offer->period : *p.subscription_period);
  }
  Sign(e, PayloadOf(e, f.bundle_id, f.storefront, f.product, f.now));
  return e;
}

void ResignLedgerEntry(LedgerEntry& e, const std::string& bundle_id, const StoreStorefront* storefront,
                       const ConfiguredProduct* product) {
  double signed_date = e.revocation_date.value_or(e.purchase_date);
  Sign(e, PayloadOf(e, bundle_id, storefront, product, signed_date));
}

StoreTransaction ToTransaction(const LedgerEntry& e) {
  StoreTransaction t;
  t.id = e.id;
  t.original_id = e.original_id;
  t.product_id = e.product_id;
  t.purchase_date = e.purchase_date;
  t.expiration_date = e.expiration_date;
  t.purchased_quantity = e.quantity;
  t.app_account_token = e.app_account_token;
  t.json_representation = e.json;
  return t;
}

StoreVerificationResult ToVerificationResult(const LedgerEntry& e) {
  StoreVerificationResult r;
  r.transaction = ToTransaction(e);
  r.verified = e.verified;
  r.jws_representation = e.jws;
  r.verification_error = e.verified ? "" : e.verification_error;
  return r;
}

std::string ReceiptDocument(const std::vector<LedgerEntry>& ledger, const StoreConfig& config,
                            double now) {
  json in_app = json::array();
  for (const LedgerEntry& e : ledger) {
    if (e.revocation_date) continue;
    const ConfiguredProduct* product = config.FindProduct(e.product_id);
    if (e.finished && product && product->product.type == StoreProductType::kConsumable) continue;
    json item;
    item["productId"] = e.product_id;
    item["transactionId"] = std::to_string(e.id);
    item["originalTransactionId"] = std::to_string(e.original_id);
    item["purchaseDate"] = Millis(e.purchase_date);
    item["originalPurchaseDate"] = Millis(e.original_purchase_date);
    if (e.expiration_date) item["expiresDate"] = Millis(*e.expiration_date);
    item["quantity"] = e.quantity;
    if (e.offer_type) item["offerType"] = OfferTypeNumber(*e.offer_type);
    in_app.push_back(item);
  }
  json doc;
  doc["bundleId"] = config.bundle_id;
  doc["environment"] = "LocalTesting";
  doc["receiptCreationDate"] = Millis(now);
  doc["inApp"] = in_app;
  return doc.dump(2) + "\n";
}

}  // namespace kelvo
