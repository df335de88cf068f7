// Internal to the engine socket (see engine_socket.h): the open connections
// of one server or client, the messages awaiting replies, the channel
// handlers, and the I/O thread that moves frames.
//
// Ownership: held by a shared_ptr. The I/O thread and the replies handed to
// handlers keep it alive (or hold it weakly); its owner calls Stop().
//
// Threading: every method is thread-safe. Sockets are closed only by the
// I/O thread (or by Stop once that thread has ended), so a socket found in
// the table under the lock stays open while the lock is held; writes are
// made under the lock from whichever thread has something to send, and the
// I/O thread takes over when the socket would block. Reading a connection
// is one thread's at a time (its reader token): the I/O thread's, or a
// caller's waiting in Call, which reads its reply itself rather than being
// woken by the I/O thread; frames for others met on the way are handled
// as the I/O thread would. While calls wait on a connection (and briefly
// after) the I/O thread does not poll it for reading, so it is not woken
// by every reply.
//
// A server whose queue watches descriptors (Queue::readiness, the main
// queue of AsioDispatch) leaves reading its connections to that queue: a
// message wakes the queue's thread directly, its handler runs right there
// and its reply is written there too, one hand-off in all. The I/O thread
// then only drains what the sockets would not take, and closes; the queue
// accepts too, so that a connection made before another's message is known
// when that message is handled, as with one thread doing both.
// The queue's reader holds the token only while reading, never while
// handlers run, so a handler may stop the server.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/engine/binary_messenger.h"
#include "platform/engine/engine_socket.h"
#include "platform/engine/frame.h"

namespace kelvo {

// How a message sent through an endpoint ended.
enum class ReplyStatus {
  kAnswered,          // the peer replied (possibly with nothing)
  kNotConnected,      // no connection to send it on
  kConnectionClosed,  // the connection ended first
  kTooLarge,          // the frame would exceed the size limit; not sent
};

class EngineEndpoint : public std::enable_shared_from_this<EngineEndpoint> {
 public:
  enum class Role { kServer, kClient };
  using ReplyCallback = std::function<void(Payload reply, ReplyStatus status)>;

  // `queue` runs handlers and reply callbacks; null runs them on the I/O
  // thread (or, for a send that fails at once, on the sender's thread).
  EngineEndpoint(Role role, std::shared_ptr<Queue> queue, EngineLog log);
  ~EngineEndpoint();
  EngineEndpoint(const EngineEndpoint&) = delete;
  EngineEndpoint& operator=(const EngineEndpoint&) = delete;

  // Starts the I/O thread with a listening socket (server; may be -1 for
  // none) and an optional first connection (client). Takes both sockets.
  // Connections may be blocking sockets: every read and write passes
  // MSG_DONTWAIT except a waiting Call's, which then sleeps in recv.
  // Returns the reason on failure.
  std::optional<std::string> Start(int listen_fd, int connection_fd);
  // A server also admits peers in this group (see peer_access.h). Call
  // before Start.
  void SetAdmittedGroup(std::optional<gid_t> group) { admitted_group_ = group; }
  // Ends the I/O thread and closes every socket; replies still awaited get
  // kConnectionClosed. Called on the I/O thread itself (from a handler), it
  // only asks the thread to end. Idempotent.
  void Stop();

  // `inline_callback`: run `on_reply` on the thread that read the reply even
  // when there is a queue (synchronous waits use it). Returns the connection
  // it went to, 0 when it was not sent.
  uint64_t Send(const std::string& channel, Payload message, ReplyCallback on_reply,
                bool inline_callback);

  // What Call hands back.
  struct CallReply {
    Payload reply;
    ReplyStatus status = ReplyStatus::kAnswered;
  };
  // Sends and waits for the reply, reading the connection on this thread
  // whenever no other thread is. Nothing when `timeout` passed first.
  // Not on the I/O thread, nor from a handler run by a waiting Call
  // (ReadsOnThisThread).
  std::optional<CallReply> Call(const std::string& channel, Payload message, Duration timeout);
  bool ReadsOnThisThread() const;
  void SetMessageHandler(const std::string& channel, BinaryMessageHandler handler);
  // Sends the reply to message `id` that arrived on `channel` through
  // connection `conn`; dropped when that connection has closed.
  void SendReply(uint64_t conn, int64_t id, const std::string& channel, Payload reply);

  size_t connection_count() const;
  bool running() const;
  bool OnIoThread() const;
  void Log(const std::string& line) const;

