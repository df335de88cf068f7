// One kelvo process, wired together: the engine socket as the engine's
// messenger, the user-defaults system, the screens, the notification
// centre on the session bus, the tunnel profiles, the login item, and the
// main interface (the application, its delegate and the main window).
//
// Ownership: the process owns everything above; `dispatch` (not owned)
// runs the main queue and must outlive it.
// Threading: construct, Start and Stop on the thread that runs the main
// queue, Stop after the main loop has ended.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "host/app_delegate.h"
#include "host/application.h"
#include "host/main_flutter_window.h"
#include "platform/dispatch/asio_dispatch.h"
#include "platform/engine/engine_socket.h"
#include "platform/log/system_log.h"

namespace kelvo {

struct HostOptions {
  std::string engine_socket;  // empty: DefaultEngineSocketPath()
  bool foreground = false;    // copy log lines to stderr
};

// The window's frame as the main interface description gives it.
inline constexpr Rect kInterfaceWindowRect{0, 0, 800, 600};

class HostProcess {
 public:
  HostProcess(HostOptions options, AsioDispatch* dispatch);
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // Loads the main interface: the window's setup becomes the main queue's
  // first work (so no call is handled before the channels exist), then the
  // engine socket starts serving. Returns why it could not.
  std::optional<std::string> Start();
  // Stops the notification poll and the engine socket. Idempotent.
  void Stop();

  EngineSocketServer& engine() { return *engine_; }
  Application& app() { return *app_; }

 private:
  AsioDispatch* dispatch_;
  HostOptions options_;
  std::shared_ptr<SystemLog> log_;
  std::shared_ptr<UserDefaultsSystem> defaults_;
  std::shared_ptr<EngineSocketServer> engine_;
  std::unique_ptr<ScreenSource> screens_;
  std::shared_ptr<UserNotificationCenter> notifications_;
  std::unique_ptr<Application> app_;
  std::unique_ptr<AppDelegate> delegate_;
  std::unique_ptr<MainFlutterWindow> window_;
};

}  // namespace kelvo
