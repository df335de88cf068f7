// The connectivity service: the current network connection kinds on the
// method channel "dev.fluttercommunity.plus/connectivity" (method "check",
// no arguments, replies with the status; any other method is not
// implemented) and their changes on the event channel
// "dev.fluttercommunity.plus/connectivity_status" (each event a status; see
// connectivity_types.h for the status).
//
// Listening stores the sink, starts the provider and sends the current
// status at once; every later provider update sends one event, unchanged or
// not. Cancelling stops the provider and drops the sink, so no event goes
// out until the next listen. Neither answers with an error.
//
// Ownership: the plugin shares its provider. Registered, it is shared by
// the messenger (as the stream handler) and by the registrar, which
// detaches it from the engine (drops the sink, stops the provider) when it
// goes.
// Threading: calls, listen and cancel arrive on the main queue. Provider
// updates may come from any thread; each is moved to the main queue before
// the sink is touched, so events are sent on the main queue.
#pragma once

#include <memory>
#include <mutex>

#include "platform/engine/channels.h"
#include "platform/engine/plugin_registry.h"
#include "platform/path_monitor/path_monitor.h"
#include "services/connectivity/connectivity_provider.h"

namespace kelvo {

inline constexpr const char* kConnectivityMethodChannel = "dev.fluttercommunity.plus/connectivity";
inline constexpr const char* kConnectivityEventChannel =
    "dev.fluttercommunity.plus/connectivity_status";

class ConnectivityPlusPlugin final : public StreamHandler,
                                     public std::enable_shared_from_this<ConnectivityPlusPlugin> {
 public:
  // The registration entry point: both channels on the registrar's
  // messenger, a PathMonitorConnectivityProvider on rtnetlink, the plugin.
  static void Register(PluginRegistrar* registrar);
  // The same with monitors from `make_monitor`.
  static void RegisterWith(PluginRegistrar* registrar, PathMonitorFactory make_monitor);

  // A plugin whose provider forwards every update to it.
  static std::shared_ptr<ConnectivityPlusPlugin> Create(
      std::shared_ptr<ConnectivityProvider> provider, std::shared_ptr<Queue> main_queue);

  // Becomes the method channel's call handler and the event channel's
  // stream handler on `messenger`.
  void Install(BinaryMessenger* messenger);

  void HandleMethodCall(const MethodCall& call, std::shared_ptr<MethodResult> result);
  std::optional<FlutterError> OnListen(const Value& arguments,
                                       std::shared_ptr<EventSink> sink) override;
  std::optional<FlutterError> OnCancel(const Value& arguments) override;
  // The engine is going: drops the sink and stops the provider.
  void DetachFromEngine();

  const std::shared_ptr<ConnectivityProvider>& connectivity_provider() const { return provider_; }

  // Use Create.
  ConnectivityPlusPlugin(std::shared_ptr<ConnectivityProvider> provider,
                         std::shared_ptr<Queue> main_queue);

 private:
  // Sends the status to the sink, if any, later on the main queue.
  void Update(const std::vector<ConnectivityType>& types);
  void SetSink(std::shared_ptr<EventSink> sink);

  const std::shared_ptr<ConnectivityProvider> provider_;
  const std::shared_ptr<Queue> main_;
  std::mutex mu_;
  std::shared_ptr<EventSink> sink_;
};

}  // namespace kelvo
