#include "platform/dispatch/asio_dispatch.h"

#include <algorithm>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <atomic>
#include <map>
#include <mutex>
#include <optional>

#include "platform/dispatch/timed_queue.h"

namespace kelvo {
namespace {

using SteadyClock = std::chrono::steady_clock;
using WorkGuard = asio::executor_work_guard<asio::io_context::executor_type>;

Duration SteadyNow() { return ToDuration(SteadyClock::now().time_since_epoch()); }

}  // namespace

class AsioQueue;

// Shared by the dispatch and its queues, so that the event loops outlive
// every strand and timer made on them.
struct AsioCore {
  asio::io_context workers;
  asio::io_context main;
  std::optional<WorkGuard> workers_guard;
  std::optional<WorkGuard> main_guard;
  std::mutex mu;
  std::vector<std::weak_ptr<AsioQueue>> queues;  // for the teardown
  std::unique_ptr<asio::signal_set> signals;
};

// A strand for ordering, plus one steady timer that hands delayed items to
// the strand when due; the delayed items wait in deadline order here.
class AsioQueue final : public TimedQueue, public std::enable_shared_from_this<AsioQueue> {
 public:
  AsioQueue(std::shared_ptr<AsioCore> core, asio::io_context& io, std::string label)
      : core_(std::move(core)), label_(std::move(label)), strand_(asio::make_strand(io)), timer_(io) {}

  const std::string& label() const override { return label_; }

  void Async(Work work) override {
    std::lock_guard lock(mu_);
    if (!dead_) PostLocked(std::move(work));
  }

  void AsyncAfter(Duration delay, Work work) override {
    AsyncAt(AddClamped(Now(), delay), std::move(work));
  }

  bool IsCurrent() const override { return strand_.running_in_this_thread(); }
  Duration Now() const override { return SteadyNow(); }

  DelayedKey AsyncAt(Duration deadline, Work work) override {
    std::lock_guard lock(mu_);
    if (dead_) return {};
    const DelayedKey key{deadline, ++seq_};
    delayed_.emplace(key, std::move(work));
    if (delayed_.begin()->first == key) ArmLocked(deadline);
    return key;
  }

  void Unschedule(DelayedKey key) override {
    std::unique_lock lock(mu_);
    auto node = delayed_.extract(key);
    lock.unlock();  // the item is destroyed unlocked
  }

  // From the dispatch's destructor: takes no more work and drops the delayed
  // items; what is already posted is skipped when the loop is drained.
  void Shutdown() {
    decltype(delayed_) dropped;
    std::lock_guard lock(mu_);
    dead_ = true;
    timer_.cancel();
    dropped.swap(delayed_);
  }

 private:
  void PostLocked(Work work) {
    asio::post(strand_, [self = shared_from_this(), work = std::move(work)] {
      if (!self->dead_) work();
    });
  }

  void ArmLocked(Duration deadline) {
    armed_at_ = deadline;
    timer_.expires_at(SteadyClock::time_point(std::chrono::duration_cast<SteadyClock::duration>(deadline)));
    timer_.async_wait([self = shared_from_this()](const asio::error_code&) { self->OnTimer(); });
  }

  // Also runs when a wait was cancelled by re-arming; then the newer wait is
  // still pending for armed_at_ and nothing needs doing beyond due items.
  void OnTimer() {
    std::lock_guard lock(mu_);
    if (dead_) return;
    const Duration now = Now();
    while (!delayed_.empty() && delayed_.begin()->first.deadline <= now) {
      PostLocked(std::move(delayed_.extract(delayed_.begin()).mapped()));
    }
    if (!delayed_.empty() && delayed_.begin()->first.deadline != armed_at_) {
      ArmLocked(delayed_.begin()->first.deadline);
    }
  }

  const std::shared_ptr<AsioCore> core_;  // first: destroyed last
  const std::string label_;
  const asio::strand<asio::io_context::executor_type> strand_;
  std::mutex mu_;
  asio::steady_timer timer_;
  Duration armed_at_{0};
  std::map<DelayedKey, Work> delayed_;
  std::uint64_t seq_ = 0;
  std::atomic<bool> dead_{false};
};

namespace {

std::shared_ptr<AsioQueue> NewQueue(const std::shared_ptr<AsioCore>& core, asio::io_context& io,
                                    const std::string& label) {
  auto queue = std::make_shared<AsioQueue>(core, io, label);
  std::lock_guard lock(core->mu);
  std::erase_if(core->queues, [](const auto& weak) { return weak.expired(); });
  core->queues.push_back(queue);
  return queue;
}

}  // namespace

AsioDispatch::AsioDispatch(int worker_threads) : core_(std::make_shared<AsioCore>()) {
  core_->workers_guard.emplace(core_->workers.get_executor());
  core_->main_guard.emplace(core_->main.get_executor());
  main_ = NewQueue(core_, core_->main, "main");
  for (int i = 0; i < std::max(1, worker_threads); ++i) {
    workers_.emplace_back([core = core_.get()] { core->workers.run(); });
  }
}

AsioDispatch::~AsioDispatch() {
  core_->workers_guard.reset();
  core_->workers.stop();
  for (auto& worker : workers_) worker.join();
  core_->main.stop();

  std::vector<std::weak_ptr<AsioQueue>> queues;
  {
    std::lock_guard lock(core_->mu);
    queues.swap(core_->queues);
    if (core_->signals) core_->signals->cancel();
  }
  for (auto& weak : queues) {
    if (auto queue = weak.lock()) queue->Shutdown();
  }
  // Run what is left as no-ops, so that what it captured is released now
  // and no cycle through a queue outlives the dispatch.
  for (asio::io_context* io : {&core_->workers, &core_->main}) {
    io->restart();
    io->poll();
  }
  core_->signals.reset();
  core_->main_guard.reset();
}

double AsioDispatch::WallSeconds() const {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

Duration AsioDispatch::Monotonic() const { return SteadyNow(); }

std::shared_ptr<Queue> AsioDispatch::CreateSerialQueue(const std::string& label) {
  return NewQueue(core_, core_->workers, label);
}

std::shared_ptr<Queue> AsioDispatch::MainQueue() { return main_; }

std::shared_ptr<TimerSource> AsioDispatch::CreateTimer(std::shared_ptr<Queue> queue) {
  return MakeRepeatingTimer(std::move(queue));
}

void AsioDispatch::RunMain() {
  core_->main.run();
  core_->main.restart();
}

void AsioDispatch::StopMain() { core_->main.stop(); }

void AsioDispatch::StopMainOnSignals(std::initializer_list<int> signals) {
  std::lock_guard lock(core_->mu);
  if (!core_->signals) {
    core_->signals = std::make_unique<asio::signal_set>(core_->workers);
    core_->signals->async_wait([core = core_.get()](const asio::error_code& error, int) {
      if (!error) core->main.stop();
    });
  }
  for (int signal : signals) core_->signals->add(signal);
}

}  // namespace kelvo
