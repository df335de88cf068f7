// Outgoing TCP connections that report their state, in the manner of the
// platform's network connections. The watchdog's probe uses them only to
// learn whether a host answers; no data is sent.
//
// States, delivered to the state handler on the queue given to Start:
//   setup      created, not started (never delivered)
//   preparing  Start was called; resolving and connecting
//   waiting    no usable path for now (network or host unreachable, name
//              lookup temporarily failing); carries the error. The
//              connection stays in this state: no retry, the caller's own
//              timeout decides
//   ready      connected
//   failed     ended with the error (ECONNREFUSED when the host answered
//              with a refusal)
//   cancelled  after Cancel; always the last state
// Errors are POSIX errno values (ECONNREFUSED, ENETUNREACH, ...).
//
// Contract:
// - Start once; later calls do nothing. The handler must be set before.
// - Cancel may be called at any time, repeatedly; cancelled is delivered
//   once. Called on the connection's queue, no state other than cancelled
//   reaches the handler after Cancel returns, even one already posted. From
//   another thread, a delivery already running may finish.
// - Cancel before Start: Start then delivers only cancelled.
// - Once ready, the connection is not watched any further; it holds its
//   socket until cancelled or destroyed.
// - Destroying the last reference without Cancel closes the socket and
//   delivers nothing more.
//
// Ownership: the handler is released once cancelled has been delivered, so a
// handler may hold the connection itself (cancel it to break the cycle).
// Threading: every method is thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/dispatch.h"
#include "platform/network/socket_mark.h"

namespace kelvo {

enum class TcpState { kSetup, kPreparing, kWaiting, kReady, kFailed, kCancelled };

struct TcpConnectionState {
  TcpState state = TcpState::kSetup;
  int error = 0;  // errno for kWaiting and kFailed, else 0

  bool operator==(const TcpConnectionState&) const = default;
};

// "ready", "failed(ECONNREFUSED)", ...: for logs and test messages.
std::string ToString(const TcpConnectionState& state);

class TcpConnection {
 public:
  using StateHandler = std::function<void(TcpConnectionState)>;

  virtual ~TcpConnection() = default;
  virtual void SetStateHandler(StateHandler handler) = 0;
  virtual void Start(std::shared_ptr<Queue> queue) = 0;
  virtual void Cancel() = 0;
};

class TcpConnector {
 public:
  virtual ~TcpConnector() = default;
  // A connection in state setup; nothing happens until Start.
  virtual std::shared_ptr<TcpConnection> Create(const std::string& host, uint16_t port) = 0;
};

// Real sockets (posix_tcp_connection.cc). Numeric IPv4/IPv6 addresses are
// used as they are; other names are looked up with getaddrinfo on the
// connection's own thread, and the addresses are tried in order. With a
// `mark`, each socket carries its value at the time (a failure to set it
// fails the connection with that errno).
std::shared_ptr<TcpConnector> CreatePosixTcpConnector(
    std::shared_ptr<const SocketMark> mark = nullptr);

}  // namespace kelvo
