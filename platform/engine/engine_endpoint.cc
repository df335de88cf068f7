#include "platform/engine/engine_endpoint.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>

#include "platform/engine/peer_access.h"

namespace kelvo {

namespace {

// Bytes read per recv call, and calls per readiness before other
// connections get their turn.
constexpr size_t kReadChunk = 64 * 1024;
constexpr int kReadsPerTurn = 16;
// A peer that lets this much pile up unread is dropped rather than let it
// grow the host without bound (four maximum-size frames).
constexpr size_t kMaxQueuedOut = 4 * (kMaxFrameBody + 64);
// Buffers larger than this are released once empty.
constexpr size_t kKeptCapacity = size_t{1} << 20;
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// How long after a waiting call the I/O thread still leaves the connection
// to calls: messages the peer sends unasked in that moment wait at most
// this long when no call reads them.
constexpr auto kCallLinger = std::chrono::milliseconds(10);
// The longest a waiting Call sleeps in recv before looking at its deadline
// again (the kernel takes longer timeouts as none at all).
constexpr auto kLongestRecvWait = std::chrono::microseconds(std::chrono::hours(1));

std::string ErrnoText(int err) { return std::strerror(err); }

// The endpoint whose connection this thread reads as a waiting Call.
thread_local const EngineEndpoint* t_call_reader = nullptr;

// The read buffer of a thread that reads for Call or for the queue, kept
// for the thread's life.
std::vector<uint8_t>& ThreadReadBuffer() {
  thread_local std::vector<uint8_t> buffer;
  if (buffer.size() != kReadChunk) buffer.resize(kReadChunk);
  return buffer;
}

// The reply handed to a handler: answers once; dropped unanswered, it
// answers nothing so the peer is never left waiting.
class ReplyOnce {
 public:
  ReplyOnce(std::weak_ptr<EngineEndpoint> endpoint, uint64_t conn, int64_t id, std::string channel)
      : endpoint_(std::move(endpoint)), conn_(conn), id_(id), channel_(std::move(channel)) {}
  ~ReplyOnce() { Answer(std::nullopt); }
  ReplyOnce(const ReplyOnce&) = delete;
  ReplyOnce& operator=(const ReplyOnce&) = delete;

  void Answer(Payload reply) {
    if (answered_.exchange(true)) return;
    auto endpoint = endpoint_.lock();
    if (endpoint) endpoint->SendReply(conn_, id_, channel_, std::move(reply));
  }

