#include "platform/path_monitor/rtnetlink_path_monitor.h"

#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/path_monitor/net_snapshot.h"
#include "platform/path_monitor/route_socket.h"

namespace kelvo {
namespace {

constexpr unsigned kGroups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR |
                             RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
constexpr int kMaxSettleRounds = 10;

// What the reader thread shares with the queue and with callers: posted
// updates hold it, so they stay safe (and silent) after the monitor is gone.
struct SharedState {
  std::mutex mu;
  PathMonitor::UpdateHandler handler;
  bool cancelled = false;
  Path current;
};

class RtNetlinkPathMonitor final : public PathMonitor {
 public:
  explicit RtNetlinkPathMonitor(RtNetlinkPathMonitorOptions options)
      : options_(std::move(options)), shared_(std::make_shared<SharedState>()) {}
  ~RtNetlinkPathMonitor() override { Cancel(); }

  void SetPathUpdateHandler(UpdateHandler handler) override {
    std::lock_guard lock(shared_->mu);
    shared_->handler = std::move(handler);
  }

  std::optional<std::string> Start(std::shared_ptr<Queue> queue) override;
  void Cancel() override;

  Path CurrentPath() const override {
    std::lock_guard lock(shared_->mu);
    return shared_->current;
  }

 private:
  Path Compute(const NetSnapshot& snapshot) const {
    return ComputePath(snapshot, [this](const LinkInfo& link) {
      return ClassifyInterface(options_.sysfs_net, link.name, link.index, link.arphrd);
    });
  }
  void Log(const std::string& text) const {
    if (options_.log) options_.log->Error("path monitor: " + text);
  }
  // The reader thread.
  void Run(Path last);
  // Waits for the events socket or the wake-up; -1 on wake-up or failure,
  // 0 on timeout, 1 when notifications wait.
  int Wait(int timeout_ms);
  void Report(const Path& path);

  const RtNetlinkPathMonitorOptions options_;
  const std::shared_ptr<SharedState> shared_;

  std::mutex lifecycle_mu_;  // Start and Cancel
  bool started_ = false;
  std::shared_ptr<Queue> queue_;
  std::unique_ptr<RouteSocket> events_;
  std::unique_ptr<RouteSocket> dumps_;
  int wake_fd_ = -1;
  std::thread thread_;
};

std::optional<std::string> RtNetlinkPathMonitor::Start(std::shared_ptr<Queue> queue) {
  std::lock_guard lifecycle(lifecycle_mu_);
  {
    std::lock_guard lock(shared_->mu);
    if (shared_->cancelled) return "the path monitor was cancelled";
  }
  if (started_) return "the path monitor is already started";
  if (!queue) return "the path monitor needs a queue";
  started_ = true;

  std::string error;
  const int timeout_ms = static_cast<int>(options_.dump_timeout.count());
  auto events = RouteSocket::Open(kGroups, timeout_ms, &error);
  if (!events) return error;
  auto dumps = RouteSocket::Open(0, timeout_ms, &error);
  if (!dumps) return error;
  NetSnapshot snapshot;
  if (auto failed = dumps->ReadSnapshot(&snapshot)) return *failed;
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) return std::string("cannot make the monitor's wake-up: ") + std::strerror(errno);

  Path first = Compute(snapshot);
  {
    std::lock_guard lock(shared_->mu);
    shared_->current = first;
  }
  queue_ = std::move(queue);
  events_ = std::move(events);
  dumps_ = std::move(dumps);
  wake_fd_ = wake;
  thread_ = std::thread([this, first] { Run(first); });
  return std::nullopt;
}

void RtNetlinkPathMonitor::Cancel() {
  {
    std::lock_guard lock(shared_->mu);
    shared_->cancelled = true;
    shared_->handler = nullptr;
  }
  std::lock_guard lifecycle(lifecycle_mu_);
  if (thread_.joinable()) {
    const uint64_t one = 1;
    // An eventfd write of 1 cannot fail short of overflow.
    [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
    thread_.join();
  }
  if (wake_fd_ >= 0) close(wake_fd_);
  wake_fd_ = -1;
  events_.reset();
  dumps_.reset();
  queue_.reset();
}

int RtNetlinkPathMonitor::Wait(int timeout_ms) {
  pollfd fds[2] = {{events_->fd(), POLLIN, 0}, {wake_fd_, POLLIN, 0}};
  for (;;) {
    int n = poll(fds, 2, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      Log(std::string("cannot wait for route notifications: ") + std::strerror(errno));
      return -1;
    }
    if (n == 0) return 0;
    if (fds[1].revents) return -1;
    return 1;
  }
}

void RtNetlinkPathMonitor::Run(Path last) {
  const int settle_ms = static_cast<int>(options_.settle.count());
  for (;;) {
    if (Wait(-1) < 0) return;
    if (auto error = events_->Drain()) {
      Log(*error);
      return;
    }
    for (int round = 0; settle_ms > 0 && round < kMaxSettleRounds; ++round) {
      int ready = Wait(settle_ms);
      if (ready < 0) return;
      if (ready == 0) break;
      if (auto error = events_->Drain()) {
        Log(*error);
        return;
      }
    }
    NetSnapshot snapshot;
    if (auto error = dumps_->ReadSnapshot(&snapshot)) {
      Log(*error);
      continue;
    }
    Path path = Compute(snapshot);
    if (path == last) continue;
    last = path;
    Report(path);
  }
}

void RtNetlinkPathMonitor::Report(const Path& path) {
  {
    std::lock_guard lock(shared_->mu);
    if (shared_->cancelled) return;
    shared_->current = path;
  }
  queue_->Async([shared = shared_, path] {
    UpdateHandler handler;
    {
      std::lock_guard lock(shared->mu);
      if (shared->cancelled) return;
      handler = shared->handler;
    }
    if (handler) handler(path);
  });
}

}  // namespace

std::unique_ptr<PathMonitor> MakeRtNetlinkPathMonitor(RtNetlinkPathMonitorOptions options) {
  return std::make_unique<RtNetlinkPathMonitor>(std::move(options));
}

}  // namespace kelvo
