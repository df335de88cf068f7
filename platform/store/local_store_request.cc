#include "platform/store/local_store_request.h"

#include "platform/store/local_store_core.h"

namespace kelvo {

LocalStoreRequest::LocalStoreRequest(std::weak_ptr<LocalStoreCore> core, Kind kind,
                                     std::set<std::string> identifiers)
    : core_(std::move(core)), kind_(kind), identifiers_(std::move(identifiers)) {}

LocalStoreRequest::~LocalStoreRequest() { SetDelegate(nullptr); }

void LocalStoreRequest::SetDelegate(StoreRequestDelegate* delegate) {
  std::lock_guard<std::mutex> lock(shared_->mu);
  shared_->delegate = delegate;
}

void LocalStoreRequest::Start() {
  std::shared_ptr<LocalStoreCore> core = core_.lock();
  if (!core || started_) return;
  started_ = true;

  // The outcome is decided now, so "the next request fails" means the next
  // one started; it is reported later.
  std::optional<StoreError> failure;
  StoreProductsResponse response;
  {
    std::lock_guard<std::mutex> lock(core->mu);
    failure = std::move(core->fail_next_request);
    core->fail_next_request.reset();
    if (!failure) {
      failure = core->TakeFailure(kind_ == Kind::kProducts ? StoreOperation::kProductsRequest
                                                           : StoreOperation::kReceiptRefresh);
    }
    if (kind_ == Kind::kProducts && !failure) {
      response.invalid_product_identifiers.emplace();
      for (const std::string& id : identifiers_) {
        if (const ConfiguredProduct* p = core->config.FindProduct(id)) {
          response.products.push_back(p->product);
        } else {
          response.invalid_product_identifiers->push_back(id);
        }
      }
    }
  }

  std::weak_ptr<LocalStoreCore> weak = core_;
  core->main->Async([weak, shared = shared_, kind = kind_, failure = std::move(failure),
                     response = std::move(response)] {
    std::shared_ptr<LocalStoreCore> self = weak.lock();
    if (!self) return;
    if (failure) {
      self->log->Info("store request failed: " + failure->localized_description);
      if (StoreRequestDelegate* d = shared->Get()) d->DidFailWithError(*failure);
      return;
    }
    if (kind == Kind::kProducts) {
      if (StoreRequestDelegate* d = shared->Get()) d->DidReceiveResponse(response);
    } else {
      std::lock_guard<std::mutex> lock(self->mu);
      self->WriteReceiptLocked();
    }
    // The response's handler may have dropped the request (and so the
    // delegate) already.
    if (StoreRequestDelegate* d = shared->Get()) d->RequestDidFinish();
  });
}

}  // namespace kelvo
