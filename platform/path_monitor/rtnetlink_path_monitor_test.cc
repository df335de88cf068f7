// The rtnetlink path monitor against the kernel, in a network namespace the
// test makes: a veth pair whose one end gets a default route, brought up
// and down. Needs root; the namespace (and the pair with it) is removed
// whatever the outcome.
#include "platform/path_monitor/rtnetlink_path_monitor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/dispatch/virtual_dispatch.h"
#include "platform/log/fake_system_log.h"
#include "platform/netlink/testing/net_namespace.h"

namespace kelvo {
namespace {

constexpr auto kPatience = std::chrono::seconds(5);

class RtNetlinkPathMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "not root";
    if (FindTool("ip").empty()) GTEST_SKIP() << "ip is not installed";
    const std::string id = std::to_string(getpid());
    std::string error;
    ns_ = NetNamespace::Create("kpm" + id, &error);
    ASSERT_TRUE(ns_) << error;
    // The names are unique on the host too: the sysfs this process sees is
    // the host's, and a same-named host link must not lend its type.
    link_ = "kpm" + id + "a";
    peer_ = "kpm" + id + "b";
    Ip({"link", "add", link_, "type", "veth", "peer", "name", peer_});
    log_ = std::make_shared<FakeSystemLog>("net.kelvo.app", "connectivity");
    RtNetlinkPathMonitorOptions options;
    options.log = log_;
    monitor_ = MakeRtNetlinkPathMonitor(options);
    monitor_->SetPathUpdateHandler([this](const Path& path) {
      EXPECT_TRUE(queue_->IsCurrent());
      updates_.push_back(path.DebugString());
    });
  }
  void TearDown() override {
    monitor_.reset();  // its sockets hold the namespace
    ns_.reset();
    if (log_) {
      EXPECT_TRUE(log_->book()->texts().empty());
    }
  }

  void Ip(const std::vector<std::string>& args) {
    CommandResult r = ns_->Ip(args);
    ASSERT_EQ(r.exit_code, 0) << r.output;
  }
  void StartInNamespace() {
    ns_->Run([&] { ASSERT_EQ(monitor_->Start(queue_), std::nullopt); });
  }
  bool WaitForUpdates(size_t count) {
    return dispatch_.RunUntil([&] { return updates_.size() >= count; }, Duration(0), kPatience);
  }
  std::string Satisfied() { return "satisfied " + link_ + "(" + std::to_string(Index()) + ",other)"; }
  int Index() {
    std::string out = ns_->Ip({"-o", "link", "show", link_}).output;
    return std::atoi(out.c_str());
  }

  VirtualDispatch dispatch_;
  std::shared_ptr<Queue> queue_ = dispatch_.CreateSerialQueue("path-monitor");
  std::unique_ptr<NetNamespace> ns_;
  std::string link_, peer_;
  std::shared_ptr<FakeSystemLog> log_;
  std::unique_ptr<PathMonitor> monitor_;
  std::vector<std::string> updates_;
};

TEST_F(RtNetlinkPathMonitorTest, DefaultRouteOnARunningLinkSatisfiesThePath) {
  StartInNamespace();
  EXPECT_EQ(monitor_->CurrentPath(), Path());  // only loopback, no route

  Ip({"link", "set", link_, "up"});
  Ip({"link", "set", peer_, "up"});
  Ip({"route", "add", "default", "dev", link_});
  ASSERT_TRUE(WaitForUpdates(1));
  EXPECT_EQ(updates_[0], Satisfied());
  EXPECT_EQ(monitor_->CurrentPath().DebugString(), Satisfied());

  // An IPv6 default route beside it changes nothing the path tells.
  Ip({"-6", "route", "add", "default", "dev", link_});
  // Down: the kernel drops both routes in a burst of notifications, read
  // as one change.
  Ip({"link", "set", link_, "down"});
  ASSERT_TRUE(WaitForUpdates(2));
  EXPECT_EQ(updates_[1], "unsatisfied");

  // Up again with a route, then the peer goes away: the route stays but the
  // link loses its carrier.
  Ip({"link", "set", link_, "up"});
  Ip({"route", "add", "default", "dev", link_});
  ASSERT_TRUE(WaitForUpdates(3));
  EXPECT_EQ(updates_[2], Satisfied());
  Ip({"link", "set", peer_, "down"});
  ASSERT_TRUE(WaitForUpdates(4));
  EXPECT_EQ(updates_[3], "unsatisfied");
  EXPECT_EQ(monitor_->CurrentPath(), Path());

  // Nothing more came than these changes.
  dispatch_.RunUntil([] { return false; }, Duration(0), std::chrono::milliseconds(200));
  EXPECT_EQ(updates_.size(), 4u);
}

TEST_F(RtNetlinkPathMonitorTest, ReadsThePathAtStartAndStaysQuietAfterCancel) {
  Ip({"link", "set", link_, "up"});
  Ip({"link", "set", peer_, "up"});
  Ip({"route", "add", "default", "dev", link_});
  StartInNamespace();
  EXPECT_EQ(monitor_->CurrentPath().DebugString(), Satisfied());
  EXPECT_EQ(monitor_->Start(queue_), "the path monitor is already started");

  Ip({"link", "set", link_, "down"});
  // The change may be read already; its update must not be delivered.
  monitor_->Cancel();
  dispatch_.RunUntil([] { return false; }, Duration(0), std::chrono::milliseconds(200));
  EXPECT_TRUE(updates_.empty());
  EXPECT_EQ(monitor_->Start(queue_), "the path monitor was cancelled");
}

}  // namespace
}  // namespace kelvo
