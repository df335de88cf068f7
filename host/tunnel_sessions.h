// The host's view of the tunnel provider managers: every tunnel
// configuration of the application with its connection's status and, when
// the connection is a tunnel session, the session that carries provider
// messages to the running extension.
//
// On this system a configuration is a profile file in the App Group
// container (platform/tunnels/tunnel_manager.h); MakeSocketTunnelManagers
// (socket_tunnel_managers.h) is that implementation, FakeTunnelManagers
// (fake_tunnel_managers.h) the one for unit tests.
//
// Threading: LoadAll and SendProviderMessage may be called from any thread;
// their completions run once, on the main queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/engine/binary_messenger.h"
#include "platform/tunnels/tunnel_manager.h"

namespace kelvo {

// What sending a provider message came to: the sending failed (its
// description), or the extension answered (with bytes, or with nothing:
// also when the connection ended before an answer).
struct ProviderResponse {
  std::optional<std::string> send_error;
  Payload response;
};

class TunnelSession {
 public:
  virtual ~TunnelSession() = default;
  // No time limit of its own: `done` runs when the extension answers or
  // the connection ends.
  virtual void SendProviderMessage(std::vector<uint8_t> message,
                                   std::function<void(ProviderResponse)> done) = 0;
};

struct TunnelConnection {
  TunnelStatus status = TunnelStatus::kInvalid;
  std::shared_ptr<TunnelSession> session;  // null: the connection is not a tunnel session
};

class TunnelManagers {
 public:
  virtual ~TunnelManagers() = default;
  using LoadDone =
      std::function<void(std::vector<TunnelConnection>, std::optional<std::string> error)>;
  // Loads every configuration afresh, in the platform's order.
  virtual void LoadAll(LoadDone done) = 0;
};

// The walk over loaded configurations: the first one that is connecting,
// connected or reasserting, if its connection is a tunnel session; else
// the first tunnel session of all, whatever its status; else none.
std::shared_ptr<TunnelSession> ChooseTunnelSession(const std::vector<TunnelConnection>& all);

// Loads and walks: `done` gets the session, or none with the load error
// (if any). Runs `done` on the main queue.
using SessionDone =
    std::function<void(std::shared_ptr<TunnelSession>, std::optional<std::string> load_error)>;
void FindActiveTunnelSession(TunnelManagers& managers, SessionDone done);

}  // namespace kelvo
