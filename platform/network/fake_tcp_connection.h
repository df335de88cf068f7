// Scripted TCP connections for unit tests: no sockets.
//
// A fake connection follows the rules of tcp_connection.h. Start delivers
// preparing and then the connector's script (each state in order on the
// connection's queue); afterwards the test may Report more states. An empty
// script leaves the connection preparing, as a host that never answers
// would.
//
// Threading: every method is thread-safe.
#pragma once

#include <mutex>
#include <vector>

#include "platform/network/tcp_connection.h"

namespace kelvo {

class TcpStateReporter;

class FakeTcpConnection : public TcpConnection {
 public:
  FakeTcpConnection(std::string host, uint16_t port, std::vector<TcpConnectionState> script);
  ~FakeTcpConnection() override;

  void SetStateHandler(StateHandler handler) override;
  void Start(std::shared_ptr<Queue> queue) override;
  void Cancel() override;

  const std::string& host() const { return host_; }
  uint16_t port() const { return port_; }
  bool started() const;
  bool cancelled() const;
  // Delivers `state` on the connection's queue. False, and nothing
  // delivered, before Start or after Cancel.
  bool Report(TcpConnectionState state);

 private:
  const std::string host_;
  const uint16_t port_;
  const std::vector<TcpConnectionState> script_;
  const std::shared_ptr<TcpStateReporter> reporter_;
  mutable std::mutex mu_;
  bool started_ = false;
  bool cancelled_ = false;
};

class FakeTcpConnector : public TcpConnector {
 public:
  // The states every connection created from now on reports after
  // preparing, e.g. {{TcpState::kFailed, ECONNREFUSED}}.
  void SetScript(std::vector<TcpConnectionState> script);

  std::shared_ptr<TcpConnection> Create(const std::string& host, uint16_t port) override;

  // Every connection created so far, oldest first.
  std::vector<std::shared_ptr<FakeTcpConnection>> connections() const;

 private:
  mutable std::mutex mu_;
  std::vector<TcpConnectionState> script_;
  std::vector<std::shared_ptr<FakeTcpConnection>> connections_;
};

}  // namespace kelvo
