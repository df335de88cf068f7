// Tunnel managers and sessions for unit tests. Completions are posted to
// the queue given at creation (the test's main queue), as the real ones.
// Threading: all methods are thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "host/tunnel_sessions.h"
#include "platform/dispatch/dispatch.h"

namespace kelvo {

class FakeTunnelSession : public TunnelSession {
 public:
  explicit FakeTunnelSession(std::shared_ptr<Queue> main);
  void SendProviderMessage(std::vector<uint8_t> message,
                           std::function<void(ProviderResponse)> done) override;

  // What every later message gets (default: no answer data).
  void set_response(ProviderResponse response);
  std::vector<std::vector<uint8_t>> messages() const;

 private:
  std::shared_ptr<Queue> main_;
  mutable std::mutex mu_;
  ProviderResponse response_;
  std::vector<std::vector<uint8_t>> messages_;
};

class FakeTunnelManagers : public TunnelManagers {
 public:
  explicit FakeTunnelManagers(std::shared_ptr<Queue> main);
  void LoadAll(LoadDone done) override;

  void set_connections(std::vector<TunnelConnection> connections);
  void set_load_error(std::optional<std::string> error);
  int loads() const;

 private:
  std::shared_ptr<Queue> main_;
  mutable std::mutex mu_;
  std::vector<TunnelConnection> connections_;
  std::optional<std::string> error_;
  int loads_ = 0;
};

}  // namespace kelvo
