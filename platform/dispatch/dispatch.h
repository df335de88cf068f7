// Serial queues, a main queue, delayed work, repeating timers and clocks.
//
// The system's code is written against Dispatch only. Two implementations:
// - AsioDispatch (asio_dispatch.h): real time. Serial queues are strands on a
//   small worker pool; the main queue is the process's event loop, run by
//   the thread that calls RunMain().
// - VirtualDispatch (virtual_dispatch.h): virtual time for tests. Nothing
//   runs until the test calls RunUntilIdle() or AdvanceBy(); all due work
//   then runs on the calling thread in deadline order, deterministically.
//
// Ownership: queues and timers are shared_ptr objects; work items hold what
// they capture. Code that must not keep its owner alive captures a weak_ptr
// and does nothing when it has expired.
//
// Threading: every method is thread-safe. Work on one serial queue never
// runs concurrently with other work on that queue, and runs in FIFO order
// (by deadline, then submission order, for delayed work).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kelvo {

using Duration = std::chrono::nanoseconds;
using Work = std::function<void()>;

// Descriptors watched by a queue's own event loop, so that work reading a
// socket runs on the queue as soon as data arrive, without a thread in
// between to wake it. Level-triggered: `on_readable` runs as the queue's
// work whenever `fd` is readable (or hung up, or in error) and must read
// what is there, or unwatch, lest it run again at once.
//
// Ownership: the loop keeps `on_readable` until Unwatch. The caller keeps
// the descriptor open until it has unwatched it.
// Threading: both methods may be called from any thread. After Unwatch
// returns, `on_readable` is not started again; one already started (on the
// queue, when Unwatch is called elsewhere) finishes.
class ReadinessWatcher {
 public:
  using WatchId = std::uint64_t;
  virtual ~ReadinessWatcher() = default;
  // 0 when `fd` cannot be watched (the loop is gone, or refuses it); then
  // nothing runs and the caller reads it some other way. Delayed work on a
  // loop that watches runs to the millisecond (never early).
  virtual WatchId WatchReadable(int fd, Work on_readable) = 0;
  // Unknown ids (and 0) are ignored.
  virtual void Unwatch(WatchId id) = 0;
};

class Queue {
 public:
  virtual ~Queue() = default;
  virtual const std::string& label() const = 0;
  virtual void Async(Work work) = 0;
  virtual void AsyncAfter(Duration delay, Work work) = 0;
  // True while the calling thread runs work of this queue.
  virtual bool IsCurrent() const = 0;
  // The queue's descriptor watching, when its loop has one (the main queue
  // of AsioDispatch); null otherwise. Lives as long as the queue.
  virtual ReadinessWatcher* readiness() { return nullptr; }
};

// A repeating timer source bound to a queue, in the manner of a dispatch
// source: configure, set a handler, Resume() to start; Cancel() stops it for
// good (a handler already running finishes; none runs after Cancel returns,
// when Cancel is called on the timer's own queue). The handler runs on the
// queue. Cancel() releases the handler; dropping the timer also stops it.
class TimerSource {
 public:
  virtual ~TimerSource() = default;
  // First firing `first` after now, then every `interval` (zero: one-shot).
  // Scheduling again replaces the previous schedule. Firings missed while
  // the queue was busy collapse into one. Leeway may be ignored.
  virtual void Schedule(Duration first, Duration interval, Duration leeway) = 0;
  virtual void SetEventHandler(Work handler) = 0;
  virtual void Resume() = 0;
  virtual void Cancel() = 0;
  virtual bool IsCancelled() const = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since 1970, as the calendar clock says.
  virtual double WallSeconds() const = 0;
  // A steady clock for measuring elapsed time.
  virtual Duration Monotonic() const = 0;
};

class Dispatch : public Clock {
 public:
  virtual std::shared_ptr<Queue> CreateSerialQueue(const std::string& label) = 0;
  virtual std::shared_ptr<Queue> MainQueue() = 0;
  // A suspended timer on `queue`, which must come from a Dispatch (else
  // std::invalid_argument).
  virtual std::shared_ptr<TimerSource> CreateTimer(std::shared_ptr<Queue> queue) = 0;
};

template <typename Rep, typename Period>
constexpr Duration ToDuration(std::chrono::duration<Rep, Period> d) {
  return std::chrono::duration_cast<Duration>(d);
}

inline Duration Seconds(double s) {
  return Duration(static_cast<Duration::rep>(s * 1e9));
}

}  // namespace kelvo