 private:
  std::weak_ptr<EngineEndpoint> endpoint_;
  uint64_t conn_;
  int64_t id_;
  std::string channel_;
  std::atomic<bool> answered_{false};
};

}  // namespace

EngineEndpoint::EngineEndpoint(Role role, std::shared_ptr<Queue> queue, EngineLog log)
    : role_(role),
      queue_(std::move(queue)),
      log_(std::move(log)),
      readiness_(role == Role::kServer && queue_ ? queue_->readiness() : nullptr) {
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

EngineEndpoint::~EngineEndpoint() {
  Stop();
  {
    std::lock_guard join_lock(join_mu_);
    if (thread_.joinable()) {
      // Only when the last owner let go from a handler on the I/O thread,
      // which is now finishing.
      if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
      } else {
        thread_.join();
      }
    }
  }
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

std::optional<std::string> EngineEndpoint::Start(int listen_fd, int connection_fd) {
  auto refuse = [&](std::string why) {
    if (listen_fd >= 0) ::close(listen_fd);
    if (connection_fd >= 0) ::close(connection_fd);
    return std::optional<std::string>(std::move(why));
  };
  if (wake_fd_ < 0) return refuse("cannot create the wake-up descriptor");
  {
    std::lock_guard lock(mu_);
    if (started_ || stopping_) return refuse("the engine socket was already started");
    started_ = true;
    listen_fd_ = listen_fd;
    // Accepting where the reading is, so that a connection made before
    // another's message is known when that message is handled.
    if (readiness_ != nullptr && listen_fd >= 0) {
      listen_watch_ = readiness_->WatchReadable(listen_fd, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->AcceptAll();
      });
    }
    if (connection_fd >= 0) AddConnectionLocked(connection_fd);
  }
  std::lock_guard join_lock(join_mu_);
  try {
    thread_ = std::thread([self = shared_from_this()] { self->Run(); });
  } catch (const std::system_error& e) {
    CloseAll();
    return std::string("cannot start the engine socket thread: ") + e.what();
  }
  io_thread_id_ = thread_.get_id();
  return std::nullopt;
}

void EngineEndpoint::Stop() {
  bool had_thread = false;
  {
    std::lock_guard lock(mu_);
    had_thread = started_;
    stopping_ = true;
  }
  if (!had_thread) {
    CloseAll();
    return;
  }
  Wake();
  if (OnIoThread()) return;  // the loop ends once the handler returns
  std::lock_guard join_lock(join_mu_);
  if (thread_.joinable()) thread_.join();
}

void EngineEndpoint::Wake() {
  uint64_t one = 1;
  // Fails only if the counter is saturated, which still wakes the loop.
  [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

bool EngineEndpoint::OnIoThread() const {
  return io_thread_id_.load() == std::this_thread::get_id();
}

void EngineEndpoint::Log(const std::string& line) const {
  if (log_) log_("engine socket: " + line);
}

size_t EngineEndpoint::connection_count() const {
  std::lock_guard lock(mu_);
  return connections_.size();
}

bool EngineEndpoint::running() const {
  std::lock_guard lock(mu_);
  return started_ && !stopping_ && (role_ == Role::kServer || !connections_.empty());
}

void EngineEndpoint::SetMessageHandler(const std::string& channel, BinaryMessageHandler handler) {
  BinaryMessageHandler old;  // destroyed outside the lock
  std::lock_guard lock(mu_);
  auto it = handlers_.find(channel);
  if (it != handlers_.end()) {
    old = std::move(it->second);
    handlers_.erase(it);
  }
  if (handler) handlers_.emplace(channel, std::move(handler));
}

EngineEndpoint::Connection* EngineEndpoint::AddConnectionLocked(int fd) {
  auto c = std::make_unique<Connection>();
  c->id = next_connection_++;
  c->fd = fd;
  const int flags = ::fcntl(fd, F_GETFL);
  c->blocking = flags >= 0 && (flags & O_NONBLOCK) == 0;
  if (readiness_ != nullptr) {
    c->watch = readiness_->WatchReadable(
        fd, [weak = weak_from_this(), id = c->id] {
          if (auto self = weak.lock()) self->ReadOnQueue(id);
        });
  }
  Connection* raw = c.get();
  connections_.emplace(raw->id, std::move(c));
  return raw;
}

EngineEndpoint::Connection* EngineEndpoint::FindLocked(uint64_t conn_id) {
  auto it = connections_.find(conn_id);
  return it == connections_.end() ? nullptr : it->second.get();
}

uint64_t EngineEndpoint::Send(const std::string& channel, Payload message,
                              ReplyCallback on_reply, bool inline_callback) {
  Pending pending{0, std::move(on_reply), inline_callback};
  int64_t id = next_message_.fetch_add(1);
  std::vector<uint8_t> bytes =
      EncodeFrame(Frame{FrameKind::kMessage, id, channel, std::move(message)});
  if (!EncodedFrameFits(bytes)) {
    Log("message on '" + channel + "' is too large (" + std::to_string(bytes.size()) +
        " bytes); not sent");
    Deliver(std::move(pending), std::nullopt, ReplyStatus::kTooLarge);
    return 0;
  }
  std::unique_lock lock(mu_);
  Connection* target = nullptr;
  if (!stopping_) {
    if (role_ == Role::kServer) {
      auto it = last_sender_.find(channel);
      if (it != last_sender_.end()) target = FindLocked(it->second);
    }
    // Else the most recently opened connection still usable.
    for (auto it = connections_.rbegin(); target == nullptr && it != connections_.rend(); ++it) {
      if (it->second->broken.empty()) target = it->second.get();
    }
  }
  if (target == nullptr) {
    lock.unlock();
    Deliver(std::move(pending), std::nullopt, ReplyStatus::kNotConnected);
    return 0;
  }
  pending.conn = target->id;
  pending_.emplace(id, std::move(pending));
  EnqueueLocked(*target, std::move(bytes));
  return target->id;
}

bool EngineEndpoint::ReadsOnThisThread() const { return t_call_reader == this; }

std::optional<EngineEndpoint::CallReply> EngineEndpoint::Call(const std::string& channel,
                                                              Payload message,
                                                              Duration timeout) {
  struct Slot {
    std::atomic<bool> done{false};
    CallReply result;  // guarded by mu_
  };
  auto slot = std::make_shared<Slot>();
  std::weak_ptr<EngineEndpoint> weak = weak_from_this();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  uint64_t conn = Send(
      channel, std::move(message),
      [weak, slot](Payload reply, ReplyStatus status) {
        auto self = weak.lock();
        if (!self) return;
        {
          std::lock_guard lock(self->mu_);
          slot->result = {std::move(reply), status};
          slot->done.store(true, std::memory_order_release);
        }
        self->reader_cv_.notify_all();
      },
      true);
  std::unique_lock lock(mu_);
  if (Connection* c = FindLocked(conn)) ++c->calls;
  // Ids are never reused: a connection found by it is the one counted.
  auto uncount = [&] {
    if (Connection* c = FindLocked(conn); c != nullptr && --c->calls == 0) {
      c->last_call_end = std::chrono::steady_clock::now();
    }
  };
  while (!slot->done.load(std::memory_order_acquire)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      uncount();
      return std::nullopt;
    }
    Connection* c = FindLocked(conn);
    if (c != nullptr && !c->reading && c->broken.empty() && !stopping_) {
      c->reading = c->call_reading = true;
      lock.unlock();
      t_call_reader = this;
      std::string reason = ReadUntil(*c, slot->done, deadline);
      t_call_reader = nullptr;
      lock.lock();
      // `c` is still there: Close waits for the token before removing it.
      c->reading = c->call_reading = false;
      if (!reason.empty()) BreakLocked(*c, std::move(reason));
      reader_cv_.notify_all();
      continue;
    }
    reader_cv_.wait_until(lock, deadline);
  }
  uncount();
  return std::move(slot->result);
}

std::string EngineEndpoint::ReadUntil(Connection& c, const std::atomic<bool>& done,
                                      std::chrono::steady_clock::time_point deadline) {
  std::vector<uint8_t>& buffer = ThreadReadBuffer();
  while (!done.load(std::memory_order_acquire)) {
    if (c.blocking) {
      auto left = std::chrono::ceil<std::chrono::microseconds>(deadline -
                                                               std::chrono::steady_clock::now());
      if (left.count() <= 0) return {};
      // The socket's timeout never reaches past the deadline; it is set
      // again only when it would, or when it is much shorter than needed.
      if (c.recv_timeout > left || c.recv_timeout * 2 < left) {
        auto limit = std::min<std::chrono::microseconds>(left, kLongestRecvWait);
        timeval tv{static_cast<time_t>(limit.count() / 1'000'000),
                   static_cast<suseconds_t>(limit.count() % 1'000'000)};
        if (::setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
          return "cannot set the socket's timeout: " + ErrnoText(errno);
        }
        c.recv_timeout = limit;
      }
      std::string reason = ReadTurn(c, buffer, nullptr, true);
      if (!reason.empty()) return reason;
      continue;
    }
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                             std::chrono::steady_clock::now());
    if (left.count() <= 0) return {};
    pollfd p{c.fd, POLLIN, 0};
    int n = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), INT32_MAX)));
    if (n < 0) {
      if (errno == EINTR) continue;
      return "poll failed: " + ErrnoText(errno);
    }
    if (n == 0) continue;  // the deadline is checked above
    std::string reason = ReadTurn(c, buffer);
    if (!reason.empty()) return reason;
  }
  return {};
}

