#include "host/socket_tunnel_managers.h"

#include <map>
#include <mutex>

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

// Connections still waiting for the extension's answer. They live here,
// not in their own reply callbacks, so that none outlives the managers.
struct WaitingClients {
  std::mutex mu;
  std::map<EngineSocketClient*, std::shared_ptr<EngineSocketClient>> clients;

  void Add(std::shared_ptr<EngineSocketClient> client) {
    std::lock_guard lock(mu);
    clients.emplace(client.get(), std::move(client));
  }
  std::shared_ptr<EngineSocketClient> Take(EngineSocketClient* client) {
    std::lock_guard lock(mu);
    auto node = clients.extract(client);
    return node ? std::move(node.mapped()) : nullptr;
  }
};

class SocketTunnelSession : public TunnelSession {
 public:
  SocketTunnelSession(std::string control_socket, std::shared_ptr<Queue> io,
                      std::shared_ptr<Queue> main, std::shared_ptr<WaitingClients> waiting)
      : control_socket_(std::move(control_socket)),
        io_(std::move(io)),
        main_(std::move(main)),
        waiting_(std::move(waiting)) {}

  void SendProviderMessage(std::vector<uint8_t> message,
                           std::function<void(ProviderResponse)> done) override {
    io_->Async([path = control_socket_, main = main_, waiting = waiting_,
                message = std::move(message), done = std::move(done)]() mutable {
      auto client = std::make_shared<EngineSocketClient>(main);
      if (auto error = client->Connect(path)) {
        main->Async([done, error] { done({error, std::nullopt}); });
        return;
      }
      EngineSocketClient* raw = client.get();
      waiting->Add(std::move(client));
      raw->Send(kAppMessageOperation, std::move(message),
                [raw, main, weak = std::weak_ptr<WaitingClients>(waiting), done](Payload reply) {
                  done({std::nullopt, std::move(reply)});
                  // Let the connection go from a later item, outside its own callback.
                  main->Async([raw, weak] {
                    if (auto w = weak.lock()) w->Take(raw);
                  });
                });
    });
  }

 private:
  std::string control_socket_;
  std::shared_ptr<Queue> io_;
  std::shared_ptr<Queue> main_;
  std::shared_ptr<WaitingClients> waiting_;
};

class SocketTunnelManagers : public TunnelManagers {
 public:
  SocketTunnelManagers(Dispatch* dispatch, std::function<ProfileLoad()> load_profiles)
      : io_(dispatch->CreateSerialQueue("net.kelvo.app.tunnels")),
        main_(dispatch->MainQueue()),
        load_profiles_(std::move(load_profiles)) {}

  void LoadAll(LoadDone done) override {
    io_->Async([io = io_, main = main_, waiting = waiting_, load = load_profiles_,
                done = std::move(done)] {
      ProfileLoad profiles = load();
      std::vector<TunnelConnection> all;
      if (!profiles.error) {
        for (const TunnelProfile& p : profiles.profiles) {
          all.push_back({QueryStatus(p.control_socket), std::make_shared<SocketTunnelSession>(
                                                            p.control_socket, io, main, waiting)});
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
  std::shared_ptr<WaitingClients> waiting_ = std::make_shared<WaitingClients>();
};

}  // namespace

std::shared_ptr<TunnelManagers> MakeSocketTunnelManagers(
    Dispatch* dispatch, std::function<ProfileLoad()> load_profiles) {
  return std::make_shared<SocketTunnelManagers>(dispatch, std::move(load_profiles));
}

}  // namespace kelvo
