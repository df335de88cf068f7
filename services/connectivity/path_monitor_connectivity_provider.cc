#include "services/connectivity/path_monitor_connectivity_provider.h"

namespace kelvo {

PathMonitorConnectivityProvider::PathMonitorConnectivityProvider(std::shared_ptr<Queue> queue,
                                                                 PathMonitorFactory make_monitor,
                                                                 std::shared_ptr<SystemLog> log)
    : queue_(std::move(queue)),
      make_monitor_(std::move(make_monitor)),
      log_(std::move(log)),
      slot_(std::make_shared<HandlerSlot>()) {
  std::lock_guard lock(monitor_mu_);
  EnsureMonitor();
}

PathMonitorConnectivityProvider::~PathMonitorConnectivityProvider() { Stop(); }

PathMonitor& PathMonitorConnectivityProvider::EnsureMonitor() {
  if (monitor_) return *monitor_;
  monitor_ = make_monitor_();
  monitor_->SetPathUpdateHandler([slot = slot_](const Path& path) {
    UpdateHandler handler;
    {
      std::lock_guard lock(slot->mu);
      handler = slot->handler;
    }
    if (handler) handler(ConnectivityTypesOfPath(path));
  });
  if (auto error = monitor_->Start(queue_)) {
    if (log_) log_->Error("cannot watch the network path: " + *error);
  }
  return *monitor_;
}

std::vector<ConnectivityType> PathMonitorConnectivityProvider::CurrentConnectivityTypes() {
  std::lock_guard lock(monitor_mu_);
  return ConnectivityTypesOfPath(EnsureMonitor().CurrentPath());
}

ConnectivityProvider::UpdateHandler PathMonitorConnectivityProvider::connectivity_update_handler()
    const {
  std::lock_guard lock(slot_->mu);
  return slot_->handler;
}

void PathMonitorConnectivityProvider::set_connectivity_update_handler(UpdateHandler handler) {
  std::lock_guard lock(slot_->mu);
  slot_->handler = std::move(handler);
}

void PathMonitorConnectivityProvider::Start() {
  std::lock_guard lock(monitor_mu_);
  EnsureMonitor();
}

void PathMonitorConnectivityProvider::Stop() {
  std::unique_ptr<PathMonitor> monitor;
  {
    std::lock_guard lock(monitor_mu_);
    monitor = std::move(monitor_);
  }
  if (monitor) monitor->Cancel();
}

}  // namespace kelvo
