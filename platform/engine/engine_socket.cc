#include "platform/engine/engine_socket.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/engine/engine_endpoint.h"
#include "platform/fs/files.h"
#include "platform/fs/socket_probe.h"
#include "platform/xdg/base_dirs.h"

namespace kelvo {

namespace {

constexpr char kFlag[] = "--engine-socket";

std::string ErrnoText(int err) { return std::strerror(err); }

std::optional<std::string> FillAddress(const std::string& path, sockaddr_un* addr) {
  *addr = {};
  addr->sun_family = AF_UNIX;
  if (path.empty()) return "the engine socket path is empty";
  if (path.size() >= sizeof addr->sun_path) {
    return "the engine socket path is too long (" + std::to_string(path.size()) +
           " bytes, at most " + std::to_string(sizeof addr->sun_path - 1) + "): " + path;
  }
  std::memcpy(addr->sun_path, path.data(), path.size());
  return std::nullopt;
}

// Creates the directories above `path` that are missing, each with `mode`
// (the umask must not narrow a directory others are meant to enter).
std::optional<std::string> MakeParentDirectories(const std::string& path, mode_t mode) {
  const std::string dir = ParentOf(path);
  if (auto error = MakeDirectories(dir, mode)) return error;
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return "the engine socket's directory " + dir + " is not a directory";
  }
  return std::nullopt;
}

// Makes room at `path`: nothing there is fine, a socket nobody answers on
// is left over from a dead server and is removed; anything else stays and
// is an error.
std::optional<std::string> ClearStaleSocket(const std::string& path, const EngineLog& note) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::nullopt;
    return "cannot inspect " + path + ": " + ErrnoText(errno);
  }
  if (!S_ISSOCK(st.st_mode)) return path + " exists and is not a socket; not replacing it";
  const int err = ProbeUnixSocket(path);
  if (err == 0 || err == EAGAIN) {
    return "another engine server is already listening on " + path;
  }
  if (err == ENOENT) return std::nullopt;
  if (err != ECONNREFUSED) {
    return "cannot check the existing socket " + path + ": " + ErrnoText(err);
  }
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    return "cannot remove the stale socket " + path + ": " + ErrnoText(errno);
  }
  note("removed a stale socket at " + path);
  return std::nullopt;
}

}  // namespace

std::string DefaultEngineSocketPath() {
  std::string dir = XdgBaseDirs::FromProcess().runtime_dir;
  if (dir.empty()) dir = "/run/user/" + std::to_string(::getuid());
  return dir + "/kelvo/engine.sock";
}

std::string EngineSocketPathFromArgs(int argc, const char* const* argv) {
  const std::string flag = kFlag;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == flag && i + 1 < argc) return argv[i + 1];
    if (arg.rfind(flag + "=", 0) == 0) return arg.substr(flag.size() + 1);
  }
  return DefaultEngineSocketPath();
}

// ---- Server ----

EngineSocketServer::EngineSocketServer(std::string path, std::shared_ptr<Queue> main_queue,
                                       EngineLog log)
    : path_(std::move(path)),
      endpoint_(std::make_shared<EngineEndpoint>(EngineEndpoint::Role::kServer,
                                                 std::move(main_queue), std::move(log))) {}

EngineSocketServer::~EngineSocketServer() { Stop(); }

void EngineSocketServer::SetAccess(SocketAccess access) { access_ = access; }

std::optional<std::string> EngineSocketServer::Start() {
  if (bound_) return "the engine socket server was already started";
  sockaddr_un addr{};
  if (auto error = FillAddress(path_, &addr)) return error;
  if (auto error = MakeParentDirectories(path_, access_.directory_mode)) return error;
  EngineLog note = [this](const std::string& line) { endpoint_->Log(line); };
  if (auto error = ClearStaleSocket(path_, note)) return error;

  // Bound under a draft name beside the path and renamed into place once it
  // listens, so the path never names a socket that refuses connections (a
  // client that saw it appear and connected at once was refused). Where the
  // draft name would be too long for an address, the path itself is bound.
  static std::atomic<unsigned> drafts{0};
  const std::string draft = ParentOf(path_) + "/.engine-" + std::to_string(::getpid()) + "-" +
                            std::to_string(drafts++) + ".draft";
  sockaddr_un draft_addr{};
  const bool use_draft = !FillAddress(draft, &draft_addr).has_value();
  const std::string& bound_path = use_draft ? draft : path_;
  if (use_draft) ::unlink(draft.c_str());  // left by a dead process that had our pid

  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return "cannot create a socket: " + ErrnoText(errno);
  auto fail = [&](const std::string& what) {
    std::string error = what + " " + path_ + ": " + ErrnoText(errno);
    ::close(fd);
    return std::optional<std::string>(error);
  };
  const sockaddr_un& bind_addr = use_draft ? draft_addr : addr;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&bind_addr), sizeof bind_addr) != 0) {
    return fail("cannot bind the engine socket");
  }
  // Nobody can connect before listen(), so the group and mode are right
  // before anyone can use the socket.
  if (access_.group &&
      ::chown(bound_path.c_str(), static_cast<uid_t>(-1), *access_.group) != 0) {
    auto error = fail("cannot give the group " + GroupName(*access_.group) + " to");
    ::unlink(bound_path.c_str());
    return error;
  }
  if (::chmod(bound_path.c_str(), access_.mode) != 0) {
    auto error = fail("cannot set the mode of");
    ::unlink(bound_path.c_str());
    return error;
  }
  endpoint_->SetAdmittedGroup(access_.group);
  struct stat st {};
  if (::stat(bound_path.c_str(), &st) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    auto error = fail("cannot listen on");
    ::unlink(bound_path.c_str());
    return error;
  }
  // Never over a socket another server put there since the stale check.
  if (use_draft && ::renameat2(AT_FDCWD, draft.c_str(), AT_FDCWD, path_.c_str(),
                               RENAME_NOREPLACE) != 0) {
    const int err = errno;
    ::unlink(draft.c_str());
    ::close(fd);
    if (err == EEXIST) return "another engine server is already listening on " + path_;
    return "cannot put the engine socket in place at " + path_ + ": " + ErrnoText(err);
  }
  bound_ = true;
  bound_dev_ = st.st_dev;
  bound_ino_ = st.st_ino;
  if (auto error = endpoint_->Start(fd, -1)) {
    RemoveSocketFile();
    return error;
  }
  endpoint_->Log("listening on " + path_);
  return std::nullopt;
}

