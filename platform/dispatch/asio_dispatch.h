// Dispatch in real time, on standalone asio.
//
// Serial queues are strands on a pool of worker threads; the main queue is
// a separate event loop (work and delayed work only, no I/O) that runs only
// inside RunMain(), on the thread that calls it. Delayed work and timers use
// the steady clock; the wall clock is the system clock. Leeway is ignored:
// timers aim at their deadlines. Work must not throw.
//
// Lifetime: the destructor stops and joins the workers and drops all work
// not yet started (queued, delayed and timers), releasing what it captured.
// RunMain() must have returned by then, and the dispatch must not be
// destroyed from its own work. Queues and timers may outlive the dispatch;
// work given to them afterwards is dropped.
//
// Threading: every method is thread-safe.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"

namespace kelvo {

struct AsioCore;  // internal

class AsioDispatch final : public Dispatch {
 public:
  explicit AsioDispatch(int worker_threads = 2);
  ~AsioDispatch() override;
  AsioDispatch(const AsioDispatch&) = delete;
  AsioDispatch& operator=(const AsioDispatch&) = delete;

  double WallSeconds() const override;
  Duration Monotonic() const override;
  std::shared_ptr<Queue> CreateSerialQueue(const std::string& label) override;
  std::shared_ptr<Queue> MainQueue() override;
  std::shared_ptr<TimerSource> CreateTimer(std::shared_ptr<Queue> queue) override;

  // Runs the main queue on the calling thread until StopMain(). A StopMain()
  // that comes first makes the next RunMain() return at once.
  void RunMain();
  // Makes RunMain() return once the item it is running, if any, finishes.
  void StopMain();
  // Calls StopMain() when one of `signals` (SIGINT, SIGTERM) arrives.
  void StopMainOnSignals(std::initializer_list<int> signals);

 private:
  std::shared_ptr<AsioCore> core_;
  std::vector<std::thread> workers_;
  std::shared_ptr<Queue> main_;
};

}  // namespace kelvo
