#include "host/socket_tunnel_managers.h"

#include <future>
#include <map>
#include <optional>

#include "platform/engine/engine_socket.h"
#include "platform/engine/standard_codec.h"

namespace kelvo {
namespace {

constexpr const char* kStatusOperation = "status";
constexpr const char* kAppMessageOperation = "handleAppMessage";

TunnelStatus QueryStatus(const std::string& control_socket) {
  EngineSocketClient client;
  if (client.Connect(control_socket)) return TunnelStatus::kDisconnected;
  EngineCallResult call = client.SendAndWait(kStatusOperation, std::nullopt, kTunnelStatusTimeout);
  if (!call.ok() || !call.reply) return TunnelStatus::kDisconnected;
  Result<Value> value = StandardCodec::Instance().Decode(*call.reply);
  if (!value.ok() || !value.value().is_int()) return TunnelStatus::kInvalid;
  int64_t status = value.value().as_int();
  if (status < 0 || status > static_cast<int64_t>(TunnelStatus::kDisconnecting)) {
    return TunnelStatus::kInvalid;
  }
  return static_cast<TunnelStatus>(status);
}

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
                      std::shared_ptr<ProfileConnections> connections)
      : control_socket_(std::move(control_socket)),
        io_(std::move(io)),
        main_(std::move(main)),
        connections_(std::move(connections)) {}

  void SendProviderMessage(std::vector<uint8_t> message,
                           std::function<void(ProviderResponse)> done) override {
    io_->Async([path = control_socket_, main = main_, connections = connections_,
                message = std::move(message), done = std::move(done)]() mutable {
      std::optional<std::string> error;
      std::shared_ptr<EngineSocketClient> client = connections->For(path, main, &error);
      if (!client) {
        main->Async([done, error] { done({error, std::nullopt}); });
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
};

class SocketTunnelManagers : public TunnelManagers {
 public:
  SocketTunnelManagers(Dispatch* dispatch, std::function<ProfileLoad()> load_profiles)
      : io_(dispatch->CreateSerialQueue("net.kelvo.app.tunnels")),
        main_(dispatch->MainQueue()),
        load_profiles_(std::move(load_profiles)) {}

  void LoadAll(LoadDone done) override {
    io_->Async([io = io_, main = main_, connections = connections_, load = load_profiles_,
                done = std::move(done)] {
      ProfileLoad profiles = load();
      std::vector<TunnelConnection> all;
      if (!profiles.error) {
        // Asked all at once: several silent profiles cost one timeout, not one each.
        std::vector<std::future<TunnelStatus>> statuses;
        for (const TunnelProfile& p : profiles.profiles) {
          statuses.push_back(std::async(std::launch::async, QueryStatus, p.control_socket));
        }
        for (size_t i = 0; i < profiles.profiles.size(); ++i) {
          all.push_back({statuses[i].get(),
                         std::make_shared<SocketTunnelSession>(profiles.profiles[i].control_socket,
                                                               io, main, connections)});
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
  std::shared_ptr<ProfileConnections> connections_ = std::make_shared<ProfileConnections>();
};

}  // namespace

std::shared_ptr<TunnelManagers> MakeSocketTunnelManagers(
    Dispatch* dispatch, std::function<ProfileLoad()> load_profiles) {
  return std::make_shared<SocketTunnelManagers>(dispatch, std::move(load_profiles));
}

}  // namespace kelvo
