#include "platform/dispatch/asio_dispatch.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>

#include "platform/dispatch/task_guard.h"
#include "platform/dispatch/timed_queue.h"

namespace kelvo {
namespace {

using SteadyClock = std::chrono::steady_clock;
using WorkGuard = asio::executor_work_guard<asio::io_context::executor_type>;

Duration SteadyNow() { return ToDuration(SteadyClock::now().time_since_epoch()); }

}  // namespace

class AsioQueue;
class MainLoopQueue;

// Shared by the dispatch and its queues, so that the event loop outlives
// every strand and timer made on it.
struct AsioCore {
  asio::io_context workers;
  std::optional<WorkGuard> workers_guard;
  std::shared_ptr<MainLoopQueue> main;
  std::mutex mu;
  std::vector<std::weak_ptr<AsioQueue>> queues;  // for the teardown
  std::unique_ptr<asio::signal_set> signals;
};

// The main queue: a plain mutex + condition variable loop rather than an
// io_context, so a post costs one futex wake-up of the RunMain thread
// instead of a reactor interrupt (eventfd write, epoll wake-up, timer
// re-check) plus a strand hop, which more than halves the latency of
// handing work to the main thread. Once descriptors are watched
// (ReadinessWatcher) the loop sleeps in epoll on them and an eventfd
// instead, so that a request on a socket wakes the main thread directly
// rather than a reader thread that would then have to wake it (epoll
// rather than ppoll: the set is registered once, not on every wait).
class MainLoopQueue final : public TimedQueue, public ReadinessWatcher {
 public:
  MainLoopQueue()
      : wake_fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
        epoll_fd_(::epoll_create1(EPOLL_CLOEXEC)) {
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u64 = 0;  // no watch has id 0
    watching_ok_ = wake_fd_ >= 0 && epoll_fd_ >= 0 &&
                   ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &wake) == 0;
  }
  ~MainLoopQueue() override {
    if (wake_fd_ >= 0) ::close(wake_fd_);
    if (epoll_fd_ >= 0) ::close(epoll_fd_);
  }
  MainLoopQueue(const MainLoopQueue&) = delete;
  MainLoopQueue& operator=(const MainLoopQueue&) = delete;

  const std::string& label() const override { return label_; }

  void Async(Work work) override {
    bool polling = false;
    {
      std::lock_guard lock(mu_);
      if (dead_) return;
      ready_.push_back(std::move(work));
      polling = polling_;
    }
    WakeUp(polling);
  }

  void AsyncAfter(Duration delay, Work work) override {
    AsyncAt(AddClamped(Now(), delay), std::move(work));
  }

  bool IsCurrent() const override { return current_ == this; }
  Duration Now() const override { return SteadyNow(); }

  // Without its descriptors the loop cannot watch (nor be woken there).
  ReadinessWatcher* readiness() override { return watching_ok_ ? this : nullptr; }

  DelayedKey AsyncAt(Duration deadline, Work work) override {
    bool earliest = false;
    bool polling = false;
    DelayedKey key;
    {
      std::lock_guard lock(mu_);
      if (dead_) return {};
      key = DelayedKey{deadline, ++seq_};
      delayed_.emplace(key, std::move(work));
      earliest = delayed_.begin()->first == key;
      polling = polling_;
    }
    // The loop may be sleeping until a later deadline.
    if (earliest) WakeUp(polling);
    return key;
  }

  void Unschedule(DelayedKey key) override {
    std::unique_lock lock(mu_);
    auto node = delayed_.extract(key);
    lock.unlock();  // the item is destroyed unlocked
  }

