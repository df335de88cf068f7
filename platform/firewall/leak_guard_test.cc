#include "platform/firewall/leak_guard.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/netlink/testing/net_namespace.h"

namespace kelvo {
namespace {

// Sends one UDP datagram to `address` (optionally marked); 0 or the errno.
int SendTo(const char* address, uint32_t mark) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  if (mark != 0 && setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0) {
    int err = errno;
    close(fd);
    return err;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9);
  inet_pton(AF_INET, address, &to.sin_addr);
  int err = sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == 1 ? 0 : errno;
  close(fd);
  return err;
}

// In a namespace of its own: an "uplink" and a "tunnel" (veth ends, each
// with a network behind it), the guard in between.
TEST(LeakGuardTest, DropsAllButTunnelAndMarkedTrafficUntilRemoved) {
  if (std::string why = RootNetworkTestBlocker({"ip"}); !why.empty()) GTEST_SKIP() << why;
  std::string error;
  const std::string tag = "k12g" + std::to_string(getpid() % 100000);
  auto ns = NetNamespace::Create(tag, &error);
  ASSERT_TRUE(ns) << error;
  const std::string uplink = tag + "u", tunnel = tag + "t";
  for (const auto& [dev, peer, net] : {std::tuple{uplink, uplink + "p", "10.77.0.1/24"},
                                       std::tuple{tunnel, tunnel + "p", "10.78.0.1/24"}}) {
    ASSERT_EQ(ns->Ip({"link", "add", dev, "type", "veth", "peer", "name", peer}).exit_code, 0);
    ASSERT_EQ(ns->Ip({"addr", "add", net, "dev", dev}).exit_code, 0);
    ASSERT_EQ(ns->Ip({"link", "set", dev, "up"}).exit_code, 0);
    ASSERT_EQ(ns->Ip({"link", "set", peer, "up"}).exit_code, 0);
  }
  ASSERT_EQ(ns->Ip({"link", "set", "lo", "up"}).exit_code, 0);

  auto guard = MakeNftLeakGuard();
  ns->Run([&] {
    EXPECT_EQ(SendTo("10.77.0.2", 0), 0) << "without the guard the uplink is open";
    EXPECT_FALSE(guard->Remove(tunnel)) << "nothing to remove yet";
    ASSERT_EQ(guard->Install(tunnel, 51820), std::nullopt);
    ASSERT_EQ(guard->Install(tunnel, 51820), std::nullopt) << "installing again replaces";
    EXPECT_EQ(SendTo("10.77.0.2", 0), EPERM) << "unmarked traffic out of the uplink";
    EXPECT_EQ(SendTo("10.77.0.2", 51820), 0) << "the tunnel's own traffic";
    EXPECT_EQ(SendTo("10.77.0.2", 51821), EPERM) << "another mark";
    EXPECT_EQ(SendTo("10.78.0.2", 0), 0) << "into the tunnel";
    EXPECT_EQ(SendTo("127.0.0.1", 0), 0) << "loopback";
    EXPECT_TRUE(guard->Remove(tunnel));
    EXPECT_EQ(SendTo("10.77.0.2", 0), 0) << "open again after the stop";
  });
}

}  // namespace
}  // namespace kelvo
