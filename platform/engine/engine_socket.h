// The engine socket: the binary messenger served over a Unix stream socket,
// so that a user interface in another process (or kelvoctl, or a test) can
// reach the host's channels. Frames are described in frame.h.
//
// Both directions carry messages. Every message is answered by exactly one
// reply with its id; a reply of nothing means no handler on that channel.
// When a connection closes, the reply callbacks of messages still waiting
// on it get nothing, so no caller is left hanging.
//
// Server: listens at a path (mode 0600), serves many connections at once
// and refuses peers of another user (root excepted). A server given a
// SocketAccess with a group (peer_access.h) shares the socket with that
// group instead: the socket gets the group and the mode, and the group's
// members are admitted too. A malformed or
// oversized frame closes only the connection that sent it. The host's own
// messages go to the connection that most recently sent a message on that
// channel, else to the most recently opened connection.
//
// Threading: each server or client runs its socket I/O on a thread of its
// own. Handlers and reply callbacks run on the queue given at construction
// (the main queue, for the host). A handler's reply may be given from any
// thread, once; a reply dropped without being called answers nothing, and
// calls after the first are ignored. Send and SetMessageHandler are safe
// from any thread. The logger is called from any of these threads.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/dispatch.h"
#include "platform/engine/binary_messenger.h"
#include "platform/engine/peer_access.h"

namespace kelvo {

// One line of text, no trailing newline.
using EngineLog = std::function<void(const std::string& line)>;

// $XDG_RUNTIME_DIR/kelvo/engine.sock. When XDG_RUNTIME_DIR is unset, empty
// or not absolute, the per-user runtime directory systemd would have given:
// /run/user/<uid>/kelvo/engine.sock.
std::string DefaultEngineSocketPath();

// The value of "--engine-socket PATH" (or "--engine-socket=PATH") in argv,
// else DefaultEngineSocketPath().
std::string EngineSocketPathFromArgs(int argc, const char* const* argv);

class EngineEndpoint;  // internal: connections and the I/O thread

class EngineSocketServer : public BinaryMessenger {
 public:
  // `main_queue` runs handlers and reply callbacks; `log` may be empty.
  EngineSocketServer(std::string path, std::shared_ptr<Queue> main_queue, EngineLog log);
  // Stops serving (see Stop).
  ~EngineSocketServer() override;
  EngineSocketServer(const EngineSocketServer&) = delete;
  EngineSocketServer& operator=(const EngineSocketServer&) = delete;

  // Before Start: who may connect (default: private, 0600).
  void SetAccess(SocketAccess access);

  // Creates the socket (missing parent directories with the access's
  // directory mode, the socket with its mode and group) and starts serving. A socket file left by a dead server is
  // replaced; a live one is not. Returns the reason on failure. Call once.
  // Start and Stop are called by the owner, not concurrently.
  std::optional<std::string> Start();
  // Closes every connection and the listening socket and removes the
  // socket file (if it is still ours). Replies waiting on a connection get
  // nothing, posted to the main queue. Idempotent.
  void Stop();

  const std::string& path() const { return path_; }
  // Connections open now.
  size_t connection_count() const;

  void Send(const std::string& channel, Payload message, BinaryReply on_reply) override;
  void SetMessageHandler(const std::string& channel, BinaryMessageHandler handler) override;

 private:
  void RemoveSocketFile();

  std::string path_;
  std::shared_ptr<EngineEndpoint> endpoint_;
  SocketAccess access_;
  bool bound_ = false;  // the socket file at path_ is ours
  dev_t bound_dev_ = 0;
  ino_t bound_ino_ = 0;
};

// What a synchronous call gives: the reply (nothing when the server has no
// handler for the channel), or why there is none.
struct EngineCallResult {
  Payload reply;
  std::optional<std::string> error;  // timeout, not connected, disconnected

  bool ok() const { return !error.has_value(); }
};

class EngineSocketClient : public BinaryMessenger {
 public:
  // `queue` runs handlers and reply callbacks. Without one they run on the
  // client's I/O thread (or a thread waiting in SendAndWait) and must not block (a command-line tool that only
  // makes synchronous calls needs no queue).
  explicit EngineSocketClient(std::shared_ptr<Queue> queue = nullptr, EngineLog log = nullptr);
  ~EngineSocketClient() override;
  EngineSocketClient(const EngineSocketClient&) = delete;
  EngineSocketClient& operator=(const EngineSocketClient&) = delete;

  // Connects to the server at `path`. Returns the reason on failure. One
  // connection per client: to reconnect, make a new client.
  std::optional<std::string> Connect(const std::string& path);
  // Closes the connection; replies still awaited get nothing. Idempotent.
  void Close();
  // False before Connect, after Close, and once the server has gone.
  bool connected() const;

  // Sends to the server. `on_reply` gets nothing when not connected.
  void Send(const std::string& channel, Payload message, BinaryReply on_reply) override;
  void SetMessageHandler(const std::string& channel, BinaryMessageHandler handler) override;

  // Sends and blocks until the reply, the connection's end or `timeout`.
  // The caller reads the reply off the socket itself (the I/O thread does
  // not relay it), so this may be called on the queue. Frames for others
  // that it meets are handled as the I/O thread would: without a queue,
  // their handlers and reply callbacks then run on this caller's thread.
  // It must not be called from a handler run on the I/O thread or by a
  // waiting call (it returns an error there instead of deadlocking).
  EngineCallResult SendAndWait(const std::string& channel, Payload message, Duration timeout);

 private:
  std::shared_ptr<EngineEndpoint> endpoint_;
};

}  // namespace kelvo
