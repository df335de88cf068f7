// The local store's first-generation requests. Internal to the store layer.
//
// A products request answers with the known products in the order of its
// identifiers and lists the unknown ones as invalid, then reports that it
// finished. A receipt refresh rewrites the receipt file and reports that it
// finished. Either fails instead when a test asked the next request to fail.
// Reports run on the main queue after Start() returns, and only reach a
// delegate that is still set (destroying the request clears it).
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/store/store_kit.h"

namespace kelvo {

struct LocalStoreCore;

class LocalStoreRequest : public StoreRequest {
 public:
  enum class Kind { kProducts, kReceiptRefresh };

  LocalStoreRequest(std::weak_ptr<LocalStoreCore> core, Kind kind, std::set<std::string> identifiers);
  ~LocalStoreRequest() override;

  void SetDelegate(StoreRequestDelegate* delegate) override;
  void Start() override;

 private:
  // Outlives the request while a report is on its way.
  struct Shared {
    std::mutex mu;
    StoreRequestDelegate* delegate = nullptr;
    StoreRequestDelegate* Get() {
      std::lock_guard<std::mutex> lock(mu);
      return delegate;
    }
  };

  std::weak_ptr<LocalStoreCore> core_;
  const Kind kind_;
  const std::set<std::string> identifiers_;
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  bool started_ = false;
};

}  // namespace kelvo
