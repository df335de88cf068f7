// The timer source of both dispatches: one delayed item on its queue at a
// time, re-armed after each firing.
#include <algorithm>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "platform/dispatch/timed_queue.h"

namespace kelvo {
namespace {

class RepeatingTimer final : public TimerSource,
                             public std::enable_shared_from_this<RepeatingTimer> {
 public:
  explicit RepeatingTimer(std::shared_ptr<TimedQueue> queue) : queue_(std::move(queue)) {}

  ~RepeatingTimer() override {
    std::lock_guard lock(mu_);
    UnscheduleLocked();
  }

  void Schedule(Duration first, Duration interval, Duration /*leeway*/) override {
    std::lock_guard lock(mu_);
    if (cancelled_) return;
    next_ = AddClamped(queue_->Now(), first);
    interval_ = std::max(interval, Duration(0));
    scheduled_ = true;
    if (resumed_) ArmLocked();
  }

  void SetEventHandler(Work handler) override {
    std::lock_guard lock(mu_);
    if (cancelled_) return;
    handler_ = std::make_shared<Work>(std::move(handler));
  }

  void Resume() override {
    std::lock_guard lock(mu_);
    if (cancelled_ || resumed_) return;
    resumed_ = true;
    if (scheduled_) ArmLocked();
  }

  void Cancel() override {
    std::shared_ptr<Work> dropped;  // released outside the lock
    std::lock_guard lock(mu_);
    cancelled_ = true;
    UnscheduleLocked();
    dropped = std::move(handler_);
  }

  bool IsCancelled() const override {
    std::lock_guard lock(mu_);
    return cancelled_;
  }

 private:
  void ArmLocked() {
    UnscheduleLocked();
    const std::uint64_t generation = ++generation_;
    pending_ = queue_->AsyncAt(next_, [weak = weak_from_this(), generation] {
      if (auto self = weak.lock()) self->Fire(generation);
    });
  }

  void UnscheduleLocked() {
    if (pending_) queue_->Unschedule(*pending_);
    pending_.reset();
  }

  // Runs on the queue. The handler runs unlocked so that it may Cancel or
  // Schedule; it then re-arms unless it did either.
  void Fire(std::uint64_t generation) {
    std::shared_ptr<Work> handler;
    {
      std::lock_guard lock(mu_);
      if (cancelled_ || !pending_ || generation != generation_) return;
      pending_.reset();
      handler = handler_;
    }
    if (handler && *handler) (*handler)();
    std::lock_guard lock(mu_);
    if (cancelled_ || pending_ || interval_ <= Duration(0)) return;
    // Firings missed while the queue was busy collapse into the next one.
    const Duration now = queue_->Now();
    next_ = AddClamped(next_, interval_);
    if (next_ <= now) next_ += ((now - next_) / interval_ + 1) * interval_;
    ArmLocked();
  }

  const std::shared_ptr<TimedQueue> queue_;
  mutable std::mutex mu_;
  std::shared_ptr<Work> handler_;
  Duration next_{0};
  Duration interval_{0};
  bool scheduled_ = false;
  bool resumed_ = false;
  bool cancelled_ = false;
  std::uint64_t generation_ = 0;
  std::optional<DelayedKey> pending_;
};

}  // namespace

std::shared_ptr<TimerSource> MakeRepeatingTimer(std::shared_ptr<Queue> queue) {
  auto timed = std::dynamic_pointer_cast<TimedQueue>(std::move(queue));
  if (!timed) throw std::invalid_argument("CreateTimer: the queue must come from a Dispatch");
  return std::make_shared<RepeatingTimer>(std::move(timed));
}

}  // namespace kelvo
