#include "services/store/request_handler.h"

#include <utility>

namespace kelvo {

FIAPRequestHandler::FIAPRequestHandler(std::unique_ptr<StoreRequest> request)
    : request_(std::move(request)) {
  if (request_) request_->SetDelegate(this);
}

FIAPRequestHandler::~FIAPRequestHandler() {
  if (request_) request_->SetDelegate(nullptr);
}

void FIAPRequestHandler::startProductRequestWithCompletionHandler(
    ProductRequestCompletion completion) {
  completion_ = std::move(completion);
  if (request_) request_->Start();
}

ProductRequestCompletion FIAPRequestHandler::TakeCompletion() {
  ProductRequestCompletion completion = std::move(completion_);
  completion_ = nullptr;
  return completion;
}

void FIAPRequestHandler::DidReceiveResponse(const StoreProductsResponse& response) {
  if (auto completion = TakeCompletion()) completion(response, std::nullopt);
}

void FIAPRequestHandler::RequestDidFinish() {
  if (auto completion = TakeCompletion()) completion(std::nullopt, std::nullopt);
}

void FIAPRequestHandler::DidFailWithError(const StoreError& error) {
  if (auto completion = TakeCompletion()) completion(std::nullopt, error);
}

}  // namespace kelvo
