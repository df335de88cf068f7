#include "services/store/testing/fake_store_kit.h"

#include <algorithm>

namespace kelvo::testing {

void FakePaymentQueue::AddTransactionObserver(StorePaymentQueueObserver* observer) {
  observers.push_back(observer);
}

void FakePaymentQueue::RemoveTransactionObserver(StorePaymentQueueObserver* observer) {
  observers.erase(std::remove(observers.begin(), observers.end(), observer), observers.end());
}

std::unique_ptr<StoreRequest> FakeStoreKit::CreateProductsRequest(
    const std::set<std::string>& identifiers) {
  auto state = std::make_shared<FakeRequestState>();
  state->identifiers = identifiers;
  requests.push_back(state);
  return std::make_unique<FakeStoreRequest>(state);
}

std::unique_ptr<StoreRequest> FakeStoreKit::CreateReceiptRefreshRequest(
    const std::optional<std::vector<std::pair<std::string, std::string>>>& properties) {
  auto state = std::make_shared<FakeRequestState>();
  state->properties = properties;
  state->is_refresh = true;
  requests.push_back(state);
  return std::make_unique<FakeStoreRequest>(state);
}

StoreProduct MakeProduct(const std::string& identifier) {
  StoreProduct product;
  product.identifier = identifier;
  product.localized_title = "Title of " + identifier;
  product.localized_description = "Description of " + identifier;
  product.price = "0.99";
  product.display_price = "$0.99";
  product.price_locale = {"en_US", "$", "USD", "US"};
  return product;
}

StorePaymentTransaction MakeTransaction(const std::string& product_identifier, int64_t state,
                                        std::optional<std::string> identifier) {
  StorePaymentTransaction transaction;
  transaction.payment.product_identifier = product_identifier;
  transaction.state = state;
  transaction.identifier = std::move(identifier);
  transaction.date = 1'700'000'000.5;
  return transaction;
}

}  // namespace kelvo::testing
