#include "host/application.h"

#include <algorithm>

#include "host/window.h"

namespace kelvo {

Application::Application(std::shared_ptr<Queue> main_queue, std::function<void()> terminate)
    : main_queue_(std::move(main_queue)), terminate_(std::move(terminate)) {}

void Application::AddWindow(Window* window) {
  if (std::find(windows_.begin(), windows_.end(), window) == windows_.end()) {
    windows_.push_back(window);
  }
}

bool Application::HasVisibleWindows() const {
  return std::any_of(windows_.begin(), windows_.end(), [](Window* w) { return w->visible(); });
}

void Application::Activate(bool /*ignoring_other_apps*/) { ++activations_; }

bool Application::Reopen() {
  if (!delegate_) return true;
  return delegate_->ApplicationShouldHandleReopen(*this, HasVisibleWindows());
}

void Application::CloseWindow(Window* window) {
  window->OrderOut();
  if (!HasVisibleWindows() && delegate_ &&
      delegate_->ApplicationShouldTerminateAfterLastWindowClosed(*this)) {
    Terminate();
  }
}

void Application::Terminate() {
  if (terminate_) terminate_();
}

}  // namespace kelvo
