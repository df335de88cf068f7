// The tunnel control socket of kelvo-tun: stands in for the platform's
// network extension framework. It owns nothing of the tunnel; it turns each
// request into the provider's override and the override's completion into
// the reply (see platform/tunnels/tunnel_manager.h for the protocol), and
// reports the connection status the platform would, from the provider's
// own lifecycle phase.
// Threading: requests arrive on the main queue; completions and replies
// may come from any thread.
#pragma once

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
  // Stops a running or starting tunnel as "stopTunnel" would; `done` runs,
  // on any thread, when the stop completed, or as soon as the provider is
  // found stopped.
  void StopForExit(std::function<void()> done);

 private:
  std::shared_ptr<PacketTunnelProvider> provider_;
  BinaryMessenger* messenger_;
  std::shared_ptr<Hooks> hooks_ = std::make_shared<Hooks>();
};

}  // namespace kelvo
