// The tunnel control socket of kelvo-tun: stands in for the platform's
// network extension framework. It owns nothing of the tunnel; it turns each
// request into the provider's override and the override's completion into
// the reply (see platform/tunnels/tunnel_manager.h for the protocol), and
// keeps the connection status the platform would report.
// Threading: requests arrive on the main queue; completions may come from
// any thread, and the status is atomic.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "platform/engine/binary_messenger.h"
#include "platform/tunnels/tunnel_manager.h"
#include "tunnel/packet_tunnel_provider.h"

namespace kelvo {

class ControlServer {
 public:
  ControlServer(std::shared_ptr<PacketTunnelProvider> provider, BinaryMessenger* messenger);

  // Told of every successful start (with its configuration text) and of
  // every stop asked for on the socket; both may run on any thread.
  struct Hooks {
    std::function<void(const std::string& configuration)> started;
    std::function<void()> stop_requested;
  };
  // Before Install.
  void SetHooks(Hooks hooks) { hooks_ = std::make_shared<Hooks>(std::move(hooks)); }

  // Installs one handler per operation on the messenger.
  void Install();
  TunnelStatus status() const { return status_.load(); }
  // Stops a running tunnel as "stopTunnel" would; `done` runs when the stop
  // completed (at once when nothing runs).
  void StopForExit(std::function<void()> done);

 private:
  std::shared_ptr<PacketTunnelProvider> provider_;
  BinaryMessenger* messenger_;
  std::shared_ptr<std::atomic<TunnelStatus>> status_shared_;
  std::atomic<TunnelStatus>& status_;
  std::shared_ptr<Hooks> hooks_ = std::make_shared<Hooks>();
};

}  // namespace kelvo
