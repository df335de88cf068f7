// The application object: its windows, activation policy and delegate, and
// the two events the platform sends it that the shell answers (the user
// reopening the application, the last window closing).
//
// With no dock or window server on this machine, "activate" and the policy
// are recorded state; Reopen and CloseWindow are how the platform's events
// enter (tests call them; the process has no source of them yet).
//
// Ownership: the application does not own its windows or its delegate.
// Threading: main queue only.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/dispatch/dispatch.h"

namespace kelvo {

class Application;
class Window;

enum class ActivationPolicy : int { kRegular = 0, kAccessory = 1, kProhibited = 2 };

class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual bool ApplicationShouldTerminateAfterLastWindowClosed(Application& app) = 0;
  virtual bool ApplicationShouldHandleReopen(Application& app, bool has_visible_windows) = 0;
  virtual bool ApplicationSupportsSecureRestorableState(Application& app) = 0;
};

class Application {
 public:
  // `terminate` ends the event loop (StopMain, in the process).
  Application(std::shared_ptr<Queue> main_queue, std::function<void()> terminate);

  ApplicationDelegate* delegate() const { return delegate_; }
  void SetDelegate(ApplicationDelegate* delegate) { delegate_ = delegate; }
  const std::shared_ptr<Queue>& main_queue() const { return main_queue_; }

  void AddWindow(Window* window);
  const std::vector<Window*>& windows() const { return windows_; }
  bool HasVisibleWindows() const;

  ActivationPolicy activation_policy() const { return policy_; }
  void SetActivationPolicy(ActivationPolicy policy) { policy_ = policy; }
  // Brings the application to the front; `ignoring_other_apps` as asked.
  void Activate(bool ignoring_other_apps);
  int activation_count() const { return activations_; }

  // The user activates the application again (a click on its dock icon).
  // Returns the delegate's answer (true without a delegate).
  bool Reopen();
  // The user closes `window`: it is hidden; when no window is visible any
  // more and the delegate says so, the application terminates.
  void CloseWindow(Window* window);
  void Terminate();

 private:
  std::shared_ptr<Queue> main_queue_;
  std::function<void()> terminate_;
  ApplicationDelegate* delegate_ = nullptr;
  std::vector<Window*> windows_;
  ActivationPolicy policy_ = ActivationPolicy::kRegular;
  int activations_ = 0;
};

}  // namespace kelvo