void EngineEndpoint::ReadOnQueue(uint64_t conn_id) {
  Connection* c = nullptr;
  {
    std::lock_guard lock(mu_);
    c = FindLocked(conn_id);
    // Broken: the I/O thread is about to close it.
    if (c == nullptr || c->reading || !c->broken.empty() || stopping_) return;
    c->reading = c->queue_reading = true;
  }
  std::vector<Frame> frames;
  // `c` stays: Close waits for the token before removing it.
  std::string reason = ReadTurn(*c, ThreadReadBuffer(), &frames);
  {
    std::lock_guard lock(mu_);
    c->reading = c->queue_reading = false;
    if (!reason.empty()) BreakLocked(*c, std::move(reason));
  }
  reader_cv_.notify_all();
  if (frames.empty()) return;
  // Without the token, so that a handler may close or stop anything.
  std::string error = HandleFrames(conn_id, frames, true);
  if (error.empty()) return;
  std::lock_guard lock(mu_);
  if (Connection* still = FindLocked(conn_id)) BreakLocked(*still, std::move(error));
}

void EngineEndpoint::BreakLocked(Connection& c, std::string reason) {
  if (!c.broken.empty()) return;
  c.broken = std::move(reason);
  Wake();  // the I/O thread closes it and settles what waits on it
}

