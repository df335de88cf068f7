// FIAPRequestHandler: turns one store request (a products request or a
// receipt refresh request) into one completion call. It is the request's
// delegate from construction on.
//
// A products request reports its response and then that it finished; the
// completion gets the response, once. A refresh request only finishes; the
// completion gets neither response nor error. A failure gives the error.
// Later reports of the same request find no completion and are dropped.
//
// Ownership: owns the request. The caller keeps the handler alive until
// the completion has been called; the completion may release the handler
// only after returning (the store is still inside its report).
// Threading: the main queue, where the store reports.
#pragma once

#include <memory>

#include "platform/store/store_kit.h"
#include "services/store/protocols.h"

namespace kelvo {

class FIAPRequestHandler final : public StoreRequestDelegate {
 public:
  explicit FIAPRequestHandler(std::unique_ptr<StoreRequest> request);
  ~FIAPRequestHandler() override;
  FIAPRequestHandler(const FIAPRequestHandler&) = delete;
  FIAPRequestHandler& operator=(const FIAPRequestHandler&) = delete;

  // Stores the completion and starts the request.
  void startProductRequestWithCompletionHandler(ProductRequestCompletion completion);

  void DidReceiveResponse(const StoreProductsResponse& response) override;
  void RequestDidFinish() override;
  void DidFailWithError(const StoreError& error) override;

 private:
  // Hands the stored completion to the caller and forgets it, so that it
  // runs at most once.
  ProductRequestCompletion TakeCompletion();

  std::unique_ptr<StoreRequest> request_;
  ProductRequestCompletion completion_;
};

}  // namespace kelvo
