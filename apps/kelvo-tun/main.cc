// kelvo-tun: the tunnel extension as a process. It builds one
// PacketTunnelProvider on the real platform layers and serves its control
// socket until SIGTERM, SIGINT or SIGHUP, which stop the tunnel before
// exiting.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <future>
#include <iostream>

#include "apps/kelvo-tun/control_server.h"
#include "apps/kelvo-tun/options.h"
#include "apps/kelvo-tun/tunnel_memory.h"
#include "platform/defaults/defaults_failure.h"
#include "platform/defaults/user_defaults.h"
#include "platform/dispatch/asio_dispatch.h"
#include "platform/engine/engine_socket.h"
#include "platform/engine/standard_codec.h"
#include "platform/firewall/leak_guard.h"
#include "platform/http/curl_url_session.h"
#include "platform/log/system_log.h"
#include "platform/network/tcp_connection.h"
#include "platform/notifications/notification_center.h"
#include "platform/tunnels/control_socket.h"
#include "platform/tunnels/tunnel_manager.h"
#include "platform/wireguard/memory_adapter.h"
#include "platform/wireguard/wireguard_go_adapter.h"

using namespace kelvo;

namespace {

constexpr const char* kBundleId = "net.kelvo.app.DUDovo";

std::function<std::unique_ptr<WireGuardAdapter>(WireGuardLogHandler)> AdapterFactory(
    const TunOptions& options, AsioDispatch& dispatch, std::shared_ptr<SocketMark> own_mark) {
  auto queue = dispatch.CreateSerialQueue("net.kelvo.app.adapter");
  if (options.adapter == "memory") {
    MemoryHandshake handshake =
        ParseMemoryHandshake(options.memory_handshake).value_or(MemoryHandshake::kFresh);
    return [queue, &dispatch,
            handshake](WireGuardLogHandler handler) -> std::unique_ptr<WireGuardAdapter> {
      return std::make_unique<MemoryAdapter>(queue, dispatch, std::move(handler), handshake);
    };
  }
  WireGuardGoAdapter::Options adapter_options;
  adapter_options.interface_name = options.interface;
  adapter_options.own_traffic_mark = std::move(own_mark);
  // Always there, so that a guard an earlier run left is removed.
  adapter_options.leak_guard = MakeNftLeakGuard();
  adapter_options.block_leaks = options.block_leaks;
  return [queue, adapter_options](WireGuardLogHandler handler) -> std::unique_ptr<WireGuardAdapter> {
    return std::make_unique<WireGuardGoAdapter>(queue, adapter_options, std::move(handler));
  };
}

void Resume(const TunnelMemory& memory, const std::string& control_socket,
            EngineSocketClient& client, SystemLog& log) {
  std::string error;
  std::optional<std::string> configuration = memory.Recall(&error);
  if (!configuration) {
    log.Notice(error.empty() ? "nothing to resume (" + memory.path() + " does not exist)"
                             : "cannot resume: " + error);
    return;
  }
  log.Notice("resuming the tunnel remembered in " + memory.path());
  if (auto failure = client.Connect(control_socket)) {
    log.Error("cannot resume: " + *failure);
    return;
  }
  client.Send("startTunnel",
              StandardCodec::Instance().Encode(Value(ValueMap{{"cfg", *configuration}})),
              [&log](Payload reply) {
                // A start answers codec null, or the error as a list.
                bool started = reply && StandardCodec::Instance().Decode(*reply).ok() &&
                               StandardCodec::Instance().Decode(*reply).value().is_null();
                if (started) {
                  log.Notice("resumed the tunnel");
                } else {
                  log.Error("the remembered tunnel did not start");
                }
              });
}

}  // namespace