void EngineEndpoint::SendReply(uint64_t conn, int64_t id, const std::string& channel,
                               Payload reply) {
  std::vector<uint8_t> bytes = EncodeFrame(Frame{FrameKind::kReply, id, channel, std::move(reply)});
  if (!EncodedFrameFits(bytes)) {
    Log("reply on '" + channel + "' is too large (" + std::to_string(bytes.size()) +
        " bytes); answering nothing instead");
    bytes = EncodeFrame(Frame{FrameKind::kReply, id, channel, std::nullopt});
  }
  std::lock_guard lock(mu_);
  Connection* c = FindLocked(conn);
  if (c != nullptr) EnqueueLocked(*c, std::move(bytes));
}

void EngineEndpoint::EnqueueLocked(Connection& c, std::vector<uint8_t> bytes) {
  if (!c.broken.empty()) return;  // closing; its waiting replies are settled then
  size_t queued = c.out.size() - c.out_offset;
  if (queued + bytes.size() > kMaxQueuedOut) {
    c.broken = "the peer is not reading (" + std::to_string(queued) + " bytes waiting)";
    Wake();
    return;
  }
  if (queued == 0) {
    c.out = std::move(bytes);
    c.out_offset = 0;
    FlushLocked(c);
    return;
  }
  // Already waiting for the socket; the I/O thread writes it out.
  if (c.out_offset >= kKeptCapacity) {
    c.out.erase(c.out.begin(), c.out.begin() + static_cast<ptrdiff_t>(c.out_offset));
    c.out_offset = 0;
  }
  c.out.insert(c.out.end(), bytes.begin(), bytes.end());
}

void EngineEndpoint::FlushLocked(Connection& c) {
  while (c.out_offset < c.out.size()) {
    ssize_t n = ::send(c.fd, c.out.data() + c.out_offset, c.out.size() - c.out_offset,
                       MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c.out_offset += static_cast<size_t>(n);
      continue;
    }
    int err = n < 0 ? errno : EPIPE;
    if (err == EINTR) continue;
    if (err != EAGAIN && err != EWOULDBLOCK) c.broken = "write failed: " + ErrnoText(err);
    // The I/O thread waits for the socket to drain, or closes it.
    if (!OnIoThread()) Wake();
    return;
  }
  if (c.out.capacity() > kKeptCapacity) {
    c.out = {};
  } else {
    c.out.clear();
  }
  c.out_offset = 0;
}

void EngineEndpoint::Deliver(Pending pending, Payload reply, ReplyStatus status) {
  if (!pending.callback) return;
  if (pending.inline_callback || !queue_) {
    pending.callback(std::move(reply), status);
    return;
  }
  queue_->Async([callback = std::move(pending.callback), reply = std::move(reply),
                 status]() mutable { callback(std::move(reply), status); });
}

