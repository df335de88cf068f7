#include "platform/store/fake_store_observer.h"

namespace kelvo {

void RecordingQueueObserver::UpdatedTransactions(const std::vector<StorePaymentTransaction>& t) {
  reports.push_back({"updated", t, std::nullopt, std::nullopt});
}

void RecordingQueueObserver::RemovedTransactions(const std::vector<StorePaymentTransaction>& t) {
  reports.push_back({"removed", t, std::nullopt, std::nullopt});
}

void RecordingQueueObserver::RestoreCompletedTransactionsFailed(const StoreError& error) {
  reports.push_back({"restoreFailed", {}, error, std::nullopt});
}

void RecordingQueueObserver::RestoreCompletedTransactionsFinished() {
  reports.push_back({"restoreFinished", {}, std::nullopt, std::nullopt});
}

void RecordingQueueObserver::UpdatedDownloads(const std::vector<StoreDownload>&) {
  reports.push_back({"downloads", {}, std::nullopt, std::nullopt});
}

bool RecordingQueueObserver::ShouldAddStorePayment(const StorePayment& payment, const StoreProduct&) {
  reports.push_back({"shouldAdd", {}, std::nullopt, payment.product_identifier});
  return add_store_payments;
}

std::vector<std::string> RecordingQueueObserver::kinds() const {
  std::vector<std::string> k;
  for (const Report& r : reports) k.push_back(r.kind);
  return k;
}

std::vector<int64_t> RecordingQueueObserver::updated_states() const {
  std::vector<int64_t> states;
  for (const Report& r : reports) {
    if (r.kind != "updated") continue;
    for (const StorePaymentTransaction& t : r.transactions) states.push_back(t.state);
  }
  return states;
}

void RecordingRequestDelegate::DidReceiveResponse(const StoreProductsResponse& response) {
  events.push_back("response");
  responses.push_back(response);
  if (after_event) after_event();
}

void RecordingRequestDelegate::RequestDidFinish() {
  events.push_back("finished");
  if (after_event) after_event();
}

void RecordingRequestDelegate::DidFailWithError(const StoreError& error) {
  events.push_back("failed");
  errors.push_back(error);
  if (after_event) after_event();
}

}  // namespace kelvo
