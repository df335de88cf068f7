#include "host/host_process.h"

#include "host/app_group.h"
#include "platform/defaults/defaults_failure.h"
#include "host/socket_tunnel_managers.h"
#include "platform/desktop_notify/desktop_notifier.h"
#include "platform/tunnels/tunnel_manager.h"

namespace kelvo {
namespace {

constexpr const char* kSubsystem = "net.kelvo.app";

std::function<ProfileLoad()> ProfileLoader(std::shared_ptr<UserDefaultsSystem> defaults,
                                           std::shared_ptr<SystemLog> log) {
  return [defaults, log] {
    std::optional<std::string> container = defaults->AppGroupContainer(kHostAppGroup);
    if (!container)
      return ProfileLoad{{}, "the App Group " + std::string(kHostAppGroup) + " is not configured"};
    return LoadTunnelProfiles(TunnelProfilesDirectory(*container),
                              [log](const std::string& line) { log->Notice(line); });
  };
}

}  // namespace

HostProcess::HostProcess(HostOptions options, AsioDispatch* dispatch)
    : dispatch_(dispatch), options_(std::move(options)) {
  if (options_.engine_socket.empty()) options_.engine_socket = DefaultEngineSocketPath();
  LogOptions log_options = LogOptions::ForProcess(options_.foreground);
  log_ = MakeSystemLog(kSubsystem, "host", log_options);
  DefaultsConfig config = DefaultsConfig::FromEnvironment();
  defaults_ = OpenUserDefaultsSystem(config);
  std::shared_ptr<SystemLog> engine_log = MakeSystemLog(kSubsystem, "engine", log_options);
  engine_ = std::make_shared<EngineSocketServer>(
      options_.engine_socket, dispatch->MainQueue(),
      [engine_log](const std::string& line) { engine_log->Info(line); });
  screens_ = MakeVirtualScreens();
  notifications_ =
      UserNotificationCenter::Create(dispatch, defaults_, MakeSessionBusNotifier(),
                                     MakeSystemLog(kSubsystem, "notifications", log_options));

  // The main interface description: the delegate and the main window.
  app_ = std::make_unique<Application>(dispatch->MainQueue(), [dispatch] { dispatch->StopMain(); });
  delegate_ = std::make_unique<AppDelegate>();
  app_->SetDelegate(delegate_.get());
  ShellEnvironment env;
  env.engine_messenger = engine_;
  env.context = HostContext{dispatch, defaults_.get(), config};
  env.app = app_.get();
  env.screens = screens_.get();
  env.notification_center = notifications_;
  env.tunnels = MakeSocketTunnelManagers(dispatch, ProfileLoader(defaults_, log_),
                                         [log = log_](const std::string& line) { log->Error(line); });
  std::string no_autostart;
  std::string autostart = DefaultAutostartDirectory(&no_autostart);
  env.login_item = MakeAutostartLoginItem(autostart, CurrentExecutablePath(), no_autostart);
  window_ = std::make_unique<MainFlutterWindow>(kInterfaceWindowRect, std::move(env));
  app_->AddWindow(window_.get());
}

HostProcess::~HostProcess() { Stop(); }

std::optional<std::string> HostProcess::Start() {
  dispatch_->MainQueue()->Async([this] {
    window_->AwakeFromNib();
    window_->MakeKeyAndOrderFront();  // visible at launch
    notifications_->Start();
    log_->Notice("Kelvo host serving the engine on " + options_.engine_socket);
    // Makes the shared container when the host comes first, or says what
    // is wrong with it.
    if (!OpenAppGroupContainer(defaults_.get())) {
      log_->Error("the App Group store does not open: " + LastDefaultsFailure());
    }
  });
  return engine_->Start();
}

void HostProcess::Stop() {
  notifications_->Stop();
  engine_->Stop();
}

}  // namespace kelvo