void EngineSocketServer::RemoveSocketFile() {
  if (!bound_) return;
  bound_ = false;
  // Only the file we made: a newer server may have taken the path since.
  struct stat st {};
  if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == bound_dev_ && st.st_ino == bound_ino_) {
    ::unlink(path_.c_str());
  }
}

void EngineSocketServer::Stop() {
  endpoint_->Stop();
  RemoveSocketFile();
}

size_t EngineSocketServer::connection_count() const { return endpoint_->connection_count(); }

void EngineSocketServer::Send(const std::string& channel, Payload message, BinaryReply on_reply) {
  EngineEndpoint::ReplyCallback callback;
  if (on_reply) {
    callback = [on_reply = std::move(on_reply)](Payload reply, ReplyStatus) {
      on_reply(std::move(reply));
    };
  }
  endpoint_->Send(channel, std::move(message), std::move(callback), false);
}

void EngineSocketServer::SetMessageHandler(const std::string& channel,
                                           BinaryMessageHandler handler) {
  endpoint_->SetMessageHandler(channel, std::move(handler));
}

// ---- Client ----

EngineSocketClient::EngineSocketClient(std::shared_ptr<Queue> queue, EngineLog log)
    : endpoint_(std::make_shared<EngineEndpoint>(EngineEndpoint::Role::kClient, std::move(queue),
                                                 std::move(log))) {}

EngineSocketClient::~EngineSocketClient() { Close(); }

std::optional<std::string> EngineSocketClient::Connect(const std::string& path) {
  sockaddr_un addr{};
  if (auto error = FillAddress(path, &addr)) return error;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "cannot create a socket: " + ErrnoText(errno);
  // Connecting blocks only while the server's backlog is full; bound it.
  timeval limit{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    std::string error = "cannot connect to the engine socket " + path + ": " + ErrnoText(errno);
    ::close(fd);
    return error;
  }
  timeval none{0, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
  // Left blocking: the endpoint's reads and writes say MSG_DONTWAIT, and a
  // waiting call sleeps in recv itself (one system call, not poll + recv).
  return endpoint_->Start(-1, fd);
}

void EngineSocketClient::Close() { endpoint_->Stop(); }

bool EngineSocketClient::connected() const { return endpoint_->running(); }

void EngineSocketClient::Send(const std::string& channel, Payload message, BinaryReply on_reply) {
  EngineEndpoint::ReplyCallback callback;
  if (on_reply) {
    callback = [on_reply = std::move(on_reply)](Payload reply, ReplyStatus) {
      on_reply(std::move(reply));
    };
  }
  endpoint_->Send(channel, std::move(message), std::move(callback), false);
}

void EngineSocketClient::SetMessageHandler(const std::string& channel,
                                           BinaryMessageHandler handler) {
  endpoint_->SetMessageHandler(channel, std::move(handler));
}

EngineCallResult EngineSocketClient::SendAndWait(const std::string& channel, Payload message,
                                                 Duration timeout) {
  if (endpoint_->OnIoThread()) {
    return {std::nullopt, "SendAndWait cannot wait on the engine socket's own thread"};
  }
  if (endpoint_->ReadsOnThisThread()) {
    return {std::nullopt, "SendAndWait cannot wait inside a handler run by a waiting call"};
  }
  std::optional<EngineEndpoint::CallReply> answer =
      endpoint_->Call(channel, std::move(message), timeout);
  if (!answer) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count();
    return {std::nullopt, "no reply on '" + channel + "' within " + std::to_string(ms) + " ms"};
  }
  switch (answer->status) {
    case ReplyStatus::kAnswered:
      return {std::move(answer->reply), std::nullopt};
    case ReplyStatus::kNotConnected:
      return {std::nullopt, "not connected to the engine socket"};
    case ReplyStatus::kConnectionClosed:
      return {std::nullopt, "the engine socket closed before the reply on '" + channel + "'"};
    case ReplyStatus::kTooLarge:
      return {std::nullopt, "the message on '" + channel + "' is too large to send"};
  }
  return {std::nullopt, "unknown reply status"};
}

}  // namespace kelvo
