#include "platform/dispatch/task_guard.h"
#include "platform/dispatch/virtual_dispatch.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>

#include "platform/dispatch/timed_queue.h"

namespace kelvo {
namespace {

// The queue whose item this thread is running, for IsCurrent().
thread_local const Queue* tl_running = nullptr;

// After this much real quiet RunUntil lets virtual time move on.
constexpr std::chrono::milliseconds kQuiet(20);

}  // namespace

class VirtualQueue;

// One ordered list of items for all queues: everything runs on the driving
// thread, so a global order keeps each queue serial and FIFO.
struct VirtualDispatchState {
  struct Item {
    std::shared_ptr<VirtualQueue> queue;  // pending work keeps its queue
    Work work;
  };

  explicit VirtualDispatchState(double epoch) : wall_epoch(epoch) {}

  Duration Now() const {
    std::lock_guard lock(mu);
    return now;
  }

  bool HasDueLocked() const { return !items.empty() && items.begin()->first.deadline <= now; }

  // Runs the earliest item if its deadline is at most `limit`, moving time
  // up to that deadline first. False when there is no such item.
  bool RunNext(Duration limit);

  const double wall_epoch;
  mutable std::mutex mu;
  std::condition_variable posted;  // signalled on every new item
  Duration now{0};
  std::uint64_t seq = 0;
  bool alive = true;
  std::map<DelayedKey, Item> items;
};

class VirtualQueue final : public TimedQueue, public std::enable_shared_from_this<VirtualQueue> {
 public:
  VirtualQueue(std::shared_ptr<VirtualDispatchState> state, std::string label)
      : state_(std::move(state)), label_(std::move(label)) {}

  const std::string& label() const override { return label_; }
  void Async(Work work) override { AsyncAt(Duration::min(), std::move(work)); }
  void AsyncAfter(Duration delay, Work work) override {
    AsyncAt(AddClamped(state_->Now(), delay), std::move(work));
  }
  bool IsCurrent() const override { return tl_running == this; }
  Duration Now() const override { return state_->Now(); }

  // `work` is a parameter, so it is destroyed after the lock is released.
  DelayedKey AsyncAt(Duration deadline, Work work) override {
    std::lock_guard lock(state_->mu);
    if (!state_->alive) return {};
    const DelayedKey key{std::max(deadline, state_->now), ++state_->seq};
    state_->items.emplace(key, VirtualDispatchState::Item{shared_from_this(), std::move(work)});
    state_->posted.notify_all();
    return key;
  }

  void Unschedule(DelayedKey key) override {
    std::unique_lock lock(state_->mu);
    auto node = state_->items.extract(key);
    lock.unlock();  // the item is destroyed unlocked
  }

 private:
  const std::shared_ptr<VirtualDispatchState> state_;
  const std::string label_;
};

bool VirtualDispatchState::RunNext(Duration limit) {
  std::unique_lock lock(mu);
  if (items.empty() || items.begin()->first.deadline > limit) return false;
  auto node = items.extract(items.begin());
  now = std::max(now, node.key().deadline);
  lock.unlock();
  struct Running {
    const Queue* saved;
    explicit Running(const Queue* q) : saved(tl_running) { tl_running = q; }
    ~Running() { tl_running = saved; }
  } running(node.mapped().queue.get());
  RunGuarded(node.mapped().queue ? node.mapped().queue->label() : "timer", node.mapped().work);
  return true;
}

VirtualDispatch::VirtualDispatch(double wall_epoch_seconds)
    : state_(std::make_shared<VirtualDispatchState>(wall_epoch_seconds)),
      main_(std::make_shared<VirtualQueue>(state_, "main")) {}

VirtualDispatch::~VirtualDispatch() {
  decltype(state_->items) dropped;
  {
    std::lock_guard lock(state_->mu);
    state_->alive = false;
    dropped.swap(state_->items);
  }
}

double VirtualDispatch::WallSeconds() const {
  return state_->wall_epoch + std::chrono::duration<double>(Now()).count();
}

Duration VirtualDispatch::Monotonic() const { return Now(); }

std::shared_ptr<Queue> VirtualDispatch::CreateSerialQueue(const std::string& label) {
  return std::make_shared<VirtualQueue>(state_, label);
}

std::shared_ptr<Queue> VirtualDispatch::MainQueue() { return main_; }

std::shared_ptr<TimerSource> VirtualDispatch::CreateTimer(std::shared_ptr<Queue> queue) {
  return MakeRepeatingTimer(std::move(queue));
}

Duration VirtualDispatch::Now() const { return state_->Now(); }

void VirtualDispatch::RunUntilIdle() {
  const Duration now = Now();
  while (state_->RunNext(now)) {
  }
}

void VirtualDispatch::AdvanceTo(Duration deadline) {
  while (state_->RunNext(deadline)) {
  }
  std::lock_guard lock(state_->mu);
  state_->now = std::max(state_->now, deadline);
}

void VirtualDispatch::AdvanceBy(Duration delta) { AdvanceTo(AddClamped(Now(), delta)); }

std::size_t VirtualDispatch::PendingCount() const {
  std::lock_guard lock(state_->mu);
  return state_->items.size();
}

bool VirtualDispatch::RunUntil(const std::function<bool()>& pred, Duration max_virtual,
                               std::chrono::milliseconds real_cap) {
  using RealClock = std::chrono::steady_clock;
  const Duration virtual_limit = AddClamped(Now(), max_virtual);
  const auto give_up = RealClock::now() + real_cap;
  for (;;) {
    RunUntilIdle();
    if (pred()) return true;
    {
      std::unique_lock lock(state_->mu);
      const auto quiet_until = std::min(give_up, RealClock::now() + kQuiet);
      if (state_->posted.wait_until(lock, quiet_until, [&] { return state_->HasDueLocked(); })) {
        continue;
      }
    }
    if (RealClock::now() >= give_up) return pred();
    state_->RunNext(virtual_limit);
  }
}

}  // namespace kelvo
