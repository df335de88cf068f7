// Real sockets on loopback; waits are bounded by VirtualDispatch::RunUntil.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/dispatch/virtual_dispatch.h"
#include "platform/network/tcp_connection.h"

namespace kelvo {
namespace {

// A loopback TCP socket, listening or (after Close) not.
class LoopbackListener {
 public:
  LoopbackListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(fd_, 8);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~LoopbackListener() { Close(); }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  uint16_t port() const { return port_; }
  // True once a connection waits to be accepted (bounded wait).
  bool HasPendingConnection() const {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, 5000) == 1;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

class PosixTcpConnectionTest : public ::testing::Test {
 protected:
  std::shared_ptr<TcpConnection> Connect(const std::string& host, uint16_t port) {
    auto c = connector_->Create(host, port);
    c->SetStateHandler([this](TcpConnectionState s) {
      EXPECT_TRUE(queue_->IsCurrent());
      states_.push_back(ToString(s));
    });
    c->Start(queue_);
    return c;
  }
  bool RunUntilStates(size_t n) {
    return dispatch_.RunUntil([&] { return states_.size() >= n; }, Duration::zero());
  }

  VirtualDispatch dispatch_;
  std::shared_ptr<Queue> queue_ = dispatch_.CreateSerialQueue("net.kelvo.test.tcp");
  std::shared_ptr<TcpConnector> connector_ = CreatePosixTcpConnector();
  std::vector<std::string> states_;
};

TEST_F(PosixTcpConnectionTest, ListeningPortIsReadyAndClosedPortIsRefused) {
  LoopbackListener open;
  auto c = Connect("127.0.0.1", open.port());
  ASSERT_TRUE(RunUntilStates(2));
  EXPECT_EQ(states_, (std::vector<std::string>{"preparing", "ready"}));
  c->Cancel();
  dispatch_.RunUntilIdle();
  EXPECT_EQ(states_.back(), "cancelled");

  states_.clear();
  LoopbackListener closed;
  closed.Close();
  auto refused = Connect("127.0.0.1", closed.port());
  ASSERT_TRUE(RunUntilStates(2));
  EXPECT_EQ(states_, (std::vector<std::string>{"preparing", "failed(ECONNREFUSED)"}));

  // A name goes through the resolver; whatever "localhost" lists first, one
  // of its addresses is the listener's.
  states_.clear();
  auto by_name = Connect("localhost", open.port());
  ASSERT_TRUE(RunUntilStates(2));
  EXPECT_EQ(states_, (std::vector<std::string>{"preparing", "ready"}));
}

TEST_F(PosixTcpConnectionTest, CancelSilencesEverythingButCancelled) {
  LoopbackListener listener;
  auto c = Connect("127.0.0.1", listener.port());
  // The connection has reached the listener, so its result is (about to
  // be) on the queue; Cancel must still win.
  ASSERT_TRUE(listener.HasPendingConnection());
  c->Cancel();
  c->Cancel();
  dispatch_.RunUntilIdle();
  EXPECT_EQ(states_, (std::vector<std::string>{"cancelled"}));

  // Cancelled before Start: Start delivers only cancelled.
  states_.clear();
  auto early = connector_->Create("127.0.0.1", listener.port());
  early->SetStateHandler([this](TcpConnectionState s) { states_.push_back(ToString(s)); });
  early->Cancel();
  early->Start(queue_);
  dispatch_.RunUntilIdle();
  EXPECT_EQ(states_, (std::vector<std::string>{"cancelled"}));
}

TEST_F(PosixTcpConnectionTest, HandlerMayHoldItsConnectionUntilCancelled) {
  LoopbackListener listener;
  std::weak_ptr<TcpConnection> weak;
  {
    auto c = connector_->Create("127.0.0.1", listener.port());
    weak = c;
    c->SetStateHandler([c](TcpConnectionState s) {
      if (s.state == TcpState::kReady) c->Cancel();
    });
    c->Start(queue_);
  }
  ASSERT_TRUE(dispatch_.RunUntil([&] { return weak.expired(); }, Duration::zero()));

  // Dropped without Cancel: nothing is delivered afterwards.
  auto dropped = Connect("127.0.0.1", listener.port());
  dropped.reset();
  dispatch_.RunUntilIdle();
  EXPECT_TRUE(states_.empty());
}

}  // namespace
}  // namespace kelvo

namespace kelvo {
namespace {

// Marking needs CAP_NET_ADMIN: as root the socket carries the value of the
// moment; without, a connection that cannot carry the mark fails rather
// than go out unmarked (into a tunnel it must avoid).
TEST_F(PosixTcpConnectionTest, OwnTrafficMarkIsPutOnTheSocketOrTheConnectionFails) {
  auto mark = std::make_shared<SocketMark>();
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(mark->ApplyTo(fd), 0) << "no mark: nothing to do, allowed to anyone";
  mark->Set(51820);
  const int applied = mark->ApplyTo(fd);
  const bool privileged = applied == 0;
  if (privileged) {
    uint32_t value = 0;
    socklen_t size = sizeof value;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_MARK, &value, &size), 0);
    EXPECT_EQ(value, 51820u);
  } else {
    EXPECT_EQ(applied, EPERM);
  }
  close(fd);

  connector_ = CreatePosixTcpConnector(mark);
  LoopbackListener open;
  auto c = Connect("127.0.0.1", open.port());
  ASSERT_TRUE(RunUntilStates(2));
  EXPECT_EQ(states_[1], privileged ? "ready" : "failed(EPERM)");
  c->Cancel();
  dispatch_.RunUntilIdle();
}

}  // namespace
}  // namespace kelvo
