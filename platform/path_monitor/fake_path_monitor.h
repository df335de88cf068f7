// Paths set by hand, for tests. A FakePathSource stands for the network:
// the test sets its path, and every monitor made by its factory that is
// started and not cancelled reports each SetPath on its queue (one update
// per call, even with an equal path, as a real network change can leave
// the computed path equal in what the caller looks at).
//
// The source counts the monitors it made and the ones running, so tests
// can see when code creates, starts and cancels monitors.
//
// Threading: every method is safe from any thread. Ownership: monitors
// share the source; it may be dropped before them.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "platform/path_monitor/path_monitor.h"

namespace kelvo {

class FakePathMonitor;

class FakePathSource : public std::enable_shared_from_this<FakePathSource> {
 public:
  static std::shared_ptr<FakePathSource> Create(Path initial = {});

  // Makes FakePathMonitors of this source.
  PathMonitorFactory Factory();
  std::unique_ptr<PathMonitor> NewMonitor();

  // The network's path becomes `path`; running monitors report it.
  void SetPath(Path path);
  Path path() const;

  int monitors_created() const;
  int monitors_running() const;  // started and not cancelled
  // The next monitors' Start fails with `error` (nullopt: succeeds again).
  void FailStarts(std::optional<std::string> error);

 private:
  friend class FakePathMonitor;
  FakePathSource() = default;

  mutable std::mutex mu_;
  Path path_;
  int created_ = 0;
  std::set<FakePathMonitor*> running_;
  std::optional<std::string> start_error_;
};

// A satisfied path with one interface of each type in `types`, named
// "if1", "if2"... with indexes 1, 2...; no types gives a satisfied path with
// no interface, which no real monitor reports but code must survive.
Path SatisfiedPath(const std::vector<InterfaceType>& types);
Path UnsatisfiedPath();

}  // namespace kelvo
