#include "host/socket_tunnel_managers.h"

#include <future>
#include <map>
#include <optional>

#include "platform/engine/engine_socket.h"
#include "platform/tunnels/control_socket.h"

namespace kelvo {
namespace {

constexpr const char* kAppMessageOperation = "handleAppMessage";

// One connection per control socket, shared by every provider message to
// that profile (a message waiting for its answer no longer holds a thread
// and two descriptors of its own). A connection the extension closed is
// replaced at the next message. Used on the managers' queue only; the
// connections live here, not in their reply callbacks, so that none
// outlives the managers.
struct ProfileConnections {
  std::map<std::string, std::shared_ptr<EngineSocketClient>> clients;

  // The live connection to `path`, opened when needed; null with `*error`
  // set when it cannot be opened.
  std::shared_ptr<EngineSocketClient> For(const std::string& path, std::shared_ptr<Queue> main,
                                          std::optional<std::string>* error) {
    std::shared_ptr<EngineSocketClient>& slot = clients[path];
    if (slot && slot->connected()) return slot;
    auto client = std::make_shared<EngineSocketClient>(std::move(main));
    if ((*error = client->Connect(path))) {
      clients.erase(path);
      return nullptr;
    }
    // The old one (closed by its peer) ends here, off its own callbacks.
    slot = std::move(client);
    return slot;
  }
};

class SocketTunnelSession : public TunnelSession {
 public:
  SocketTunnelSession(std::string control_socket, std::shared_ptr<Queue> io,
                      std::shared_ptr<Queue> main,
                      std::shared_ptr<ProfileConnections> connections, TunnelLog log)
      : control_socket_(std::move(control_socket)),
        io_(std::move(io)),
        main_(std::move(main)),
        connections_(std::move(connections)),
        log_(std::move(log)) {}

  void SendProviderMessage(std::vector<uint8_t> message,
                           std::function<void(ProviderResponse)> done) override {
    io_->Async([path = control_socket_, main = main_, connections = connections_, log = log_,
                message = std::move(message), done = std::move(done)]() mutable {
      std::optional<std::string> error;
      std::shared_ptr<EngineSocketClient> client = connections->For(path, main, &error);
      if (!client) {
        std::string why = DescribeControlSocketFailure(path, *error);
        if (log) log("the tunnel refused the host: " + why);
        main->Async([done, why] { done({why, std::nullopt}); });
        return;
      }
      client->Send(kAppMessageOperation, std::move(message),
                   [done](Payload reply) { done({std::nullopt, std::move(reply)}); });
    });
  }

 private:
  std::string control_socket_;
  std::shared_ptr<Queue> io_;
  std::shared_ptr<Queue> main_;
  std::shared_ptr<ProfileConnections> connections_;
  TunnelLog log_;
};

class SocketTunnelManagers : public TunnelManagers {
 public:
  SocketTunnelManagers(Dispatch* dispatch, std::function<ProfileLoad()> load_profiles,
                       TunnelLog log)
      : io_(dispatch->CreateSerialQueue("net.kelvo.app.tunnels")),
        main_(dispatch->MainQueue()),
        load_profiles_(std::move(load_profiles)),
        log_(std::move(log)) {}

  void LoadAll(LoadDone done) override {
    io_->Async([io = io_, main = main_, connections = connections_, load = load_profiles_,
                log = log_,
                done = std::move(done)] {
      ProfileLoad profiles = load();
      std::vector<TunnelConnection> all;
      if (!profiles.error) {
        // Asked all at once: several silent profiles cost one timeout, not one each.
        std::vector<std::future<TunnelStatus>> statuses;
        for (const TunnelProfile& p : profiles.profiles) {
          statuses.push_back(std::async(std::launch::async, [path = p.control_socket] {
            return QueryTunnelStatus(path, kTunnelStatusTimeout);
          }));
        }
        for (size_t i = 0; i < profiles.profiles.size(); ++i) {
          all.push_back({statuses[i].get(),
                         std::make_shared<SocketTunnelSession>(profiles.profiles[i].control_socket,
                                                               io, main, connections, log)});
        }
      }
      main->Async([done, all = std::move(all), error = std::move(profiles.error)]() mutable {
        done(std::move(all), std::move(error));
      });
    });
  }

 private:
  std::shared_ptr<Queue> io_;
  std::shared_ptr<Queue> main_;
  std::function<ProfileLoad()> load_profiles_;
  TunnelLog log_;
  std::shared_ptr<ProfileConnections> connections_ = std::make_shared<ProfileConnections>();
};

}  // namespace

std::shared_ptr<TunnelManagers> MakeSocketTunnelManagers(
    Dispatch* dispatch, std::function<ProfileLoad()> load_profiles, TunnelLog log) {
  return std::make_shared<SocketTunnelManagers>(dispatch, std::move(load_profiles),
                                                std::move(log));
}

}  // namespace kelvo