void EngineEndpoint::Run() {
  io_thread_id_ = std::this_thread::get_id();
  std::vector<pollfd> fds;
  std::vector<uint64_t> ids;
  std::vector<std::pair<uint64_t, std::string>> broken;
  std::vector<uint8_t> buffer(kReadChunk);
  while (true) {
    fds.clear();
    ids.clear();
    broken.clear();
    bool listening = false;
    bool accept_paused = false;
    bool lingering = false;
    {
      std::lock_guard lock(mu_);
      if (stopping_) break;
      const auto now = std::chrono::steady_clock::now();
      fds.push_back({wake_fd_, POLLIN, 0});
      if (listen_fd_ >= 0 && listen_watch_ == 0) {
        if (now >= accept_paused_until_) {
          fds.push_back({listen_fd_, POLLIN, 0});
          listening = true;
        } else {
          accept_paused = true;
        }
      }
      for (auto& [id, c] : connections_) {
        if (!c->broken.empty()) {
          broken.emplace_back(id, c->broken);
          continue;
        }
        // While calls read a connection themselves, and for a moment after
        // the last one (the next often follows), this thread leaves it to
        // them instead of waking for every reply; it looks again when the
        // moment has passed.
        short events = POLLIN;
        if (c->watch != 0) {
          events = 0;  // the queue reads it
        } else if (c->calls > 0 || now < c->last_call_end + kCallLinger) {
          events = 0;
          lingering = true;
        }
        if (c->out_offset < c->out.size()) events |= POLLOUT;
        if (events == 0) continue;
        fds.push_back({c->fd, events, 0});
        ids.push_back(id);
      }
    }
    if (!broken.empty()) {
      for (auto& [id, reason] : broken) Close(id, reason);
      continue;
    }
    int timeout = accept_paused ? static_cast<int>(kAcceptPause.count()) : -1;
    if (lingering) timeout = static_cast<int>(kCallLinger.count());
    int n = ::poll(fds.data(), fds.size(), timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      Log("poll failed: " + ErrnoText(errno));
      std::this_thread::sleep_for(kAcceptPause);  // do not spin on a lasting failure
      continue;
    }
    if (fds[0].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] ssize_t r = ::read(wake_fd_, &count, sizeof count);
    }
    size_t first = listening ? 2 : 1;
    if (listening && fds[1].revents != 0) AcceptAll();
    for (size_t i = first; i < fds.size(); ++i) {
      short revents = fds[i].revents;
      if (revents == 0) continue;
      uint64_t id = ids[i - first];
      if (revents & POLLOUT) {
        std::lock_guard lock(mu_);
        if (Connection* c = FindLocked(id)) FlushLocked(*c);
      }
      if (revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) ReadFrom(id, buffer);
    }
  }
  CloseAll();
  // Thread ids are reused: a later thread must not pass for this one.
  io_thread_id_ = std::thread::id();
}

void EngineEndpoint::AcceptAll() {
  while (true) {
    int fd = -1;
    int err = 0;
    {
      // Under the lock: on the queue, the listening socket may be closing.
      std::lock_guard lock(mu_);
      if (listen_fd_ < 0 || stopping_) return;
      fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      err = fd < 0 ? errno : 0;
      if (fd < 0 && err != EINTR && err != ECONNABORTED && err != EAGAIN && err != EWOULDBLOCK) {
        accept_paused_until_ = std::chrono::steady_clock::now() + kAcceptPause;
        // A watch would fire again at once: the I/O thread takes accepting
        // over once the pause has passed.
        if (listen_watch_ != 0) {
          readiness_->Unwatch(listen_watch_);
          listen_watch_ = 0;
          Wake();
        }
      }
    }
    if (fd < 0) {
      if (err == EINTR || err == ECONNABORTED) continue;
      if (err == EAGAIN || err == EWOULDBLOCK) return;
      Log("accept failed: " + ErrnoText(err) + "; new connections wait 100 ms");
      return;
    }
    PeerCredentials peer;
    if (auto error = ReadPeerCredentials(fd, &peer)) {
      Log("refused a connection: " + *error);
      ::close(fd);
      continue;
    }
    // Only our own user's processes (and root) may drive the host; a shared
    // socket also admits its group's members.
    if (!PeerAdmitted(peer, ::geteuid(), admitted_group_)) {
      Log("refused a connection from uid " + std::to_string(peer.uid) + " (pid " +
          std::to_string(peer.pid) + "): not our user" +
          (admitted_group_ ? " and not in the group " + GroupName(*admitted_group_) : ""));
      ::close(fd);
      continue;
    }
    uint64_t id = 0;
    {
      std::lock_guard lock(mu_);
      if (stopping_) {
        ::close(fd);
        return;
      }
      id = AddConnectionLocked(fd)->id;
    }
    Log("connection " + std::to_string(id) + " opened (pid " + std::to_string(peer.pid) + ")");
  }
}

