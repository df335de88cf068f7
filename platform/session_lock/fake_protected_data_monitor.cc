#include "platform/session_lock/fake_protected_data_monitor.h"

namespace kelvo {

struct FakeProtectedDataMonitor::State {
  std::shared_ptr<Queue> main;
  mutable std::mutex mu;
  bool available = true;
  bool running = false;
  ChangeHandler handler;
};

FakeProtectedDataMonitor::FakeProtectedDataMonitor(std::shared_ptr<Queue> main_queue,
                                                   bool available)
    : state_(std::make_shared<State>()) {
  state_->main = std::move(main_queue);
  state_->available = available;
}

FakeProtectedDataMonitor::~FakeProtectedDataMonitor() { Stop(); }

bool FakeProtectedDataMonitor::IsProtectedDataAvailable() const {
  std::lock_guard lock(state_->mu);
  return state_->available;
}

void FakeProtectedDataMonitor::Start(ChangeHandler on_change) {
  std::lock_guard lock(state_->mu);
  state_->handler = std::move(on_change);
  state_->running = true;
}

void FakeProtectedDataMonitor::Stop() {
  std::lock_guard lock(state_->mu);
  state_->running = false;
}

bool FakeProtectedDataMonitor::running() const {
  std::lock_guard lock(state_->mu);
  return state_->running;
}

void FakeProtectedDataMonitor::SetAvailable(bool available) {
  std::lock_guard lock(state_->mu);
  if (state_->available == available) return;
  state_->available = available;
  if (!state_->running) return;
  state_->main->Async([state = state_, available] {
    ChangeHandler handler;
    {
      std::lock_guard lock(state->mu);
      if (!state->running) return;
      handler = state->handler;
    }
    if (handler) handler(available);
  });
}

}  // namespace kelvo
