#include "services/connectivity/connectivity_plus_plugin.h"

#include "platform/path_monitor/rtnetlink_path_monitor.h"
#include "services/connectivity/path_monitor_connectivity_provider.h"

namespace kelvo {
namespace {

constexpr const char* kLogSubsystem = "net.kelvo.app";
constexpr const char* kLogCategory = "connectivity";

// What the registrar keeps: when the registrar (the engine) goes, the
// plugin is detached even though the messenger may still hold it.
struct EngineAttachment {
  std::shared_ptr<ConnectivityPlusPlugin> plugin;
  ~EngineAttachment() {
    if (plugin) plugin->DetachFromEngine();
  }
};

}  // namespace

void ConnectivityPlusPlugin::Register(PluginRegistrar* registrar) {
  std::shared_ptr<SystemLog> log = MakeSystemLog(kLogSubsystem, kLogCategory);
  RtNetlinkPathMonitorOptions options;
  options.log = log;
  RegisterWith(registrar, [options] { return MakeRtNetlinkPathMonitor(options); });
}

void ConnectivityPlusPlugin::RegisterWith(PluginRegistrar* registrar,
                                          PathMonitorFactory make_monitor) {
  Dispatch* dispatch = registrar->context().dispatch;
  std::shared_ptr<SystemLog> log = MakeSystemLog(kLogSubsystem, kLogCategory);
  if (!dispatch) {
    log->Error("connectivity service not registered: the host gave no dispatch");
    return;
  }
  // The monitor reports on a queue of its own, as the system's utility
  // queue would; the plugin hops to the main queue.
  auto provider = std::make_shared<PathMonitorConnectivityProvider>(
      dispatch->CreateSerialQueue("connectivity.path-monitor"), std::move(make_monitor), log);
  auto plugin = Create(provider, dispatch->MainQueue());
  plugin->Install(registrar->messenger());
  auto attachment = std::make_shared<EngineAttachment>();
  attachment->plugin = plugin;
  registrar->Publish(std::move(attachment));
}

std::shared_ptr<ConnectivityPlusPlugin> ConnectivityPlusPlugin::Create(
    std::shared_ptr<ConnectivityProvider> provider, std::shared_ptr<Queue> main_queue) {
  auto plugin = std::make_shared<ConnectivityPlusPlugin>(std::move(provider), std::move(main_queue));
  plugin->provider_->set_connectivity_update_handler(
      [weak = std::weak_ptr<ConnectivityPlusPlugin>(plugin)](
          const std::vector<ConnectivityType>& types) {
        if (auto self = weak.lock()) self->Update(types);
      });
  return plugin;
}

ConnectivityPlusPlugin::ConnectivityPlusPlugin(std::shared_ptr<ConnectivityProvider> provider,
                                               std::shared_ptr<Queue> main_queue)
    : provider_(std::move(provider)), main_(std::move(main_queue)) {}

void ConnectivityPlusPlugin::Install(BinaryMessenger* messenger) {
  MethodChannel(messenger, kConnectivityMethodChannel)
      .SetMethodCallHandler([weak = weak_from_this()](const MethodCall& call,
                                                      std::shared_ptr<MethodResult> result) {
        if (auto self = weak.lock()) {
          self->HandleMethodCall(call, std::move(result));
        } else {
          result->NotImplemented();
        }
      });
  EventChannel(messenger, kConnectivityEventChannel).SetStreamHandler(shared_from_this());
}

void ConnectivityPlusPlugin::HandleMethodCall(const MethodCall& call,
                                              std::shared_ptr<MethodResult> result) {
  if (call.method == "check") {
    result->Success(ConnectivityStatus(provider_->CurrentConnectivityTypes()));
  } else {
    result->NotImplemented();
  }
}

std::optional<FlutterError> ConnectivityPlusPlugin::OnListen(const Value&,
                                                             std::shared_ptr<EventSink> sink) {
  SetSink(std::move(sink));
  provider_->Start();
  Update(provider_->CurrentConnectivityTypes());
  return std::nullopt;
}

std::optional<FlutterError> ConnectivityPlusPlugin::OnCancel(const Value&) {
  provider_->Stop();
  SetSink(nullptr);
  return std::nullopt;
}

void ConnectivityPlusPlugin::DetachFromEngine() {
  SetSink(nullptr);
  provider_->Stop();
}

void ConnectivityPlusPlugin::SetSink(std::shared_ptr<EventSink> sink) {
  std::lock_guard lock(mu_);
  sink_ = std::move(sink);
}

void ConnectivityPlusPlugin::Update(const std::vector<ConnectivityType>& types) {
  main_->Async([weak = weak_from_this(), status = ConnectivityStatus(types)] {
    auto self = weak.lock();
    if (!self) return;
    std::shared_ptr<EventSink> sink;
    {
      std::lock_guard lock(self->mu_);
      sink = self->sink_;
    }
    if (sink) sink->Success(status);
  });
}

}  // namespace kelvo
