// Runs RtNetlink against the kernel inside a network namespace made for the
// test, on a persistent tun device created there with `ip tuntap`.
#include "platform/netlink/rtnetlink.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "platform/netlink/testing/net_namespace.h"

namespace kelvo {
namespace {

NetPrefix P(const std::string& text) { return NetPrefix::Parse(text).value(); }

class RtNetlinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string blocker = RootNetworkTestBlocker({"ip"});
    if (!blocker.empty()) GTEST_SKIP() << blocker;
    std::string error;
    ns_ = NetNamespace::Create("kn" + std::to_string(getpid()), &error);
    ASSERT_TRUE(ns_) << error;
    CommandResult r = ns_->Ip({"tuntap", "add", "mode", "tun", "name", "knt0"});
    ASSERT_EQ(r.exit_code, 0) << r.output;
  }
  void TearDown() override { ns_.reset(); }  // takes the tun device with it

  std::string Show(const std::vector<std::string>& args) { return ns_->Ip(args).output; }

  std::unique_ptr<NetNamespace> ns_;
  RtNetlink nl_;
};

TEST_F(RtNetlinkTest, ConfiguresALinkAndRemovesIt) {
  ns_->Run([&] {
    int index = 0;
    ASSERT_FALSE(nl_.LinkIndex("knt0", &index));
    EXPECT_GT(index, 1);
    auto missing = nl_.LinkIndex("knt-missing", &index);
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->code(), ENODEV);

    EXPECT_FALSE(nl_.SetMtu(index, 1380));
    EXPECT_FALSE(nl_.AddAddress(index, P("10.97.0.2/32")));
    EXPECT_FALSE(nl_.AddAddress(index, P("fd97::2/64")));
    EXPECT_EQ(nl_.AddAddress(index, P("10.97.0.2/32"))->code(), EEXIST);
    EXPECT_FALSE(nl_.SetLinkUp(index, true));
    EXPECT_FALSE(nl_.AddRoute(index, P("0.0.0.0/1")));
    EXPECT_FALSE(nl_.AddRoute(index, P("128.0.0.0/1")));
    EXPECT_FALSE(nl_.AddRoute(index, P("8000::/1")));
    EXPECT_FALSE(nl_.AddRoute(index, P("0.0.0.0/0")));
    EXPECT_EQ(nl_.AddRoute(index, P("0.0.0.0/1"))->code(), EEXIST);
  });
  std::string addresses = Show({"addr", "show", "dev", "knt0"});
  EXPECT_NE(addresses.find("mtu 1380"), std::string::npos) << addresses;
  EXPECT_NE(addresses.find("inet 10.97.0.2/32"), std::string::npos) << addresses;
  EXPECT_NE(addresses.find("inet6 fd97::2/64"), std::string::npos) << addresses;
  EXPECT_NE(addresses.find(",UP"), std::string::npos) << addresses;
  std::string routes = Show({"route", "show", "dev", "knt0"});
  EXPECT_NE(routes.find("0.0.0.0/1 proto static scope link"), std::string::npos) << routes;
  EXPECT_NE(routes.find("128.0.0.0/1 proto static scope link"), std::string::npos) << routes;
  EXPECT_NE(routes.find("default proto static scope link"), std::string::npos) << routes;
  EXPECT_NE(Show({"-6", "route", "show", "dev", "knt0"}).find("8000::/1 proto static"),
            std::string::npos);

  ns_->Run([&] {
    int index = 0;
    ASSERT_FALSE(nl_.LinkIndex("knt0", &index));
    EXPECT_FALSE(nl_.RemoveRoute(index, P("0.0.0.0/1")));
    EXPECT_FALSE(nl_.RemoveRoute(index, P("0.0.0.0/0")));
    EXPECT_EQ(nl_.RemoveRoute(index, P("0.0.0.0/1"))->code(), ESRCH);
  });
  routes = Show({"route", "show", "dev", "knt0"});
  EXPECT_EQ(routes.find("0.0.0.0/1"), std::string::npos) << routes;
  EXPECT_NE(routes.find("128.0.0.0/1"), std::string::npos) << routes;

  // Removing the link's last IPv4 address also flushes its IPv4 routes.
  ns_->Run([&] {
    int index = 0;
    ASSERT_FALSE(nl_.LinkIndex("knt0", &index));
    EXPECT_FALSE(nl_.RemoveAddress(index, P("10.97.0.2/32")));
    EXPECT_EQ(nl_.RemoveAddress(index, P("10.97.0.2/32"))->code(), EADDRNOTAVAIL);
    EXPECT_FALSE(nl_.SetLinkUp(index, false));
  });
  addresses = Show({"addr", "show", "dev", "knt0"});
  EXPECT_EQ(addresses.find("10.97.0.2"), std::string::npos) << addresses;
  EXPECT_EQ(addresses.find(",UP"), std::string::npos) << addresses;
  EXPECT_EQ(Show({"route", "show", "dev", "knt0"}), "");

  ns_->Run([&] {
    int index = 0;
    ASSERT_FALSE(nl_.LinkIndex("knt0", &index));
    EXPECT_FALSE(nl_.DeleteLink(index));
    EXPECT_EQ(nl_.DeleteLink(index)->code(), ENODEV);
    EXPECT_EQ(nl_.LinkIndex("knt0", &index)->code(), ENODEV);
  });
}

}  // namespace
}  // namespace kelvo
