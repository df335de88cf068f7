#include "platform/path_monitor/rtnetlink_path_monitor.h"

#include <algorithm>
#include <mutex>

#include "platform/path_monitor/net_snapshot.h"

namespace kelvo {
namespace {

std::string SecondsText(Duration d) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// The monitor's state, shared with its watch's events and with work on its
// queue: both hold it weakly, so they do nothing once the monitor is gone.
class Core final : public std::enable_shared_from_this<Core> {
 public:
  explicit Core(RtNetlinkPathMonitorOptions options) : options_(std::move(options)) {}

  void SetHandler(PathMonitor::UpdateHandler handler) {
    std::lock_guard lock(mu_);
    handler_ = std::move(handler);
  }
  Path CurrentPath() const {
    std::lock_guard lock(mu_);
    return current_;
  }
  bool cancelled() const {
    std::lock_guard lock(mu_);
    return cancelled_;
  }

  // Opens the first watch and reads the first path; returns why it could not.
  std::optional<std::string> Start(std::shared_ptr<Queue> queue) {
    RouteWatchOpener open = options_.open_watch;
    std::string error;
    if (!open) open = RtNetlinkRouteWatchOpener(options_.watch, &error);
    if (!open) return error;
    NetSnapshot snapshot;
    auto watch = OpenAndRead(open, &snapshot, &error);
    if (!watch) return error;
    const Path path = Compute(snapshot);
    std::lock_guard lock(mu_);
    if (cancelled_) return "the path monitor was cancelled";
    queue_ = std::move(queue);
    open_ = std::move(open);
    last_ = std::move(snapshot);
    current_ = path;
    BeginLocked(std::move(watch));
    return std::nullopt;
  }

  void Cancel() {
    std::unique_ptr<RouteWatch> watch;
    {
      std::lock_guard lock(mu_);
      cancelled_ = true;
      handler_ = nullptr;
      watch = std::move(watch_);
    }
    watch.reset();  // waits for its thread, outside the lock its events take
  }

 private:
  Path Compute(const NetSnapshot& snapshot) const {
    return ComputePath(snapshot, [this](const LinkInfo& link) {
      return ClassifyInterface(options_.sysfs_net, link.name, link.index, link.arphrd);
    });
  }
  void Log(LogLevel level, const std::string& text) const {
    if (options_.log) options_.log->Log(level, "path monitor: " + text);
  }

  static std::unique_ptr<RouteWatch> OpenAndRead(const RouteWatchOpener& open, NetSnapshot* out,
                                                 std::string* error) {
    auto watch = open(error);
    if (!watch) return nullptr;
    if (auto failed = watch->ReadSnapshot(out)) {
      *error = *failed;
      return nullptr;
    }
    return watch;
  }

  void BeginLocked(std::unique_ptr<RouteWatch> watch) {
    watch_ = std::move(watch);
    ++generation_;
    std::weak_ptr<Core> weak = weak_from_this();
    watch_->Begin({[weak](NetSnapshot snapshot) {
                     if (auto self = weak.lock()) self->Changed(std::move(snapshot));
                   },
                   [weak](const std::string& error) {
                     if (auto self = weak.lock()) self->Broke(error);
                   }});
  }

  // On the watch's thread.
  void Changed(NetSnapshot snapshot) {
    const Path path = Compute(snapshot);
    std::lock_guard lock(mu_);
    AcceptLocked(std::move(snapshot), path);
  }

  void AcceptLocked(NetSnapshot snapshot, const Path& path) {
    if (cancelled_ || snapshot == last_) return;
    last_ = std::move(snapshot);
    current_ = path;
    queue_->Async([weak = weak_from_this(), path] {
      auto self = weak.lock();
      if (!self) return;
      PathMonitor::UpdateHandler handler;
      {
        std::lock_guard lock(self->mu_);
        if (self->cancelled_) return;
        handler = self->handler_;
      }
      if (handler) handler(path);
    });
  }