 private:
  struct Connection {
    uint64_t id = 0;
    int fd = -1;
    FrameReader reader;            // the reader token's holder only
    std::vector<uint8_t> out;      // guarded by mu_
    size_t out_offset = 0;         // guarded by mu_
    std::string broken;            // guarded by mu_; why it must close
    bool reading = false;          // guarded by mu_; a thread holds the reader token
    bool call_reading = false;     // guarded by mu_; that thread is a waiting Call
    bool queue_reading = false;    // guarded by mu_; that thread is the queue's
    ReadinessWatcher::WatchId watch = 0;  // the queue reads it (server with readiness_)
    // A blocking socket: a waiting Call sleeps in recv itself (bounded by
    // SO_RCVTIMEO, last set to recv_timeout) rather than in poll first.
    bool blocking = false;
    std::chrono::microseconds recv_timeout{0};  // the reader token's holder only
    int calls = 0;                 // guarded by mu_; Calls waiting on it
    std::chrono::steady_clock::time_point last_call_end{};  // guarded by mu_
  };
  struct Pending {
    uint64_t conn = 0;
    ReplyCallback callback;
    bool inline_callback = false;
  };

  void Run();
  void Wake();
  void AcceptAll();
  void ReadFrom(uint64_t conn_id, std::vector<uint8_t>& buffer);
  // Reads what the socket has (up to a turn's worth) and handles the
  // frames, or appends them to `*collected` when given; the token must be
  // held. Why the connection must close, or empty.
  // `wait`: the first read may block (a blocking socket only).
  std::string ReadTurn(Connection& c, std::vector<uint8_t>& buffer,
                       std::vector<Frame>* collected = nullptr, bool wait = false);
  // On the queue, when the connection is readable: reads a turn, gives the
  // token back, then runs the handlers and reply callbacks right there.
  void ReadOnQueue(uint64_t conn_id);
  // Reads as Call's token holder until `done`, the deadline or the end of
  // the connection (returned as the reason).
  std::string ReadUntil(Connection& c, const std::atomic<bool>& done,
                        std::chrono::steady_clock::time_point deadline);
  // Handles frames read from a connection (`on_queue`: on the queue, so
  // nothing is handed to it); why it must close, or empty.
  std::string HandleFrames(uint64_t conn_id, std::vector<Frame>& frames, bool on_queue = false);
  // Marks the connection to be closed by the I/O thread; under the lock.
  void BreakLocked(Connection& c, std::string reason);
  // Waits (on reader_cv_) until no Call or queue reads the connection,
  // after making a Call's read end; under the lock.
  void ReclaimReaderLocked(std::unique_lock<std::mutex>& lock, Connection& c);
  void DispatchMessage(uint64_t conn_id, int64_t id, const std::string& channel, Payload data);
  void Close(uint64_t conn_id, std::string reason);
  void CloseAll();
  void Deliver(Pending pending, Payload reply, ReplyStatus status);
  // Queues `bytes` on the connection and writes what the socket takes.
  void EnqueueLocked(Connection& c, std::vector<uint8_t> bytes);
  void FlushLocked(Connection& c);
  Connection* AddConnectionLocked(int fd);
  Connection* FindLocked(uint64_t conn_id);

  const Role role_;
  const std::shared_ptr<Queue> queue_;
  const EngineLog log_;
  // The queue's descriptor watching, when a server's queue has it.
  ReadinessWatcher* const readiness_;
  int wake_fd_ = -1;
  std::optional<gid_t> admitted_group_;  // set before the I/O thread starts

  mutable std::mutex mu_;
  std::condition_variable reader_cv_;  // a reader token or a Call's reply changed
  bool started_ = false;
  bool stopping_ = false;
  int listen_fd_ = -1;
  ReadinessWatcher::WatchId listen_watch_ = 0;  // guarded by mu_; the queue accepts
  std::map<uint64_t, std::unique_ptr<Connection>> connections_;  // by opening order
  std::unordered_map<int64_t, Pending> pending_;
  std::unordered_map<std::string, uint64_t> last_sender_;  // channel -> connection
  std::unordered_map<std::string, BinaryMessageHandler> handlers_;
  uint64_t next_connection_ = 1;
  std::atomic<int64_t> next_message_{1};
  std::mutex join_mu_;  // taken alone, never with mu_
  std::thread thread_;
  // Guarded by mu_: accepting waits after running out of descriptors.
  std::chrono::steady_clock::time_point accept_paused_until_{};
  std::atomic<std::thread::id> io_thread_id_{};
};

}  // namespace kelvo