int main(int argc, char** argv) {
  TunOptions options;
  CLI::App app{"kelvo-tun: the Kelvo tunnel extension. Runs a WireGuard tunnel, watches its "
               "handshakes and repairs it in place."};
  AddTunOptions(app, options);
  app.set_version_flag("--version", std::string("kelvo-tun ") + KELVO_VERSION);
  CLI11_PARSE(app, argc, argv);
  // A relative App Group root would not be the one the host uses.
  DefaultsConfig defaults_config = DefaultsConfig::FromEnvironment();
  if (!defaults_config.error.empty()) {
    std::cerr << "kelvo-tun: " << defaults_config.error << "\n";
    return 1;
  }

  auto main_log = MakeSystemLog(kBundleId, "main", LogOptions::ForProcess(options.foreground));
  main_log->Notice("[Kelvo sysext] DUDovo system extension starting (pid " +
                   std::to_string(getpid()) + ")");
  std::fprintf(stderr, "[Kelvo sysext] DUDovo system extension starting\n");

  AsioDispatch dispatch;
  auto defaults = OpenUserDefaultsSystem(defaults_config);
  std::shared_ptr<AppGroupSettings> settings = MakeAppGroupSettings(defaults.get());
  // Opening the suite makes the container (or says what is wrong with it).
  std::string container;
  if (defaults->Suite(kAppGroupId)) {
    container = defaults->AppGroupContainer(kAppGroupId).value_or("");
  } else {
    std::string why = LastDefaultsFailure();
    main_log->Error("the App Group store does not open: " + why);
    std::cerr << "kelvo-tun: the App Group store does not open: " << why << "\n";
  }

  ProviderPlatform platform;
  platform.dispatch = &dispatch;
  platform.settings = settings;
  platform.log = MakeSystemLog(kBundleId, "PacketTunnelProvider",
                               LogOptions::ForProcess(options.foreground));
  // Our own probe and configuration requests go around our full tunnel.
  auto own_mark = std::make_shared<SocketMark>();
  platform.make_adapter = AdapterFactory(options, dispatch, own_mark);
  platform.make_url_session = [&dispatch, own_mark]() -> std::shared_ptr<UrlSession> {
    return std::make_shared<CurlUrlSession>(dispatch.CreateSerialQueue("net.kelvo.app.urlsession"),
                                            CurlUrlSessionOptions{}, own_mark);
  };
  platform.tcp = CreatePosixTcpConnector(own_mark);
  auto notification_queue = dispatch.CreateSerialQueue("net.kelvo.app.notifications");
  std::shared_ptr<SystemLog> notification_log = MakeSystemLog(
      kBundleId, "notifications", LogOptions::ForProcess(options.foreground));
  platform.notification_center = [container, notification_queue, notification_log] {
    return MakeAppGroupNotificationCenter(
        container, notification_queue, nullptr,
        [notification_log](const std::string& line) { notification_log->Notice(line); });
  };
  platform.probe_host = options.probe_host;
  platform.probe_port = options.probe_port;
  auto provider = PacketTunnelProvider::Create(std::move(platform));

  EngineSocketServer socket(options.control_socket, dispatch.MainQueue(),
                            [&](const std::string& line) { main_log->Notice(line); });
  socket.SetAccess(ControlSocketAccess());
  ControlServer control(provider, &socket);
  TunnelMemory memory(options.state_directory, options.interface);
  control.SetHooks({
      .started =
          [&memory, &main_log](const std::string& configuration) {
            if (auto error = memory.Remember(configuration)) main_log->Error(*error);
          },
      .stop_requested =
          [&memory, &main_log] {
            if (auto error = memory.Forget()) main_log->Error(*error);
          },
  });
  control.Install();
  if (auto error = socket.Start()) {
    main_log->Error("cannot serve the control socket: " + *error);
    std::cerr << "kelvo-tun: cannot serve the control socket: " << *error << "\n";
    return 1;
  }

  // The host finds this tunnel through its profile in the App Group.
  std::string profiles = TunnelProfilesDirectory(container);
  std::string profile_file = "kelvo-tun-" + options.interface + ".json";
  if (container.empty()) {
    main_log->Error("no App Group container; the host will not find this tunnel");
    std::cerr << "kelvo-tun: no App Group container; the host will not find this tunnel\n";
  } else if (auto error = WriteTunnelProfile(profiles, profile_file,
                                             {options.name, socket.path(), profile_file})) {
    main_log->Error("cannot write the tunnel profile: " + *error);
  }
  main_log->Notice("serving " + socket.path() + " (adapter " + options.adapter + ")");

  // Resuming is a start like any other, through the control socket, so the
  // status and the memory follow the same path.
  EngineSocketClient resume_client;
  if (options.resume) Resume(memory, socket.path(), resume_client, *main_log);

  // A hang-up (the terminal or the service manager going away) ends the
  // process as well, so it must stop the tunnel first like the others.
  dispatch.StopMainOnSignals({SIGTERM, SIGINT, SIGHUP});
  dispatch.RunMain();
  resume_client.Close();

  main_log->Notice("stopping");
  std::promise<void> stopped;
  control.StopForExit([&] { stopped.set_value(); });
  if (stopped.get_future().wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    main_log->Error("the tunnel did not stop within 10 s; exiting anyway");
  }
  socket.Stop();
  if (!container.empty()) RemoveTunnelProfile(profiles, profile_file);
  return 0;
}
