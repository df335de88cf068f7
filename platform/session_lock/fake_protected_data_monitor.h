// A protected-data monitor set by hand, for unit tests: the test says when
// the session locks and unlocks, and the monitor reports each change on its
// main queue, as the real one does.
// Threading: every method is safe from any thread.
#pragma once

#include <memory>
#include <mutex>

#include "platform/session_lock/protected_data_monitor.h"

namespace kelvo {

class FakeProtectedDataMonitor final : public ProtectedDataMonitor {
 public:
  explicit FakeProtectedDataMonitor(std::shared_ptr<Queue> main_queue, bool available = true);
  ~FakeProtectedDataMonitor() override;

  bool IsProtectedDataAvailable() const override;
  void Start(ChangeHandler on_change) override;
  void Stop() override;

  // The data become available (true) or unavailable (false). A change is
  // reported on the main queue while the monitor runs; a repeat is not.
  void SetAvailable(bool available);
  bool running() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace kelvo
