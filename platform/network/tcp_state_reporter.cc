#include "platform/network/tcp_state_reporter.h"

#include <cstring>

namespace kelvo {

std::string ToString(const TcpConnectionState& state) {
  auto with_error = [&](const char* name) {
    const char* symbol = state.error != 0 ? strerrorname_np(state.error) : nullptr;
    return std::string(name) + "(" + (symbol ? symbol : std::to_string(state.error)) + ")";
  };
  switch (state.state) {
    case TcpState::kSetup: return "setup";
    case TcpState::kPreparing: return "preparing";
    case TcpState::kWaiting: return with_error("waiting");
    case TcpState::kReady: return "ready";
    case TcpState::kFailed: return with_error("failed");
    case TcpState::kCancelled: return "cancelled";
  }
  return "unknown";
}

void TcpStateReporter::SetHandler(TcpConnection::StateHandler handler) {
  std::lock_guard<std::mutex> lock(mu_);
  if (cancelled_ || detached_) return;
  handler_ = std::move(handler);
}

bool TcpStateReporter::Start(std::shared_ptr<Queue> queue) {
  std::lock_guard<std::mutex> lock(mu_);
  if (started_ || detached_ || queue == nullptr) return false;
  started_ = true;
  queue_ = std::move(queue);
  if (cancelled_) {
    Post({TcpState::kCancelled, 0});
    queue_.reset();
    return false;
  }
  Post({TcpState::kPreparing, 0});
  return true;
}

bool TcpStateReporter::Report(TcpConnectionState state) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!started_ || cancelled_ || detached_) return false;
  Post(state);
  return true;
}

bool TcpStateReporter::Cancel() {
  std::lock_guard<std::mutex> lock(mu_);
  if (cancelled_ || detached_) return false;
  cancelled_ = true;
  if (started_) {
    Post({TcpState::kCancelled, 0});
    queue_.reset();
  }
  return true;
}

void TcpStateReporter::Detach() {
  TcpConnection::StateHandler dropped;
  {
    std::lock_guard<std::mutex> lock(mu_);
    detached_ = true;
    dropped.swap(handler_);
    queue_.reset();
  }
  // `dropped` goes here, unlocked: its captures may do anything.
}

bool TcpStateReporter::done() const {
  std::lock_guard<std::mutex> lock(mu_);
  return cancelled_ || detached_;
}

void TcpStateReporter::Post(TcpConnectionState state) {
  // Called with mu_ held.
  queue_->Async([self = shared_from_this(), state] { self->Deliver(state); });
}

void TcpStateReporter::Deliver(TcpConnectionState state) {
  TcpConnection::StateHandler handler;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (detached_) return;
    // Checked when the state runs, not when it was posted: a Cancel on the
    // queue silences what was already on its way.
    if (cancelled_ && state.state != TcpState::kCancelled) return;
    if (state.state == TcpState::kCancelled) {
      handler.swap(handler_);  // the last state: release the handler
    } else {
      handler = handler_;
    }
  }
  if (handler) handler(state);
}

}  // namespace kelvo
