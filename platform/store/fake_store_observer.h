// Recording stand-ins for the store's clients, for tests: a payment queue
// observer and a request delegate that write down every report in order.
// Threading: reports arrive on the main queue; read the records from the
// thread that drives it (the test thread under VirtualDispatch).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/store/store_kit.h"

namespace kelvo {

class RecordingQueueObserver : public StorePaymentQueueObserver {
 public:
  // One report: "updated", "removed", "restoreFailed", "restoreFinished",
  // "downloads" or "shouldAdd", with what came with it.
  struct Report {
    std::string kind;
    std::vector<StorePaymentTransaction> transactions;
    std::optional<StoreError> error;
    std::optional<std::string> product_identifier;  // shouldAdd
  };

  void UpdatedTransactions(const std::vector<StorePaymentTransaction>& transactions) override;
  void RemovedTransactions(const std::vector<StorePaymentTransaction>& transactions) override;
  void RestoreCompletedTransactionsFailed(const StoreError& error) override;
  void RestoreCompletedTransactionsFinished() override;
  void UpdatedDownloads(const std::vector<StoreDownload>& downloads) override;
  bool ShouldAddStorePayment(const StorePayment& payment, const StoreProduct& product) override;

  // The answer to ShouldAddStorePayment (false by default).
  bool add_store_payments = false;
  std::vector<Report> reports;
  // Kinds only, e.g. {"updated", "updated"}.
  std::vector<std::string> kinds() const;
  // States of the transactions of every "updated" report, flattened.
  std::vector<int64_t> updated_states() const;
};

class RecordingRequestDelegate : public StoreRequestDelegate {
 public:
  void DidReceiveResponse(const StoreProductsResponse& response) override;
  void RequestDidFinish() override;
  void DidFailWithError(const StoreError& error) override;

  // "response", "finished", "failed" in order.
  std::vector<std::string> events;
  std::vector<StoreProductsResponse> responses;
  std::vector<StoreError> errors;
  // Runs after each event is recorded (a test may drop the request here).
  std::function<void()> after_event;
};

}  // namespace kelvo