void EngineEndpoint::ReadFrom(uint64_t conn_id, std::vector<uint8_t>& buffer) {
  Connection* c = nullptr;
  {
    std::unique_lock lock(mu_);
    c = FindLocked(conn_id);
    if (c == nullptr) return;
    // A waiting call reads it (the next poll leaves it to the calls), or
    // the queue does.
    if (c->reading || c->watch != 0) return;
    c->reading = true;
  }
  // Stays valid: only this thread removes connections.
  std::string reason = ReadTurn(*c, buffer);
  {
    std::lock_guard lock(mu_);
    c->reading = false;
  }
  reader_cv_.notify_all();
  if (!reason.empty()) Close(conn_id, std::move(reason));
}

std::string EngineEndpoint::ReadTurn(Connection& c, std::vector<uint8_t>& buffer,
                                     std::vector<Frame>* collected, bool wait) {
  std::vector<Frame> frames;
  for (int turn = 0; turn < kReadsPerTurn; ++turn) {
    // A blocking first read ends in EAGAIN when the socket's timeout passes.
    const int flags = wait && turn == 0 ? 0 : MSG_DONTWAIT;
    ssize_t n = ::recv(c.fd, buffer.data(), buffer.size(), flags);
    if (n > 0) {
      frames.clear();
      bool ok = c.reader.Feed(std::span(buffer.data(), static_cast<size_t>(n)),
                              collected != nullptr ? collected : &frames);
      if (!frames.empty()) {
        std::string reason = HandleFrames(c.id, frames);
        if (!reason.empty()) return reason;
      }
      if (!ok) return c.reader.error();
      if (static_cast<size_t>(n) < buffer.size()) return {};
      continue;
    }
    if (n == 0) {
      return c.reader.buffered() == 0 ? "closed by the peer"
                                      : "closed by the peer in the middle of a frame";
    }
    int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) return {};
    return "read failed: " + ErrnoText(err);
  }
  return {};
}

std::string EngineEndpoint::HandleFrames(uint64_t conn_id, std::vector<Frame>& frames,
                                         bool on_queue) {
  struct Step {
    Frame frame;
    Pending pending;  // for a reply
  };
  std::vector<Step> steps;
  steps.reserve(frames.size());
  std::string error;
  {
    std::lock_guard lock(mu_);
    for (Frame& frame : frames) {
      if (frame.kind == FrameKind::kMessage) {
        if (role_ == Role::kServer) last_sender_[frame.channel] = conn_id;
        steps.push_back(Step{std::move(frame), {}});
        continue;
      }
      auto it = pending_.find(frame.id);
      if (it == pending_.end() || it->second.conn != conn_id) {
        error = "reply to unknown id " + std::to_string(frame.id);
        break;
      }
      steps.push_back(Step{std::move(frame), std::move(it->second)});
      pending_.erase(it);
    }
  }
  // Messages go to the queue in one hand-off per batch; a reply that also
  // goes through the queue first sends the messages before it, so the
  // stream's order holds. Already on the queue, everything runs in order
  // right here.
  const bool hop = queue_ && !on_queue;
  std::weak_ptr<EngineEndpoint> weak = weak_from_this();
  std::vector<Frame> messages;
  auto hand_off = [&] {
    if (messages.empty()) return;
    queue_->Async([weak, conn_id, batch = std::move(messages)]() mutable {
      auto self = weak.lock();
      if (!self) return;
      for (Frame& f : batch) self->DispatchMessage(conn_id, f.id, f.channel, std::move(f.data));
    });
    messages.clear();
  };
  for (Step& step : steps) {
    Frame& f = step.frame;
    if (f.kind == FrameKind::kReply) {
      if (hop && !step.pending.inline_callback) hand_off();
      if (on_queue) step.pending.inline_callback = true;
      Deliver(std::move(step.pending), std::move(f.data), ReplyStatus::kAnswered);
    } else if (hop) {
      messages.push_back(std::move(f));
    } else {
      DispatchMessage(conn_id, f.id, f.channel, std::move(f.data));
    }
  }
  hand_off();
  return error;
}

