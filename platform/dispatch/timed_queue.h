// Internal to the dispatch layer: what both dispatches' queues offer beyond
// Queue, so that one repeating-timer implementation serves both.
#pragma once

#include <compare>
#include <cstdint>
#include <limits>
#include <memory>

#include "platform/dispatch/dispatch.h"

namespace kelvo {

// Identifies one delayed item: items run by deadline, then submission order.
struct DelayedKey {
  Duration deadline{0};
  std::uint64_t seq = 0;
  auto operator<=>(const DelayedKey&) const = default;
};

class TimedQueue : public Queue {
 public:
  // The queue's monotonic clock, the one deadlines are measured on.
  virtual Duration Now() const = 0;
  // Runs `work` on this queue once Now() reaches `deadline` (a deadline in
  // the past means as soon as possible). After the dispatch is gone the
  // work is dropped and the key returned means nothing.
  virtual DelayedKey AsyncAt(Duration deadline, Work work) = 0;
  // Takes back an item that has not started; unknown keys are ignored.
  virtual void Unschedule(DelayedKey key) = 0;
};

// a + b for b >= 0, saturating instead of overflowing ("never" deadlines).
inline Duration AddClamped(Duration a, Duration b) {
  if (b <= Duration(0)) return a;
  return a > Duration::max() - b ? Duration::max() : a + b;
}

// A TimerSource firing on `queue`. Throws std::invalid_argument when the
// queue is null or was not made by one of this layer's dispatches.
std::shared_ptr<TimerSource> MakeRepeatingTimer(std::shared_ptr<Queue> queue);

}  // namespace kelvo
