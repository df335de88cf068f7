#include "host/socket_tunnel_managers.h"

#include <map>
#include <mutex>

#include "platform/engine/engine_socket.h"
#include "platform/tunnels/control_socket.h"

namespace kelvo {
namespace {

constexpr const char* kAppMessageOperation = "handleAppMessage";

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
                      std::shared_ptr<Queue> main, std::shared_ptr<WaitingClients> waiting,
                      TunnelLog log)
      : control_socket_(std::move(control_socket)),
        io_(std::move(io)),
        main_(std::move(main)),
        waiting_(std::move(waiting)),
        log_(std::move(log)) {}

  void SendProviderMessage(std::vector<uint8_t> message,
                           std::function<void(ProviderResponse)> done) override {
    io_->Async([path = control_socket_, main = main_, waiting = waiting_, log = log_,
                message = std::move(message), done = std::move(done)]() mutable {
      auto client = std::make_shared<EngineSocketClient>(main);
      if (auto error = client->Connect(path)) {
        std::string why = DescribeControlSocketFailure(path, *error);
        if (log) log("the tunnel refused the host: " + why);
        main->Async([done, why] { done({why, std::nullopt}); });
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
    io_->Async([io = io_, main = main_, waiting = waiting_, load = load_profiles_, log = log_,
                done = std::move(done)] {
      ProfileLoad profiles = load();
      std::vector<TunnelConnection> all;
      if (!profiles.error) {
        for (const TunnelProfile& p : profiles.profiles) {
          all.push_back({QueryTunnelStatus(p.control_socket, kTunnelStatusTimeout),
                         std::make_shared<SocketTunnelSession>(p.control_socket, io, main,
                                                               waiting, log)});
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
  std::shared_ptr<WaitingClients> waiting_ = std::make_shared<WaitingClients>();
};

}  // namespace

std::shared_ptr<TunnelManagers> MakeSocketTunnelManagers(
    Dispatch* dispatch, std::function<ProfileLoad()> load_profiles, TunnelLog log) {
  return std::make_shared<SocketTunnelManagers>(dispatch, std::move(load_profiles),
                                                std::move(log));
}

}  // namespace kelvo
