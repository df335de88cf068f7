#include "platform/path_monitor/route_watch.h"

#include <fcntl.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/path_monitor/route_socket.h"

namespace kelvo {
namespace {

constexpr unsigned kGroups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR |
                             RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
constexpr int kMaxSettleRounds = 10;
constexpr const char* kThreadNetNamespace = "/proc/thread-self/ns/net";

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

class RtNetlinkRouteWatch final : public RouteWatch {
 public:
  RtNetlinkRouteWatch(std::unique_ptr<RouteSocket> events, std::unique_ptr<RouteSocket> dumps,
                      int wake_fd, std::chrono::milliseconds settle)
      : events_(std::move(events)), dumps_(std::move(dumps)), wake_fd_(wake_fd), settle_(settle) {}

  ~RtNetlinkRouteWatch() override {
    if (thread_.joinable()) {
      const uint64_t one = 1;
      // An eventfd write of 1 cannot fail short of overflow.
      [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
      thread_.join();
    }
    close(wake_fd_);
  }

  std::optional<std::string> ReadSnapshot(NetSnapshot* out) override {
    return dumps_->ReadSnapshot(out);
  }

  void Begin(RouteWatchEvents events) override {
    thread_ = std::thread([this, events = std::move(events)] {
      if (auto error = Run(events)) events.failed(*error);
    });
  }

 private:
  enum class Ready { kNotifications, kQuiet, kWoken };

  // Waits for notifications or the wake-up, at most `timeout_ms` (-1: no
  // limit). *error when waiting failed.
  Ready Wait(int timeout_ms, std::optional<std::string>* error) {
    pollfd fds[2] = {{events_->fd(), POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    for (;;) {
      int n = poll(fds, 2, timeout_ms);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) *error = Errno("cannot wait for route notifications");
      if (n < 0 || fds[1].revents) return Ready::kWoken;
      if (n == 0) return Ready::kQuiet;
      if (fds[0].revents & POLLNVAL) {
        *error = "the route notification socket is closed";
        return Ready::kWoken;
      }
      // POLLERR stands for an overrun too, which Drain forgives.
      return Ready::kNotifications;
    }
  }

  // Returns why the watch broke; nullopt when it was woken to stop.
  std::optional<std::string> Run(const RouteWatchEvents& events) {
    const int settle_ms = static_cast<int>(settle_.count());
    std::optional<std::string> error;
    for (;;) {
      if (Wait(-1, &error) == Ready::kWoken) return error;
      if ((error = events_->Drain())) return error;
      for (int round = 0; settle_ms > 0 && round < kMaxSettleRounds; ++round) {
        Ready ready = Wait(settle_ms, &error);
        if (ready == Ready::kWoken) return error;
        if (ready == Ready::kQuiet) break;
        if ((error = events_->Drain())) return error;
      }
      NetSnapshot snapshot;
      if ((error = dumps_->ReadSnapshot(&snapshot))) return error;
      events.changed(std::move(snapshot));
    }
  }

  const std::unique_ptr<RouteSocket> events_;
  const std::unique_ptr<RouteSocket> dumps_;
  const int wake_fd_;
  const std::chrono::milliseconds settle_;
  std::thread thread_;
};

std::unique_ptr<RouteWatch> OpenHere(const RtNetlinkRouteWatchOptions& options,
                                     std::string* error) {
  const int timeout_ms = static_cast<int>(options.dump_timeout.count());
  auto events = RouteSocket::Open(kGroups, timeout_ms, error);
  if (!events) return nullptr;
  auto dumps = RouteSocket::Open(0, timeout_ms, error);
  if (!dumps) return nullptr;
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    *error = Errno("cannot make the route watch's wake-up");
    return nullptr;
  }
  return std::make_unique<RtNetlinkRouteWatch>(std::move(events), std::move(dumps), wake,
                                               options.settle);
}

// The network namespace a watch belongs to, held open for reopening.
class HeldNamespace {
 public:
  explicit HeldNamespace(int fd) : fd_(fd) {}
  ~HeldNamespace() { close(fd_); }
  HeldNamespace(const HeldNamespace&) = delete;
  HeldNamespace& operator=(const HeldNamespace&) = delete;

  // True when the calling thread is in this namespace already.
  bool IsCurrent() const {
    struct stat held, here;
    return fstat(fd_, &held) == 0 && stat(kThreadNetNamespace, &here) == 0 &&
           held.st_dev == here.st_dev && held.st_ino == here.st_ino;
  }
  int fd() const { return fd_; }

 private:
  const int fd_;
};

}  // namespace

RouteWatchOpener RtNetlinkRouteWatchOpener(RtNetlinkRouteWatchOptions options,
                                           std::string* error) {
  const int fd = open(kThreadNetNamespace, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = Errno("cannot hold the network namespace");
    return nullptr;
  }
  auto ns = std::make_shared<HeldNamespace>(fd);
  return [ns, options](std::string* error) -> std::unique_ptr<RouteWatch> {
    if (ns->IsCurrent()) return OpenHere(options, error);
    // Sockets belong to the namespace of the thread that opens them: open
    // them on a short-lived thread that enters the held one.
    std::unique_ptr<RouteWatch> watch;
    std::thread opener([&] {
      if (setns(ns->fd(), CLONE_NEWNET) != 0) {
        *error = Errno("cannot enter the watched network namespace");
        return;
      }
      watch = OpenHere(options, error);
    });
    opener.join();
    return watch;
  };
}

}  // namespace kelvo