  WatchId WatchReadable(int fd, Work on_readable) override {
    bool polling = false;
    WatchId id = 0;
    {
      std::lock_guard lock(mu_);
      id = ++next_watch_;  // taken even when refused: ids are never reused
      if (dead_ || !watching_ok_) return 0;
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u64 = id;
      if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) != 0) return 0;
      watches_.emplace(id, Watch{fd, std::make_shared<Work>(std::move(on_readable))});
      polling = polling_;
    }
    WakeUp(polling);  // a loop asleep on its condition variable moves to epoll
    return id;
  }

  void Unwatch(WatchId id) override {
    std::unique_lock lock(mu_);
    auto node = watches_.extract(id);
    if (node.empty()) return;
    // Before the caller closes it; an event already taken for it finds no
    // watch and is dropped.
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, node.mapped().fd, nullptr);
    lock.unlock();  // the callback is released unlocked
  }

  // RunMain: runs items one at a time, due delayed items in deadline order
  // after what was already posted, and the callbacks of readable watched
  // descriptors, until Stop().
  void Run() {
    std::unique_lock lock(mu_);
    epoll_event events[kEventsPerWait];
    int since_poll = 0;
    while (!stop_) {
      const Duration now = Now();
      while (!delayed_.empty() && delayed_.begin()->first.deadline <= now) {
        ready_.push_back(std::move(delayed_.extract(delayed_.begin()).mapped()));
      }
      const bool watching = !watches_.empty();
      // Posted work goes first, but a long run of it does not keep a
      // readable socket waiting.
      if (!ready_.empty() && (!watching || since_poll < kItemsBetweenPolls)) {
        Work work = std::move(ready_.front());
        ready_.pop_front();
        lock.unlock();
        RunItem(work);
        work = nullptr;  // what it captured is released unlocked
        lock.lock();
        ++since_poll;
        continue;
      }
      since_poll = 0;
      // Bounded so that a far-off ("never") deadline cannot overflow the
      // clock arithmetic inside the wait.
      const Duration wait = delayed_.empty()
                                ? Duration::max()
                                : std::min(delayed_.begin()->first.deadline - now,
                                           ToDuration(std::chrono::hours(1)));
      if (!watching) {
        if (delayed_.empty()) {
          cv_.wait(lock);
        } else {
          cv_.wait_for(lock, wait);
        }
        continue;
      }
      // With posted work waiting this only looks; else it sleeps until
      // the next deadline (rounded up to whole milliseconds, never early).
      int timeout_ms = 0;
      if (ready_.empty()) {
        timeout_ms = wait == Duration::max()
                         ? -1
                         : static_cast<int>(std::max<int64_t>(
                               std::chrono::ceil<std::chrono::milliseconds>(wait).count(), 0));
      }
      polling_ = true;
      lock.unlock();
      int n = ::epoll_wait(epoll_fd_, events, kEventsPerWait, timeout_ms);
      lock.lock();
      polling_ = false;
      // Fewer than none: interrupted; deadlines are checked above.
      for (int i = 0; i < n && !stop_; ++i) {
        const WatchId id = events[i].data.u64;
        if (id == 0) {
          uint64_t count = 0;
          [[maybe_unused]] ssize_t r = ::read(wake_fd_, &count, sizeof count);
          continue;
        }
        auto it = watches_.find(id);
        if (it == watches_.end()) continue;  // unwatched meanwhile
        std::shared_ptr<Work> watched = it->second.work;
        lock.unlock();
        // RunItem releases what it runs; the watch keeps its callback.
        Work call = [callback = watched.get()] { (*callback)(); };
        RunItem(call);
        watched.reset();
        lock.lock();
      }
    }
    stop_ = false;
  }

  void Stop() {
    bool polling = false;
    {
      std::lock_guard lock(mu_);
      stop_ = true;
      polling = polling_;
    }
    WakeUp(polling);
  }

  // From the dispatch's destructor: takes no more work and drops all that
  // has not started, and every watch.
  void Shutdown() {
    std::deque<Work> ready;
    std::map<DelayedKey, Work> delayed;
    std::map<WatchId, Watch> watches;
    std::lock_guard lock(mu_);
    dead_ = true;
    ready.swap(ready_);
    delayed.swap(delayed_);
    watches.swap(watches_);
  }

 private:
  struct Watch {
    int fd = -1;
    std::shared_ptr<Work> work;  // shared so that running it needs no lock
  };

  // Posted items run between two looks at the watched descriptors.
  static constexpr int kItemsBetweenPolls = 16;
  static constexpr int kEventsPerWait = 16;

  void RunItem(Work& work) {
    const MainLoopQueue* outer = current_;
    current_ = this;
    RunGuarded(label_, work);
    current_ = outer;
  }

  // Wakes the loop from whichever wait it is in (`polling`, read under mu_).
  void WakeUp(bool polling) {
    if (!polling) {
      cv_.notify_one();
      return;
    }
    uint64_t one = 1;
    // Fails only if the counter is saturated, which still wakes the loop.
    [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
  }

  static thread_local const MainLoopQueue* current_;

  const std::string label_ = "main";
  const int wake_fd_;
  const int epoll_fd_;
  bool watching_ok_ = false;  // set once, in the constructor
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Work> ready_;
  std::map<DelayedKey, Work> delayed_;
  std::map<WatchId, Watch> watches_;
  std::uint64_t seq_ = 0;
  WatchId next_watch_ = 0;
  bool stop_ = false;
  bool dead_ = false;
  bool polling_ = false;  // the loop sleeps in epoll_wait, not on cv_
};

thread_local const MainLoopQueue* MainLoopQueue::current_ = nullptr;

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
    asio::post(strand_, [self = shared_from_this(), work = std::move(work)]() mutable {
      if (!self->dead_) RunGuarded(self->label_, work);
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
  core_->main = std::make_shared<MainLoopQueue>();
  main_ = core_->main;
  for (int i = 0; i < std::max(1, worker_threads); ++i) {
    workers_.emplace_back([core = core_.get()] { core->workers.run(); });
  }
}

AsioDispatch::~AsioDispatch() {
  core_->workers_guard.reset();
  core_->workers.stop();
  for (auto& worker : workers_) worker.join();

  std::vector<std::weak_ptr<AsioQueue>> queues;
  {
    std::lock_guard lock(core_->mu);
    queues.swap(core_->queues);
    if (core_->signals) core_->signals->cancel();
  }
  for (auto& weak : queues) {
    if (auto queue = weak.lock()) queue->Shutdown();
  }
  core_->main->Shutdown();
  // Run what is left as no-ops, so that what it captured is released now
  // and no cycle through a queue outlives the dispatch.
  core_->workers.restart();
  core_->workers.poll();
  core_->signals.reset();
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

void AsioDispatch::RunMain() { core_->main->Run(); }

void AsioDispatch::StopMain() { core_->main->Stop(); }

void AsioDispatch::StopMainOnSignals(std::initializer_list<int> signals) {
  std::lock_guard lock(core_->mu);
  if (!core_->signals) {
    core_->signals = std::make_unique<asio::signal_set>(core_->workers);
    core_->signals->async_wait([core = core_.get()](const asio::error_code& error, int) {
      if (!error) core->main->Stop();
    });
  }
  for (int signal : signals) core_->signals->add(signal);
}

}  // namespace kelvo
