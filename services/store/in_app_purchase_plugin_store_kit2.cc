#include "services/store/in_app_purchase_plugin_store_kit2.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <typeinfo>
#include <utility>

#include "platform/encoding/base64.h"
#include "platform/encoding/uuid.h"
#include "platform/engine/failure_text.h"
#include "services/store/store_kit2_conversions.h"

namespace kelvo {
namespace {

constexpr const char* kFailedToFetchProduct = "Storekit has failed to fetch this product.";
constexpr const char* kDuplicateProduct =
    "There is a pending transaction for the same product identifier. Please either wait for it "
    "to be finished or finish it manually using `completePurchase` to avoid edge cases.";

InAppPurchase2Error EligibilityError(const std::string& productId, const StoreError& error) {
  return InAppPurchase2Error::Pigeon(
      "storekit2_eligibility_check_failed",
      "Failed to check offer eligibility: " + error.localized_description,
      Value("Product ID: " + productId + ", Error: " + error.description));
}

// The stand-in for an answer the store did not give although it reported
// no failure either.
StoreError NoAnswer() {
  StoreError error;
  error.domain = "StoreError";
  error.localized_description = "The store gave no answer.";
  error.description = "The store gave no answer.";
  return error;
}

SK2TransactionMessage PlaceholderTransaction(const std::string& productId,
                                             SK2PurchaseStatusMessage status) {
  SK2TransactionMessage m;
  m.id = 0;
  m.originalId = 0;
  m.productId = productId;
  m.purchasedQuantity = 1;
  m.status = status;
  return m;
}

}  // namespace

InAppPurchasePluginStoreKit2::InAppPurchasePluginStoreKit2(
    StoreKit2* store, Dispatch* dispatch, BinaryMessenger* messenger, OperatingSystemVersion os,
    std::function<bool()> has_view_controller)
    : store_(store),
      queue_(dispatch->CreateSerialQueue(kStoreKit2QueueLabel)),
      main_(dispatch->MainQueue()),
      os_(os),
      has_view_controller_(std::move(has_view_controller)),
      transactionCallbackAPI_(messenger, "") {}

InAppPurchasePluginStoreKit2::~InAppPurchasePluginStoreKit2() = default;

template <typename T>
void InAppPurchasePluginStoreKit2::Run(SK2Completion<T> completion,
                                       std::function<SK2Result<T>(Push* push)> work) {
  auto self = shared_from_this();
  queue_->Async([self, completion = std::move(completion), work = std::move(work)] {
    Push push;
    std::optional<SK2Result<T>> result;
    try {
      result.emplace(work(&push));
    } catch (const StoreValueError& e) {
      push.reset();
      result.emplace(InAppPurchase2Error::Pigeon("storekit2_unknown_platform_value", e.what(),
                                                 Value(e.value())));
    } catch (const std::exception& e) {
      push.reset();
      result.emplace(InAppPurchase2Error::Other(e.what(), ReadableTypeName(typeid(e))));
    }
    if (!push) {
      completion(std::move(*result));
      return;
    }
    self->sendTransactionUpdates(std::move(*push),
                                 [completion, result = std::move(*result)] { completion(result); });
  });
}

void InAppPurchasePluginStoreKit2::sendTransactionUpdates(
    std::vector<SK2TransactionMessage> transactions, std::function<void()> then) {
  auto self = shared_from_this();
  main_->Async([self, transactions = std::move(transactions), then = std::move(then)] {
    self->transactionCallbackAPI_.onTransactionsUpdated(
        transactions, [](std::optional<FlutterError> error) {
          if (!error) return;
          std::printf("Failed to send transaction update: %s\n",
                      DescribePigeonError(*error).c_str());
          std::fflush(stdout);
        });
    if (then) then();
  });
}

std::optional<StoreProduct> InAppPurchasePluginStoreKit2::FetchProduct(
    const std::string& id, std::optional<StoreError>* error) {
  std::vector<StoreProduct> found = store_->Products({id}, error);
  if (*error || found.empty()) return std::nullopt;
  return std::move(found.front());
}

bool InAppPurchasePluginStoreKit2::canMakePayments() { return store_->CanMakePayments(); }

void InAppPurchasePluginStoreKit2::products(
    const std::vector<std::string>& identifiers,
    SK2Completion<std::vector<SK2ProductMessage>> completion) {
  Run<std::vector<SK2ProductMessage>>(
      std::move(completion),
      [this, identifiers](Push*) -> SK2Result<std::vector<SK2ProductMessage>> {
        std::optional<StoreError> error;
        std::vector<StoreProduct> found = store_->Products(identifiers, &error);
        if (error) {
          return InAppPurchase2Error::Pigeon("storekit2_products_error",
                                             error->localized_description,
                                             Value(error->localized_description));
        }
        std::vector<SK2ProductMessage> out;
        out.reserve(found.size());
        for (const StoreProduct& product : found) out.push_back(convertToPigeon(product, os_));
        return out;
      });
}

SK2Result<StorePurchaseOptions> InAppPurchasePluginStoreKit2::BuildOptions(
    const StoreProduct& product, const SK2ProductPurchaseOptionsMessage& options) {
  StorePurchaseOptions out;
  if (options.appAccountToken) {
    // Text that is not a UUID is dropped, as the platform's UUID parser
    // would give nothing for it.
    out.app_account_token = CanonicalUuid(*options.appAccountToken);
  }
  out.quantity = options.quantity;
  if (os_.AtLeast(14, 4) && options.promotionalOffer) {
    const SK2SubscriptionOfferSignatureMessage& signature =
        options.promotionalOffer->promotionalOfferSignature;
    std::optional<std::string> nonce = CanonicalUuid(signature.nonce);
    if (!nonce) {
      return InAppPurchase2Error::Pigeon("storekit2_invalid_promotional_offer",
                                         "Invalid UUID format for nonce: " + signature.nonce,
                                         Value(product.identifier));
    }
    std::optional<std::vector<uint8_t>> bytes = Base64Decode(signature.signature, Base64Bits::kAnyUnused);
    if (!bytes) {
      return InAppPurchase2Error::Pigeon(
          "storekit2_invalid_promotional_offer",
          "Invalid Base64 format for signature: " + signature.signature, Value(product.identifier));
    }
    out.promotional_offer.emplace(
        options.promotionalOffer->promotionalOfferId,
        StorePromotionalOfferSignature{signature.keyID, *nonce, signature.timestamp,
                                       std::move(*bytes)});
  }
  if (os_.AtLeast(15) && options.winBackOfferId && HasSubscriptionInfo(product)) {
    const std::string& wanted = *options.winBackOfferId;
    bool listed = std::any_of(product.win_back_offers.begin(), product.win_back_offers.end(),
                              [&](const StoreOffer& offer) { return offer.identifier == wanted; });
    if (listed) out.win_back_offer_id = wanted;
  }
  return out;
}

void InAppPurchasePluginStoreKit2::purchase(
    const std::string& id, const std::optional<SK2ProductPurchaseOptionsMessage>& options,
    SK2Completion<SK2ProductPurchaseResultMessage> completion) {
  Run<SK2ProductPurchaseResultMessage>(
      std::move(completion),
      [this, id, options](Push* push) -> SK2Result<SK2ProductPurchaseResultMessage> {
        std::optional<StoreError> error;
        std::optional<StoreProduct> product = FetchProduct(id, &error);
        if (error) return InAppPurchase2Error::Platform(*error);
        if (!product) {
          return InAppPurchase2Error::Pigeon("storekit2_failed_to_fetch_product",
                                             kFailedToFetchProduct, Value("Product ID : " + id));
        }
        StorePurchaseOptions store_options;
        if (options) {
          SK2Result<StorePurchaseOptions> built = BuildOptions(*product, *options);
          if (auto* e = std::get_if<InAppPurchase2Error>(&built)) return *e;
          store_options = std::move(std::get<StorePurchaseOptions>(built));
        }
        for (const StoreVerificationResult& unfinished : store_->UnfinishedTransactions()) {
          if (unfinished.verified && unfinished.transaction.product_id == id) {
            return InAppPurchase2Error::Pigeon("storekit_duplicate_product_object",
                                               kDuplicateProduct, Value(id));
          }
        }
        std::optional<StorePurchaseResult> result =
            store_->Purchase(*product, store_options, &error);
        if (error) return InAppPurchase2Error::Platform(*error);
        if (!result) throw StoreValueError("", "no PurchaseResult");
        SK2ProductPurchaseResultMessage converted = convertToPigeon(*result);
        switch (result->kind) {
          case StorePurchaseResult::Kind::kSuccess:
            push->emplace(1, convertToPigeon(result->verification->transaction,
                                             result->verification->jws_representation,
                                             SK2PurchaseStatusMessage::purchased));
            break;
          case StorePurchaseResult::Kind::kPending:
            push->emplace(1, PlaceholderTransaction(id, SK2PurchaseStatusMessage::pending));
            break;
          case StorePurchaseResult::Kind::kUserCancelled:
            push->emplace(1, PlaceholderTransaction(id, SK2PurchaseStatusMessage::cancelled));
            break;
        }
        return converted;
      });
}

SK2Result<bool> InAppPurchasePluginStoreKit2::CheckEligibility(
    const std::string& productId, const std::optional<std::string>& winBackOfferId) {
  std::optional<StoreError> error;
  std::optional<StoreProduct> product = FetchProduct(productId, &error);
  if (error) return EligibilityError(productId, *error);
  if (!product) {
    return InAppPurchase2Error::Pigeon("storekit2_failed_to_fetch_product", kFailedToFetchProduct,
                                       Value("Product ID: " + productId));
  }
  if (!HasSubscriptionInfo(*product)) {
    return InAppPurchase2Error::Pigeon("storekit2_not_subscription",
                                       "Product is not a subscription",
                                       Value("Product ID: " + productId));
  }
  const std::string& group = *product->subscription_group_identifier;
  if (winBackOfferId) {
    std::vector<StoreSubscriptionStatus> statuses = store_->SubscriptionStatuses(group, &error);
    if (error) return EligibilityError(productId, *error);
    for (const StoreSubscriptionStatus& status : statuses) {
      if (!status.renewal_info_verified) continue;
      const auto& ids = status.eligible_win_back_offer_ids;
      if (std::find(ids.begin(), ids.end(), *winBackOfferId) != ids.end()) return true;
    }
    return false;
  }
  std::optional<bool> eligible = store_->IsEligibleForIntroOffer(group, &error);
  if (error) return EligibilityError(productId, *error);
  if (!eligible) return EligibilityError(productId, NoAnswer());
  return *eligible;
}

void InAppPurchasePluginStoreKit2::isWinBackOfferEligible(const std::string& productId,
                                                          const std::string& offerId,
                                                          SK2Completion<bool> completion) {
  if (!os_.AtLeast(15)) {
    completion(InAppPurchase2Error::Pigeon("storekit2_unsupported_platform_version",
                                           "Win back offers require iOS 18+ or macOS 15.0+"));
    return;
  }
  Run<bool>(std::move(completion),
            [this, productId, offerId](Push*) { return CheckEligibility(productId, offerId); });
}

void InAppPurchasePluginStoreKit2::isIntroductoryOfferEligible(const std::string& productId,
                                                               SK2Completion<bool> completion) {
  Run<bool>(std::move(completion),
            [this, productId](Push*) { return CheckEligibility(productId, std::nullopt); });
}

void InAppPurchasePluginStoreKit2::transactions(
    SK2Completion<std::vector<SK2TransactionMessage>> completion) {
  Run<std::vector<SK2TransactionMessage>>(
      std::move(completion), [this](Push*) -> SK2Result<std::vector<SK2TransactionMessage>> {
        std::vector<SK2TransactionMessage> out;
        for (const StoreVerificationResult& v : store_->AllTransactions()) {
          if (!v.verified) continue;
          out.push_back(
              convertToPigeon(v.transaction, std::nullopt, SK2PurchaseStatusMessage::purchased));
        }
        return out;
      });
}

void InAppPurchasePluginStoreKit2::unfinishedTransactions(
    SK2Completion<std::vector<SK2TransactionMessage>> completion) {
  Run<std::vector<SK2TransactionMessage>>(
      std::move(completion), [this](Push*) -> SK2Result<std::vector<SK2TransactionMessage>> {
        std::vector<SK2TransactionMessage> out;
        for (const StoreVerificationResult& v : store_->UnfinishedTransactions()) {
          if (!v.verified) continue;
          out.push_back(convertToPigeon(v.transaction, v.jws_representation,
                                        SK2PurchaseStatusMessage::purchased));
        }
        return out;
      });
}

void InAppPurchasePluginStoreKit2::finish(int64_t id, SK2Completion<SK2Void> completion) {
  if (id < 0) {
    completion(InAppPurchase2Error::Pigeon("storekit2_invalid_transaction_id",
                                           "A transaction id is never negative.", Value(id)));
    return;
  }
  Run<SK2Void>(std::move(completion), [this, id](Push*) -> SK2Result<SK2Void> {
    const auto wanted = static_cast<uint64_t>(id);
    for (const StoreVerificationResult& v : store_->AllTransactions()) {
      if (v.verified && v.transaction.id == wanted) {
        store_->Finish(wanted);
        break;
      }
    }
    // Nothing to finish is no failure: the store has nothing left to do.
    return SK2Void{};
  });
}

void InAppPurchasePluginStoreKit2::startListeningToTransactions() {
  std::weak_ptr<InAppPurchasePluginStoreKit2> weak = weak_from_this();
  std::shared_ptr<void> listener =
      store_->SubscribeToUpdates([weak](const StoreVerificationResult& update) {
        auto self = weak.lock();
        if (!self || !update.verified) return;
        self->sendTransactionUpdates({convertToPigeon(update.transaction, update.jws_representation,
                                                      SK2PurchaseStatusMessage::purchased)});
      });
  // The earlier listener is replaced but not cancelled: it keeps
  // delivering, so it must be kept.
  if (updateListenerTask_) replacedListenerTasks_.push_back(std::move(updateListenerTask_));
  updateListenerTask_ = std::move(listener);
}

void InAppPurchasePluginStoreKit2::stopListeningToTransactions() { updateListenerTask_.reset(); }

void InAppPurchasePluginStoreKit2::restorePurchases(SK2Completion<SK2Void> completion) {
  Run<SK2Void>(std::move(completion), [this](Push* push) -> SK2Result<SK2Void> {
    std::vector<SK2TransactionMessage> restored;
    ValueMap unverified;
    for (const StoreVerificationResult& v : store_->CurrentEntitlements()) {
      if (v.verified) {
        restored.push_back(convertToPigeon(v.transaction, v.jws_representation,
                                           SK2PurchaseStatusMessage::restored));
      } else {
        unverified.set(Value(static_cast<int64_t>(v.transaction.id)),
                       Value(ValueMap{{"jwsRepresentation", Value(v.jws_representation)},
                                      {"error", Value(v.verification_error)}}));
      }
    }
    *push = std::move(restored);
    if (unverified.empty()) return SK2Void{};
    return InAppPurchase2Error::Pigeon("storekit2_restore_failed",
                                       "This purchase could not be restored.",
                                       Value(std::move(unverified)));
  });
}

void InAppPurchasePluginStoreKit2::countryCode(SK2Completion<std::string> completion) {
  Run<std::string>(std::move(completion), [this](Push*) -> SK2Result<std::string> {
    std::optional<StoreStorefront> storefront = store_->CurrentStorefront();
    if (!storefront) {
      return InAppPurchase2Error::Pigeon("storekit2_failed_to_fetch_country_code",
                                         "Storekit has failed to fetch the country code.",
                                         Value("Storefront.current returned nil."));
    }
    return storefront->country_code;
  });
}

void InAppPurchasePluginStoreKit2::sync(SK2Completion<SK2Void> completion) {
  Run<SK2Void>(std::move(completion), [this](Push*) -> SK2Result<SK2Void> {
    if (std::optional<StoreError> error = store_->Sync()) {
      return InAppPurchase2Error::Pigeon("storekit2_failed_to_sync_to_app_store",
                                         "Storekit has failed to sync to the app store.",
                                         Value(error->description));
    }
    return SK2Void{};
  });
}

void InAppPurchasePluginStoreKit2::presentOfferCodeRedeemSheet(SK2Completion<SK2Void> completion) {
  if (!os_.AtLeast(15)) {
    completion(InAppPurchase2Error::Pigeon("storekit2_unsupported_platform_version",
                                           "Offer code redemption requires macOS 15+"));
    return;
  }
  if (!has_view_controller_ || !has_view_controller_()) {
    completion(InAppPurchase2Error::Pigeon("storekit2_missing_view_controller",
                                           "Failed to fetch view controller",
                                           Value("registrar.viewController returned nil.")));
    return;
  }
  // The sheet belongs to the window, so it is presented from the main
  // queue.
  auto self = shared_from_this();
  main_->Async([self, completion = std::move(completion)] {
    if (std::optional<StoreError> error = self->store_->PresentOfferCodeRedeemSheet()) {
      completion(InAppPurchase2Error::Platform(*error));
    } else {
      completion(SK2Void{});
    }
  });
}

}  // namespace kelvo
