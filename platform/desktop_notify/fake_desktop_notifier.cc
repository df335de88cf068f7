#include "platform/desktop_notify/fake_desktop_notifier.h"

namespace kelvo {

NotifyOutcome FakeDesktopNotifier::Notify(const DesktopNotification& notification) {
  std::lock_guard lock(mu_);
  ++calls_;
  if (!reachable_) return {std::nullopt, true, "The name is not activatable"};
  if (refusal_) return {std::nullopt, false, *refusal_};
  shown_.push_back(notification);
  return {next_id_++, false, ""};
}

std::optional<std::string> FakeDesktopNotifier::CheckReachable() {
  std::lock_guard lock(mu_);
  ++calls_;
  if (!reachable_) return "The name is not activatable";
  return std::nullopt;
}

void FakeDesktopNotifier::set_reachable(bool reachable) {
  std::lock_guard lock(mu_);
  reachable_ = reachable;
}

void FakeDesktopNotifier::RefuseWith(std::optional<std::string> reason) {
  std::lock_guard lock(mu_);
  refusal_ = std::move(reason);
}

std::vector<DesktopNotification> FakeDesktopNotifier::shown() const {
  std::lock_guard lock(mu_);
  return shown_;
}

int FakeDesktopNotifier::calls() const {
  std::lock_guard lock(mu_);
  return calls_;
}

}  // namespace kelvo
