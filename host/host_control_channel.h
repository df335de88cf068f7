// The host control channel "drimo/wg_ios": what the user interface asks of
// the host beyond its services. The running tunnel extension through
// provider messages ("getRuntimeStats", "pingTunnel", "watchdogDebug"), the
// App Group settings store ("appGroupSet", "appGroupGet",
// "appGroupRemove"), the notification permission ("requestNotifications")
// and launching at login ("getLaunchAtLogin", "setLaunchAtLogin"). Any
// other method gets the engine's "not implemented" reply. Every error's
// details are empty.
//
// The login item service exists on this system in every version (the
// XDG autostart entry), so the "UNSUPPORTED" reply of systems before it is
// never given.
//
// Threading: calls arrive on the main queue. Settings, launch-at-login and
// "not implemented" replies are sent before the handler returns; the
// permission reply is sent on the main queue; tunnel replies come from the
// tunnel managers' completions (main queue). No tunnel request has a time
// limit of its own.
// Ownership: the channel shares its collaborators; the messenger it is
// installed on must outlive it or remove its handler.
#pragma once

#include <memory>

#include "host/login_item.h"
#include "host/tunnel_sessions.h"
#include "host/user_notification_center.h"
#include "platform/defaults/user_defaults.h"
#include "platform/engine/channels.h"

namespace kelvo {

inline constexpr const char* kHostControlChannel = "drimo/wg_ios";

// Provider message bytes.
inline constexpr uint8_t kRuntimeConfigurationMessage = 0x00;
inline constexpr uint8_t kLivenessMessage = 0x01;
inline constexpr uint8_t kDiagnosticReportMessage = 0x02;

struct HostControlDeps {
  std::shared_ptr<Queue> main_queue;
  UserDefaultsSystem* defaults = nullptr;  // not owned; outlives the channel
  std::shared_ptr<TunnelManagers> tunnels;
  std::shared_ptr<UserNotificationCenter> notifications;
  std::shared_ptr<LoginItem> login_item;
};

class HostControlChannel : public std::enable_shared_from_this<HostControlChannel> {
 public:
  explicit HostControlChannel(HostControlDeps deps);

  // Creates the method channel on `messenger` and installs the handler.
  void Install(BinaryMessenger* messenger);
  void HandleMethodCall(const MethodCall& call, std::shared_ptr<MethodResult> result);

 private:
  // Tunnel methods (tunnel_methods.cc).
  void SendProviderProbe(uint8_t message, std::shared_ptr<MethodResult> result,
                         bool empty_as_error);
  void WatchdogDebug(std::shared_ptr<MethodResult> result);
  // Settings, permission and login item (host_control_channel.cc).
  void AppGroupMethod(const MethodCall& call, MethodResult& result);
  void RequestNotifications(std::shared_ptr<MethodResult> result);
  void GetLaunchAtLogin(MethodResult& result);
  void SetLaunchAtLogin(const Value& arguments, MethodResult& result);

  HostControlDeps deps_;
  std::unique_ptr<MethodChannel> channel_;
};

}  // namespace kelvo