  // On the watch's thread, which ends after this.
  void Broke(const std::string& error) {
    std::lock_guard lock(mu_);
    if (cancelled_) return;
    Log(LogLevel::error, error + "; reopening the route sockets");
    ScheduleReopenLocked();
  }

  // The first reopen after a sound watch is at once; every further one
  // waits longer, so that a watch that keeps breaking cannot spin.
  Duration ScheduleReopenLocked() {
    const Duration delay = retry_delay_;
    retry_delay_ = delay == Duration(0) ? ToDuration(options_.retry_first)
                                        : std::min(delay * 2, ToDuration(options_.retry_longest));
    queue_->AsyncAfter(delay, [weak = weak_from_this()] {
      if (auto self = weak.lock()) self->Reopen();
    });
    return delay;
  }

  // On the queue.
  void Reopen() {
    std::unique_ptr<RouteWatch> broken;
    {
      std::lock_guard lock(mu_);
      if (cancelled_) return;
      broken = std::move(watch_);
    }
    broken.reset();
    NetSnapshot snapshot;
    std::string error;
    auto watch = OpenAndRead(open_, &snapshot, &error);
    const Path path = watch ? Compute(snapshot) : Path();
    std::lock_guard lock(mu_);
    if (cancelled_) return;  // the unbegun watch goes quietly
    if (!watch) {
      const Duration delay = ScheduleReopenLocked();
      Log(LogLevel::error, "cannot reopen the route sockets: " + error + "; next try in " +
                               SecondsText(delay));
      return;
    }
    Log(LogLevel::info, "watching the network again");
    AcceptLocked(std::move(snapshot), path);
    BeginLocked(std::move(watch));
    // A watch that lasts the longest wait is sound again.
    queue_->AsyncAfter(ToDuration(options_.retry_longest),
                       [weak = weak_from_this(), generation = generation_] {
                         auto self = weak.lock();
                         if (!self) return;
                         std::lock_guard lock(self->mu_);
                         if (self->generation_ == generation) self->retry_delay_ = Duration(0);
                       });
  }

  const RtNetlinkPathMonitorOptions options_;
  mutable std::mutex mu_;
  PathMonitor::UpdateHandler handler_;
  bool cancelled_ = false;
  Path current_;
  NetSnapshot last_;  // what current_ was computed from
  std::shared_ptr<Queue> queue_;
  RouteWatchOpener open_;
  std::unique_ptr<RouteWatch> watch_;
  Duration retry_delay_{0};  // before the next reopen; zero: at once
  uint64_t generation_ = 0;  // of watch_, counted at each Begin
};

class RtNetlinkPathMonitor final : public PathMonitor {
 public:
  explicit RtNetlinkPathMonitor(RtNetlinkPathMonitorOptions options)
      : core_(std::make_shared<Core>(std::move(options))) {}
  ~RtNetlinkPathMonitor() override { Cancel(); }

  void SetPathUpdateHandler(UpdateHandler handler) override { core_->SetHandler(std::move(handler)); }

  std::optional<std::string> Start(std::shared_ptr<Queue> queue) override {
    std::lock_guard lifecycle(lifecycle_mu_);
    if (core_->cancelled()) return "the path monitor was cancelled";
    if (started_) return "the path monitor is already started";
    if (!queue) return "the path monitor needs a queue";
    started_ = true;
    return core_->Start(std::move(queue));
  }

  void Cancel() override { core_->Cancel(); }
  Path CurrentPath() const override { return core_->CurrentPath(); }

 private:
  const std::shared_ptr<Core> core_;
  std::mutex lifecycle_mu_;  // Start
  bool started_ = false;
};

}  // namespace

std::unique_ptr<PathMonitor> MakeRtNetlinkPathMonitor(RtNetlinkPathMonitorOptions options) {
  return std::make_unique<RtNetlinkPathMonitor>(std::move(options));
}

}  // namespace kelvo
