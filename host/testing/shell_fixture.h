// Test helper: the shell's collaborators in virtual time, with an
// in-process messenger playing the user interface, fake screens, a fake
// notifier and fake tunnel managers. Settings live in a real user-defaults
// system in a temporary directory, so the permission file can be written.
#pragma once

#include <memory>

#include "host/app_delegate.h"
#include "host/fake_tunnel_managers.h"
#include "host/main_flutter_window.h"
#include "platform/fs/test_dir.h"
#include "platform/defaults/user_defaults.h"
#include "platform/desktop_notify/fake_desktop_notifier.h"
#include "platform/dispatch/virtual_dispatch.h"
#include "platform/engine/in_process_messenger.h"
#include "platform/engine/method_codec.h"
#include "platform/log/fake_system_log.h"
#include "platform/screens/fake_screens.h"

namespace kelvo::testing {

struct ShellFixture {
  ShellFixture();

  // Calls `method` on the control channel as the user interface would and
  // runs the queues until idle. nullopt: no reply; else the envelope.
  std::optional<Envelope> Call(const std::string& method, const Value& arguments = Value());
  // The main window on these collaborators, added to the application.
  std::unique_ptr<MainFlutterWindow> MakeWindow();

  VirtualDispatch dispatch;
  TestDir dir;
  DefaultsConfig config;
  std::shared_ptr<UserDefaultsSystem> defaults;
  std::shared_ptr<InProcessMessenger> messenger;
  FakeScreens screens;
  FakeDesktopNotifier* notifier = nullptr;  // owned by the centre
  std::shared_ptr<FakeLogBook> log_book = std::make_shared<FakeLogBook>();
  std::shared_ptr<UserNotificationCenter> center;
  std::shared_ptr<FakeTunnelManagers> tunnels;
  std::string autostart_dir;
  std::shared_ptr<LoginItem> login_item;
  bool terminated = false;
  Application app;
  AppDelegate delegate;
};

}  // namespace kelvo::testing
