// The main window: it creates the engine's view controller, sizes and
// centres itself, registers the native services with the engine, makes the
// application delegate the notification centre's delegate and opens the
// host control channel.
//
// Ownership: the window owns the view controller (its content) and thereby
// the registrars and services; the control channel lives as long as the
// engine's messenger holds its handler.
// Threading: main queue only.
#pragma once

#include <memory>

#include "host/application.h"
#include "host/flutter_view_controller.h"
#include "host/login_item.h"
#include "host/tunnel_sessions.h"
#include "host/user_notification_center.h"
#include "host/window.h"

namespace kelvo {

// Size on start, and the smallest the user may make it.
inline constexpr Size kMainWindowSize{860, 460};
inline constexpr Size kMainWindowMinSize{720, 420};

// What the process provides to the window's setup.
struct ShellEnvironment {
  std::shared_ptr<BinaryMessenger> engine_messenger;
  HostContext context;
  Application* app = nullptr;                                   // not owned
  ScreenSource* screens = nullptr;                              // not owned
  std::shared_ptr<UserNotificationCenter> notification_center;  // the current centre
  std::shared_ptr<TunnelManagers> tunnels;
  std::shared_ptr<LoginItem> login_item;
};

class MainFlutterWindow : public Window {
 public:
  // As the base class's initialiser: the frame comes from the interface
  // description unchanged.
  MainFlutterWindow(Rect content_rect, ShellEnvironment env);

  // The setup, in order: view controller, size, minimum size, centring,
  // service registration, notification delegate, control channel, then
  // the base class's AwakeFromNib.
  void AwakeFromNib() override;

  FlutterViewController* flutter_view_controller() const;

 private:
  // Centres `window` in the visible frame of the screen under the pointer,
  // else of the main screen, else leaves it to the platform.
  static void CenterLikeWindowManager(Window& window, const ScreenSource& screens);

  ShellEnvironment env_;
};

}  // namespace kelvo
