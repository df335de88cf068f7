// Dispatch in virtual time, for tests.
//
// Nothing runs by itself: work runs on the thread that calls RunUntilIdle,
// AdvanceBy, AdvanceTo or RunUntil, one item at a time, in deadline order
// and, at equal deadlines, in submission order (across all queues). The
// monotonic clock starts at 0 and moves only when the test advances it; the
// wall clock is the epoch given to the constructor plus the monotonic clock.
// Timers fire at their deadlines, so a repeating timer fires once per period
// boundary that an advance crosses. Leeway is ignored.
//
// Threading: queues accept work from any thread (a real HTTP callback may
// post into a virtual queue); drive the dispatch from one thread only.
// Ownership: queues and timers may outlive the dispatch; pending work is
// dropped when it is destroyed, and work posted afterwards is dropped.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/dispatch.h"

namespace kelvo {

struct VirtualDispatchState;  // internal

class VirtualDispatch final : public Dispatch {
 public:
  explicit VirtualDispatch(double wall_epoch_seconds = 1'800'000'000.0);
  ~VirtualDispatch() override;
  VirtualDispatch(const VirtualDispatch&) = delete;
  VirtualDispatch& operator=(const VirtualDispatch&) = delete;

  double WallSeconds() const override;
  Duration Monotonic() const override;
  std::shared_ptr<Queue> CreateSerialQueue(const std::string& label) override;
  std::shared_ptr<Queue> MainQueue() override;
  std::shared_ptr<TimerSource> CreateTimer(std::shared_ptr<Queue> queue) override;

  // Virtual time since the start; the same as Monotonic().
  Duration Now() const;
  // Runs every item that is due now, including items that running items
  // make due now; time does not move.
  void RunUntilIdle();
  // Moves time forward to `deadline` (never backward), stopping at each
  // earlier deadline on the way to run what is due there.
  void AdvanceTo(Duration deadline);
  void AdvanceBy(Duration delta);
  // Items waiting, due or not (a resumed timer counts one).
  std::size_t PendingCount() const;

  // Runs due work until `pred` holds, for tests where real threads post
  // work (a loopback server's replies). When nothing is due it waits for
  // such work; after 20 ms of real quiet it lets virtual time move on to
  // the next deadline, but not past Now() + max_virtual (zero: time stays).
  // Gives up after `real_cap` of real time. Returns pred().
  bool RunUntil(const std::function<bool()>& pred, Duration max_virtual,
                std::chrono::milliseconds real_cap = std::chrono::seconds(10));

 private:
  std::shared_ptr<VirtualDispatchState> state_;
  std::shared_ptr<Queue> main_;
};

}  // namespace kelvo
