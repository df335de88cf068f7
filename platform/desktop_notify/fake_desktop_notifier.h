// A desktop notifier for tests: records what it was asked to show; the test
// makes the service reachable or not, and can make it refuse notifications.
// Threading: all methods are thread-safe.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop_notify/desktop_notifier.h"

namespace kelvo {

class FakeDesktopNotifier : public DesktopNotifier {
 public:
  NotifyOutcome Notify(const DesktopNotification& notification) override;
  std::optional<std::string> CheckReachable() override;

  void set_reachable(bool reachable);
  // Every later Notify is refused with `reason`; nullopt accepts again.
  void RefuseWith(std::optional<std::string> reason);

  std::vector<DesktopNotification> shown() const;
  int calls() const;  // Notify and CheckReachable, answered or not

 private:
  mutable std::mutex mu_;
  bool reachable_ = true;
  std::optional<std::string> refusal_;
  std::vector<DesktopNotification> shown_;
  uint32_t next_id_ = 1;
  int calls_ = 0;
};

}  // namespace kelvo
