// Connection kinds from a network path monitor. The provider keeps at most
// one monitor: it makes and starts one when it is built, when asked for
// the kinds without one, and on Start without one; Stop cancels and drops
// it. So a monitor runs from construction on, whether or not anybody
// listens, and a query after Stop leaves a running monitor behind.
//
// Every path update of the running monitor calls the update handler, when
// one is set, with the kinds of the new path, on the monitor's queue
// (nothing is de-duplicated here).
//
// A monitor that cannot start is logged and kept until Stop; its path, and
// so the kinds, stay [kNone].
//
// Ownership: the provider owns its monitor; destroying it stops it.
// Threading: every member is safe from any thread; the handler runs on
// `queue`.
#pragma once

#include <memory>
#include <mutex>

#include "platform/dispatch/dispatch.h"
#include "platform/log/system_log.h"
#include "platform/path_monitor/path_monitor.h"
#include "services/connectivity/connectivity_provider.h"

namespace kelvo {

class PathMonitorConnectivityProvider final : public ConnectivityProvider {
 public:
  // `log` may be null.
  PathMonitorConnectivityProvider(std::shared_ptr<Queue> queue, PathMonitorFactory make_monitor,
                                  std::shared_ptr<SystemLog> log);
  ~PathMonitorConnectivityProvider() override;
  PathMonitorConnectivityProvider(const PathMonitorConnectivityProvider&) = delete;
  PathMonitorConnectivityProvider& operator=(const PathMonitorConnectivityProvider&) = delete;

  std::vector<ConnectivityType> CurrentConnectivityTypes() override;
  UpdateHandler connectivity_update_handler() const override;
  void set_connectivity_update_handler(UpdateHandler handler) override;
  void Start() override;
  void Stop() override;

  // The queue the monitor reports on.
  const std::shared_ptr<Queue>& queue() const { return queue_; }

 private:
  // The handler lives apart from the provider so that an update already on
  // the queue never reaches a destroyed provider.
  struct HandlerSlot {
    mutable std::mutex mu;
    UpdateHandler handler;
  };

  PathMonitor& EnsureMonitor();  // monitor_mu_ held

  const std::shared_ptr<Queue> queue_;
  const PathMonitorFactory make_monitor_;
  const std::shared_ptr<SystemLog> log_;
  const std::shared_ptr<HandlerSlot> slot_;
  std::mutex monitor_mu_;
  std::unique_ptr<PathMonitor> monitor_;
};

}  // namespace kelvo
