#include "host/testing/shell_fixture.h"

#include <filesystem>

namespace kelvo::testing {

ShellFixture::ShellFixture()
    : messenger(std::make_shared<InProcessMessenger>(dispatch.MainQueue())),
      tunnels(std::make_shared<FakeTunnelManagers>(dispatch.MainQueue())),
      app(dispatch.MainQueue(), [this] { terminated = true; }) {
  config.app_group_root = dir.path() + "/app-groups";
  config.data_home = dir.path() + "/data";
  std::filesystem::create_directories(config.app_group_root);
  defaults = OpenUserDefaultsSystem(config);
  auto fake = std::make_unique<FakeDesktopNotifier>();
  notifier = fake.get();
  center = UserNotificationCenter::Create(&dispatch, defaults, std::move(fake),
                                          std::make_shared<FakeSystemLog>("t", "n", log_book));
  autostart_dir = dir.path() + "/config/autostart";
  login_item = MakeAutostartLoginItem(autostart_dir, "/opt/kelvo/bin/kelvo");
  app.SetDelegate(&delegate);
}

std::unique_ptr<MainFlutterWindow> ShellFixture::MakeWindow() {
  ShellEnvironment env;
  env.engine_messenger = messenger;
  env.context = HostContext{&dispatch, defaults.get(), config};
  env.app = &app;
  env.screens = &screens;
  env.notification_center = center;
  env.tunnels = tunnels;
  env.login_item = login_item;
  auto window = std::make_unique<MainFlutterWindow>(Rect{0, 0, 800, 600}, std::move(env));
  app.AddWindow(window.get());
  return window;
}

std::optional<Envelope> ShellFixture::Call(const std::string& method, const Value& arguments) {
  const MethodCodec& codec = MethodCodec::Standard();
  std::optional<Payload> got;
  messenger->SendFromInterface("drimo/wg_ios", codec.EncodeMethodCall({method, arguments}),
                               [&got](Payload reply) { got = std::move(reply); });
  dispatch.RunUntilIdle();
  if (!got || !*got) return std::nullopt;
  Result<Envelope> envelope = codec.DecodeEnvelope(**got);
  if (!envelope.ok()) return std::nullopt;
  return envelope.value();
}

}  // namespace kelvo::testing
