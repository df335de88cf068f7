#include "platform/path_monitor/fake_route_watch.h"

#include <vector>

namespace kelvo {

class FakeRouteWatch final : public RouteWatch {
 public:
  explicit FakeRouteWatch(std::shared_ptr<FakeRouteKernel> kernel) : kernel_(std::move(kernel)) {}
  ~FakeRouteWatch() override {
    std::lock_guard lock(kernel_->mu_);
    kernel_->watches_.erase(this);
  }

  std::optional<std::string> ReadSnapshot(NetSnapshot* out) override {
    std::lock_guard lock(kernel_->mu_);
    *out = kernel_->tables_;
    return std::nullopt;
  }

  void Begin(RouteWatchEvents events) override {
    std::lock_guard lock(kernel_->mu_);
    events_ = std::move(events);
    begun_ = true;
  }

  // Kernel's mutex held.
  bool listening() const { return begun_ && !broken_; }
  const RouteWatchEvents& events() const { return events_; }
  void MarkBroken() { broken_ = true; }

 private:
  const std::shared_ptr<FakeRouteKernel> kernel_;
  RouteWatchEvents events_;
  bool begun_ = false;
  bool broken_ = false;
};

std::shared_ptr<FakeRouteKernel> FakeRouteKernel::Create(NetSnapshot tables) {
  std::shared_ptr<FakeRouteKernel> kernel(new FakeRouteKernel());
  kernel->tables_ = std::move(tables);
  return kernel;
}

RouteWatchOpener FakeRouteKernel::Opener() {
  return [kernel = shared_from_this()](std::string* error) -> std::unique_ptr<RouteWatch> {
    {
      std::lock_guard lock(kernel->mu_);
      if (kernel->failing_opens_ > 0) {
        --kernel->failing_opens_;
        *error = kernel->open_error_;
        return nullptr;
      }
      ++kernel->opened_;
    }
    auto watch = std::make_unique<FakeRouteWatch>(kernel);
    std::lock_guard lock(kernel->mu_);
    kernel->watches_.insert(watch.get());
    return watch;
  };
}

void FakeRouteKernel::SetTables(NetSnapshot tables) {
  std::lock_guard lock(mu_);
  tables_ = std::move(tables);
}

void FakeRouteKernel::Change(NetSnapshot tables) {
  std::vector<RouteWatchEvents> listeners;
  {
    std::lock_guard lock(mu_);
    tables_ = tables;
    for (FakeRouteWatch* watch : watches_) {
      if (watch->listening()) listeners.push_back(watch->events());
    }
  }
  for (const RouteWatchEvents& events : listeners) events.changed(tables);
}

void FakeRouteKernel::Break(const std::string& error) {
  std::vector<RouteWatchEvents> listeners;
  {
    std::lock_guard lock(mu_);
    for (FakeRouteWatch* watch : watches_) {
      if (!watch->listening()) continue;
      watch->MarkBroken();
      listeners.push_back(watch->events());
    }
  }
  for (const RouteWatchEvents& events : listeners) events.failed(error);
}

void FakeRouteKernel::FailOpens(int count, std::string error) {
  std::lock_guard lock(mu_);
  failing_opens_ = count;
  open_error_ = std::move(error);
}

FakeRouteKernel::Watches FakeRouteKernel::watches() const {
  std::lock_guard lock(mu_);
  return {opened_, static_cast<int>(watches_.size())};
}

}  // namespace kelvo
