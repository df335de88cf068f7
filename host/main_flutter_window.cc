#include "host/main_flutter_window.h"

#include "host/generated_plugin_registrant.h"
#include "host/host_control_channel.h"

namespace kelvo {

MainFlutterWindow::MainFlutterWindow(Rect content_rect, ShellEnvironment env)
    : Window(content_rect, env.screens), env_(std::move(env)) {}

FlutterViewController* MainFlutterWindow::flutter_view_controller() const {
  return static_cast<FlutterViewController*>(content_view_controller());
}

void MainFlutterWindow::AwakeFromNib() {
  // 1. The engine's view controller becomes the content.
  auto controller = std::make_unique<FlutterViewController>(env_.engine_messenger, env_.context);
  FlutterViewController* registry = controller.get();
  SetContentViewController(std::move(controller));
  // 2-3. Size and minimum size.
  SetFrame({frame().x, frame().y, kMainWindowSize.width, kMainWindowSize.height}, false);
  SetMinSize(kMainWindowMinSize);
  // 4. Centre.
  CenterLikeWindowManager(*this, *env_.screens);
  // 5. Services.
  RegisterGeneratedPlugins(registry);
  // 6. Notifications shown in front go through the application delegate.
  env_.notification_center->SetDelegate(
      dynamic_cast<UserNotificationCenterDelegate*>(env_.app->delegate()));
  // 7. The host control channel.
  auto channel = std::make_shared<HostControlChannel>(
      HostControlDeps{env_.context.dispatch->MainQueue(), env_.context.defaults, env_.tunnels,
                      env_.notification_center, env_.login_item});
  channel->Install(registry->binary_messenger());
  // 8.
  Window::AwakeFromNib();
}

void MainFlutterWindow::CenterLikeWindowManager(Window& window, const ScreenSource& screens) {
  const Point pointer = screens.PointerLocation();
  std::optional<Screen> target;
  for (const Screen& screen : screens.Screens()) {
    if (MouseInRect(pointer, screen.frame, /*flipped=*/false)) {
      target = screen;
      break;
    }
  }
  if (!target) target = screens.MainScreen();
  if (!target) return window.Center();
  const Rect v = target->visible_frame;
  const Rect w = window.frame();
  window.SetFrameOrigin({v.x + (v.width - w.width) * 0.5, v.y + (v.height - w.height) * 0.5});
}

}  // namespace kelvo
