// Internal to the network layer: hands a connection's states to its handler
// on its queue and enforces the rules of tcp_connection.h (nothing but
// cancelled after Cancel, cancelled once, handler released at the end).
// Shared by the real and the fake connection.
//
// Threading: every method is thread-safe.
#pragma once

#include <memory>
#include <mutex>

#include "platform/network/tcp_connection.h"

namespace kelvo {

class TcpStateReporter : public std::enable_shared_from_this<TcpStateReporter> {
 public:
  void SetHandler(TcpConnection::StateHandler handler);
  // Posts preparing, or only cancelled when Cancel came first. False when
  // already started or cancelled: the caller then starts no work.
  bool Start(std::shared_ptr<Queue> queue);
  // Posts `state` unless cancelled or detached; false then (stop working).
  bool Report(TcpConnectionState state);
  // Posts cancelled (once; at Start when not started yet). False when it
  // was cancelled or detached already.
  bool Cancel();
  // The connection is gone: nothing more is delivered, not even what is
  // already posted.
  void Detach();
  bool done() const;

 private:
  void Post(TcpConnectionState state);
  void Deliver(TcpConnectionState state);

  mutable std::mutex mu_;
  TcpConnection::StateHandler handler_;
  std::shared_ptr<Queue> queue_;
  bool started_ = false;
  bool cancelled_ = false;
  bool detached_ = false;
};

}  // namespace kelvo