void EngineEndpoint::DispatchMessage(uint64_t conn_id, int64_t id, const std::string& channel,
                                     Payload data) {
  BinaryMessageHandler handler;
  {
    std::lock_guard lock(mu_);
    if (stopping_) return;
    auto it = handlers_.find(channel);
    if (it != handlers_.end()) handler = it->second;
  }
  if (!handler) {
    SendReply(conn_id, id, channel, std::nullopt);  // how "not implemented" looks
    return;
  }
  auto once = std::make_shared<ReplyOnce>(weak_from_this(), conn_id, id, channel);
  handler(std::move(data), [once](Payload reply) { once->Answer(std::move(reply)); });
}

void EngineEndpoint::Close(uint64_t conn_id, std::string reason) {
  std::vector<Pending> lost;
  {
    std::unique_lock lock(mu_);
    auto it = connections_.find(conn_id);
    if (it == connections_.end()) return;
    ReclaimReaderLocked(lock, *it->second);
    if (readiness_ != nullptr) readiness_->Unwatch(it->second->watch);
    ::close(it->second->fd);
    connections_.erase(it);
    for (auto p = pending_.begin(); p != pending_.end();) {
      if (p->second.conn == conn_id) {
        lost.push_back(std::move(p->second));
        p = pending_.erase(p);
      } else {
        ++p;
      }
    }
    std::erase_if(last_sender_, [&](const auto& entry) { return entry.second == conn_id; });
  }
  Log("connection " + std::to_string(conn_id) + " closed: " + reason);
  for (Pending& p : lost) Deliver(std::move(p), std::nullopt, ReplyStatus::kConnectionClosed);
}

void EngineEndpoint::CloseAll() {
  std::vector<Pending> lost;
  size_t closed = 0;
  {
    std::unique_lock lock(mu_);
    for (auto& [id, c] : connections_) {
      ReclaimReaderLocked(lock, *c);
      if (readiness_ != nullptr) readiness_->Unwatch(c->watch);
      ::close(c->fd);
    }
    closed = connections_.size();
    connections_.clear();
    for (auto& [id, p] : pending_) lost.push_back(std::move(p));
    pending_.clear();
    last_sender_.clear();
    if (listen_watch_ != 0) readiness_->Unwatch(listen_watch_);
    listen_watch_ = 0;
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
  }
  if (closed != 0) Log("stopped; closed " + std::to_string(closed) + " connection(s)");
  for (Pending& p : lost) Deliver(std::move(p), std::nullopt, ReplyStatus::kConnectionClosed);
}

void EngineEndpoint::ReclaimReaderLocked(std::unique_lock<std::mutex>& lock, Connection& c) {
  if (!c.call_reading && !c.queue_reading) return;
  // Ends a Call's poll at once; the connection is closing anyway. The
  // queue's reader does not wait on the socket and gives the token back
  // as soon as it has read.
  if (c.call_reading) ::shutdown(c.fd, SHUT_RDWR);
  reader_cv_.wait(lock, [&] { return !c.reading; });
}

}  // namespace kelvo
