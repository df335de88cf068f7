// TcpConnection on non-blocking POSIX sockets. Each started connection has
// one short-lived thread that resolves the host, connects and reports; the
// thread is detached and holds only the connection's shared core, so neither
// Cancel nor destruction ever waits for it (a name lookup cannot be
// interrupted).
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/network/tcp_connection.h"
#include "platform/network/tcp_state_reporter.h"

namespace kelvo {
namespace {

// Errors for which the platform waits for a better path instead of failing.
bool IsPathError(int err) {
  return err == ENETUNREACH || err == EHOSTUNREACH || err == ENETDOWN || err == EHOSTDOWN;
}

struct Address {
  sockaddr_storage storage{};
  socklen_t length = 0;
};

// What outlives the connection object while its thread runs.
struct Core {
  Core() : reporter(std::make_shared<TcpStateReporter>()) {
    wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  }
  ~Core() {
    CloseSocket();
    if (wake_fd >= 0) close(wake_fd);
  }

  // Interrupts a connect in progress.
  void Wake() {
    uint64_t one = 1;
    if (wake_fd >= 0) {
      ssize_t ignored = write(wake_fd, &one, sizeof one);
      (void)ignored;
    }
  }
  // Keeps a connected socket; false (and closes it) when already cancelled.
  bool Adopt(int fd) {
    std::lock_guard<std::mutex> lock(mu);
    if (reporter->done()) {
      close(fd);
      return false;
    }
    socket_fd = fd;
    return true;
  }
  void CloseSocket() {
    std::lock_guard<std::mutex> lock(mu);
    if (socket_fd >= 0) close(socket_fd);
    socket_fd = -1;
  }

  const std::shared_ptr<TcpStateReporter> reporter;
  int wake_fd = -1;
  std::shared_ptr<const SocketMark> mark;  // null: sockets carry no mark
  std::mutex mu;
  int socket_fd = -1;
};

// Numeric addresses directly, names through getaddrinfo. On failure the
// state to report instead.
std::vector<Address> Resolve(const std::string& host, uint16_t port,
                             std::optional<TcpConnectionState>* failure) {
  std::vector<Address> out;
  Address a;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&a.storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&a.storage);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    a.length = sizeof(sockaddr_in);
    out.push_back(a);
    return out;
  }
  if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    a.length = sizeof(sockaddr_in6);
    out.push_back(a);
    return out;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  std::string service = std::to_string(port);
  int rc = host.empty() ? EAI_NONAME : getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) {
    // A lookup that may work later waits like an unreachable network; a
    // name that does not exist fails.
    if (rc == EAI_AGAIN) {
      *failure = TcpConnectionState{TcpState::kWaiting, EAGAIN};
    } else if (rc == EAI_SYSTEM && errno != 0) {
      *failure = TcpConnectionState{TcpState::kFailed, errno};
    } else {
      *failure = TcpConnectionState{TcpState::kFailed, ENXIO};
    }
    return out;
  }
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_addrlen > sizeof(a.storage)) continue;
    Address each;
    std::memcpy(&each.storage, ai->ai_addr, ai->ai_addrlen);
    each.length = ai->ai_addrlen;
    out.push_back(each);
  }
  freeaddrinfo(list);
  if (out.empty()) *failure = TcpConnectionState{TcpState::kFailed, ENXIO};
  return out;
}

// One address: 0 and *fd set when connected, else the errno; -1 when woken
// by a cancellation.
int ConnectOne(const Core& core, const Address& address, int* fd_out) {
  int fd = socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  int err = core.mark ? core.mark->ApplyTo(fd) : 0;
  if (err != 0) {
    close(fd);
    return err;
  }
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) != 0) {
    err = errno;
  }
  if (err == EINPROGRESS || err == EINTR) {
    pollfd fds[2] = {{fd, POLLOUT, 0}, {core.wake_fd, POLLIN, 0}};
    int n;
    do {
      n = poll(fds, 2, -1);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      err = errno;
    } else if (fds[1].revents != 0) {
      close(fd);
      return -1;
    } else {
      socklen_t len = sizeof err;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    }
  }
  if (err != 0) {
    close(fd);
    return err;
  }
  *fd_out = fd;
  return 0;
}

void Run(std::shared_ptr<Core> core, std::string host, uint16_t port) {
  std::optional<TcpConnectionState> failure;
  std::vector<Address> addresses = Resolve(host, port, &failure);
  if (failure) {
    core->reporter->Report(*failure);
    return;
  }
  // Reported in the end when no address connects: a refusal or other
  // definite failure wins over a missing path.
  int first_failure = 0;
  int first_path_error = 0;
  for (const Address& address : addresses) {
    if (core->reporter->done()) return;
    int fd = -1;
    int err = ConnectOne(*core, address, &fd);
    if (err < 0) return;  // cancelled
    if (err == 0) {
      if (core->Adopt(fd)) core->reporter->Report({TcpState::kReady, 0});
      return;
    }
    int& slot = IsPathError(err) ? first_path_error : first_failure;
    if (slot == 0) slot = err;
  }
  if (first_failure != 0) {
    core->reporter->Report({TcpState::kFailed, first_failure});
  } else {
    core->reporter->Report({TcpState::kWaiting, first_path_error});
  }
}

class PosixTcpConnection : public TcpConnection {
 public:
  PosixTcpConnection(std::string host, uint16_t port, std::shared_ptr<const SocketMark> mark)
      : host_(std::move(host)), port_(port), core_(std::make_shared<Core>()) {
    core_->mark = std::move(mark);
  }

  ~PosixTcpConnection() override {
    core_->reporter->Detach();
    core_->Wake();
    core_->CloseSocket();
  }

  void SetStateHandler(StateHandler handler) override {
    core_->reporter->SetHandler(std::move(handler));
  }

  void Start(std::shared_ptr<Queue> queue) override {
    if (!core_->reporter->Start(std::move(queue))) return;
    if (core_->wake_fd < 0) {
      core_->reporter->Report({TcpState::kFailed, EMFILE});
      return;
    }
    try {
      std::thread(Run, core_, host_, port_).detach();
    } catch (const std::system_error& e) {
      int err = e.code().value() != 0 ? e.code().value() : EAGAIN;
      core_->reporter->Report({TcpState::kFailed, err});
    }
  }

  void Cancel() override {
    core_->reporter->Cancel();
    core_->Wake();
    core_->CloseSocket();
  }

 private:
  const std::string host_;
  const uint16_t port_;
  const std::shared_ptr<Core> core_;
};

class PosixTcpConnector : public TcpConnector {
 public:
  explicit PosixTcpConnector(std::shared_ptr<const SocketMark> mark) : mark_(std::move(mark)) {}
  std::shared_ptr<TcpConnection> Create(const std::string& host, uint16_t port) override {
    return std::make_shared<PosixTcpConnection>(host, port, mark_);
  }

 private:
  const std::shared_ptr<const SocketMark> mark_;
};

}  // namespace

std::shared_ptr<TcpConnector> CreatePosixTcpConnector(std::shared_ptr<const SocketMark> mark) {
  return std::make_shared<PosixTcpConnector>(std::move(mark));
}

}  // namespace kelvo
