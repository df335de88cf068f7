// The rtnetlink path monitor: on fake route watches in virtual time (a
// watch that breaks is logged, reopened with backoff and read again), and,
// with root, against the kernel in a network namespace the test makes: a
// veth pair whose one end gets addresses and default routes. The namespace
// (and the pair with it) is removed whatever the outcome.
#include "platform/path_monitor/rtnetlink_path_monitor.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <unistd.h>

#include "platform/dispatch/virtual_dispatch.h"
#include "platform/log/fake_system_log.h"
#include "platform/netlink/testing/net_namespace.h"
#include "platform/path_monitor/fake_route_watch.h"

namespace kelvo {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A running link eth0 (index 2) with these default routes; no sysfs, so
// its type is "other".
NetSnapshot Tables(std::set<DefaultRoute> routes, std::set<AddressInfo> addresses = {}) {
  NetSnapshot tables;
  tables.links = {{1, "lo", IFF_UP | IFF_RUNNING | IFF_LOOPBACK, 772},
                  {2, "eth0", IFF_UP | IFF_RUNNING, 1}};
  tables.default_routes = std::move(routes);
  tables.addresses = std::move(addresses);
  return tables;
}

DefaultRoute Via(const std::string& gateway) {
  return {AF_INET, RT_TABLE_MAIN, 2, gateway, 0};
}

constexpr const char* kOnEth0 = "satisfied eth0(2,other)";

class PathMonitorRecoveryTest : public ::testing::Test {
 protected:
  void Start(std::chrono::milliseconds retry_first = seconds(1),
             std::chrono::milliseconds retry_longest = seconds(60)) {
    RtNetlinkPathMonitorOptions options;
    options.sysfs_net = "/nonexistent";
    options.open_watch = kernel_->Opener();
    options.retry_first = retry_first;
    options.retry_longest = retry_longest;
    options.log = log_;
    monitor_ = MakeRtNetlinkPathMonitor(options);
    monitor_->SetPathUpdateHandler([this](const Path& path) {
      EXPECT_TRUE(queue_->IsCurrent());
      updates_.push_back(path.DebugString());
    });
    ASSERT_EQ(monitor_->Start(queue_), std::nullopt);
  }
  std::vector<std::string> Logged() { return log_->book()->texts(); }

  VirtualDispatch dispatch_;
  std::shared_ptr<Queue> queue_ = dispatch_.CreateSerialQueue("path-monitor");
  std::shared_ptr<FakeRouteKernel> kernel_ = FakeRouteKernel::Create(Tables({Via("gw1")}));
  std::shared_ptr<FakeSystemLog> log_ = std::make_shared<FakeSystemLog>("net.kelvo.app", "test");
  std::unique_ptr<PathMonitor> monitor_;
  std::vector<std::string> updates_;
};

TEST_F(PathMonitorRecoveryTest, EveryNewReadingIsAnUpdateAndABrokenWatchIsReadAgain) {
  Start();
  EXPECT_EQ(monitor_->CurrentPath().DebugString(), kOnEth0);

  // Notifications that leave the tables as they were are no update; a new
  // gateway or address is one, though the path stays the same.
  kernel_->Change(Tables({Via("gw1")}));
  kernel_->Change(Tables({Via("gw2")}));
  kernel_->Change(Tables({Via("gw2")}, {{AF_INET, 2, 24, "addr", "addr"}}));
  dispatch_.RunUntilIdle();
  EXPECT_EQ(updates_, (std::vector<std::string>{kOnEth0, kOnEth0}));

  // The socket breaks; the route goes while nobody listens.
  kernel_->Break("cannot read route notifications: Bad file descriptor");
  kernel_->SetTables(Tables({}));
  EXPECT_EQ(Logged(), std::vector<std::string>{"path monitor: cannot read route notifications: "
                                               "Bad file descriptor; reopening the route sockets"});
  dispatch_.RunUntilIdle();
  EXPECT_EQ(kernel_->watches().opened, 2);
  EXPECT_EQ(kernel_->watches().alive, 1);
  EXPECT_EQ(updates_.back(), "unsatisfied");
  EXPECT_EQ(monitor_->CurrentPath(), Path());
  EXPECT_EQ(Logged().back(), "path monitor: watching the network again");

  // The new watch reports.
  kernel_->Change(Tables({Via("gw3")}));
  dispatch_.RunUntilIdle();
  EXPECT_EQ(updates_.size(), 4u);
  EXPECT_EQ(updates_.back(), kOnEth0);

  // Broken again soon after: reopened after the shortest wait, onto the
  // same tables, so nothing to report.
  kernel_->Break("the route notification socket is closed");
  dispatch_.AdvanceBy(milliseconds(999));
  EXPECT_EQ(kernel_->watches().opened, 2);
  dispatch_.AdvanceBy(milliseconds(1));
  EXPECT_EQ(kernel_->watches().opened, 3);
  EXPECT_EQ(updates_.size(), 4u);
}

TEST_F(PathMonitorRecoveryTest, ReopeningBacksOffWhileItFailsAndEndsAtCancel) {
  Start(seconds(1), seconds(4));
  const std::string refused = "cannot open a route netlink socket: Too many open files";
  kernel_->FailOpens(4, refused);
  kernel_->Break("cannot read route notifications: Bad file descriptor");
  kernel_->SetTables(Tables({Via("gw2")}));
  dispatch_.RunUntilIdle();  // the first try is at once
  auto tries = [&] { return Logged().size() - 1; };
  auto failed = [&](int wait_s) {
    return "path monitor: cannot reopen the route sockets: " + refused + "; next try in " +
           std::to_string(wait_s) + " s";
  };
  EXPECT_EQ(tries(), 1u);
  // Waits double from the shortest up to the longest; no try comes early.
  for (int wait_s : {1, 2, 4}) {
    EXPECT_EQ(Logged().back(), failed(wait_s));
    const size_t before = tries();
    dispatch_.AdvanceBy(seconds(wait_s) - milliseconds(1));
    EXPECT_EQ(tries(), before);
    dispatch_.AdvanceBy(milliseconds(1));
    EXPECT_EQ(tries(), before + 1);
  }
  EXPECT_EQ(Logged().back(), failed(4));  // the longest wait
  // The path is kept while there is no watch.
  EXPECT_EQ(monitor_->CurrentPath().DebugString(), kOnEth0);
  EXPECT_TRUE(updates_.empty());

  dispatch_.AdvanceBy(seconds(4));
  EXPECT_EQ(kernel_->watches().opened, 2);
  EXPECT_EQ(Logged().back(), "path monitor: watching the network again");
  EXPECT_EQ(updates_, std::vector<std::string>{kOnEth0});  // a new gateway meanwhile

  // Broken again at once: the wait goes on growing.
  kernel_->Break("cannot read route notifications: Bad file descriptor");
  dispatch_.AdvanceBy(milliseconds(3999));
  EXPECT_EQ(kernel_->watches().opened, 2);
  dispatch_.AdvanceBy(milliseconds(1));
  EXPECT_EQ(kernel_->watches().opened, 3);

  // A watch that lasts the longest wait is sound: its break starts over,
  // at once and then with the shortest wait.
  dispatch_.AdvanceBy(seconds(4));
  kernel_->FailOpens(1, refused);
  kernel_->Break("cannot read route notifications: Bad file descriptor");
  dispatch_.RunUntilIdle();
  EXPECT_EQ(Logged().back(), failed(1));
  // Cancel ends the retries, and nothing is reported afterwards.
  monitor_->Cancel();
  kernel_->Change(Tables({}));
  dispatch_.AdvanceBy(seconds(120));
  EXPECT_EQ(kernel_->watches().opened, 3);
  EXPECT_EQ(kernel_->watches().alive, 0);
  EXPECT_EQ(updates_.size(), 1u);
  EXPECT_EQ(dispatch_.PendingCount(), 0u);
}

TEST_F(PathMonitorRecoveryTest, StartFailsWhenTheFirstWatchCannotOpen) {
  kernel_->FailOpens(1, "cannot open a route netlink socket: Permission denied");
  RtNetlinkPathMonitorOptions options;
  options.open_watch = kernel_->Opener();
  auto monitor = MakeRtNetlinkPathMonitor(options);
  EXPECT_EQ(monitor->Start(queue_), "cannot open a route netlink socket: Permission denied");
  EXPECT_EQ(monitor->CurrentPath(), Path());
  EXPECT_EQ(monitor->Start(queue_), "the path monitor is already started");
}

constexpr auto kPatience = seconds(5);

class RtNetlinkPathMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "not root";
    if (FindTool("ip").empty()) GTEST_SKIP() << "ip is not installed";
    const std::string id = std::to_string(getpid());
    std::string error;
    ns_ = NetNamespace::Create("kpathmon" + id, &error);
    ASSERT_TRUE(ns_) << error;
    // The names are unique on the host too (at most 15 characters): the
    // sysfs this process sees is the host's, and a same-named host link
    // must not lend its type.
    const std::string short_id = std::to_string(getpid() % 100000);
    link_ = "kpathmon" + short_id + "a";
    peer_ = "kpathmon" + short_id + "b";
    Ip({"link", "add", link_, "type", "veth", "peer", "name", peer_});
    // No link-local addresses coming and going by themselves.
    Ip({"link", "set", link_, "addrgenmode", "none"});
    Ip({"link", "set", peer_, "addrgenmode", "none"});
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
  // Both ends up and a default route on link_.
  void UpWithDefaultRoute() {
    Ip({"link", "set", link_, "up"});
    Ip({"link", "set", peer_, "up"});
    Ip({"route", "add", "default", "dev", link_});
  }
  void StartInNamespace() {
    ns_->Run([&] { ASSERT_EQ(monitor_->Start(queue_), std::nullopt); });
  }
  // Runs `ip args` (none: only waits) and waits for the one update it causes.
  void Step(const std::vector<std::string>& args, const std::string& expected) {
    const size_t before = updates_.size();
    if (!args.empty()) Ip(args);
    std::string command = "ip";
    for (const std::string& arg : args) command += " " + arg;
    ASSERT_TRUE(dispatch_.RunUntil([&] { return updates_.size() > before; }, Duration(0), kPatience))
        << "no update after " << command;
    EXPECT_EQ(updates_.back(), expected) << command;
  }
  // Waits until the newest update is `expected`.
  bool WaitForPath(const std::string& expected) {
    return dispatch_.RunUntil([&] { return !updates_.empty() && updates_.back() == expected; },
                              Duration(0), kPatience);
  }
  void WaitQuietly() {
    dispatch_.RunUntil([] { return false; }, Duration(0), milliseconds(200));
  }
  std::string Satisfied() {
    return "satisfied " + link_ + "(" + std::to_string(Index()) + ",other)";
  }
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

  UpWithDefaultRoute();
  ASSERT_TRUE(WaitForPath(Satisfied()));
  EXPECT_EQ(monitor_->CurrentPath().DebugString(), Satisfied());

  // Down: the kernel drops the route with the link.
  Step({"link", "set", link_, "down"}, "unsatisfied");

  // Up again with a route, then the peer goes away: the route stays but the
  // link loses its carrier.
  Ip({"link", "set", link_, "up"});
  Ip({"route", "add", "default", "dev", link_});
  ASSERT_TRUE(WaitForPath(Satisfied()));
  Step({"link", "set", peer_, "down"}, "unsatisfied");
  EXPECT_EQ(monitor_->CurrentPath(), Path());
}

TEST_F(RtNetlinkPathMonitorTest, GatewayAddressAndIPv6RouteChangesAreUpdates) {
  Ip({"link", "set", link_, "up"});
  Ip({"link", "set", peer_, "up"});
  Ip({"address", "add", "10.77.0.2/24", "dev", link_});
  Ip({"route", "add", "default", "via", "10.77.0.1"});
  StartInNamespace();
  const std::string on_link = Satisfied();
  EXPECT_EQ(monitor_->CurrentPath().DebugString(), on_link);

  Step({"route", "replace", "default", "via", "10.77.0.3"}, on_link);
  Step({"address", "add", "10.77.0.9/24", "dev", link_}, on_link);
  Step({"-6", "address", "add", "fd77::2/64", "dev", link_, "nodad"}, on_link);
  Step({"-6", "route", "add", "default", "via", "fd77::1"}, on_link);
  // An address under duplicate detection is one update, and another when
  // it becomes usable (about a second later).
  Step({"-6", "address", "add", "fd77::5/64", "dev", link_}, on_link);
  Step({}, on_link);
  Step({"-6", "route", "replace", "default", "via", "fd77::3"}, on_link);
  // The IPv6 default route alone keeps the path satisfied.
  Step({"route", "del", "default"}, on_link);
  Step({"-6", "route", "del", "default"}, "unsatisfied");
  Step({"address", "del", "10.77.0.9/24", "dev", link_}, "unsatisfied");
  const size_t updates = updates_.size();

  // A route that is not a default route changes nothing reported.
  Ip({"route", "add", "10.78.0.0/16", "via", "10.77.0.1"});
  Ip({"-6", "route", "add", "fd78::/64", "via", "fd77::1"});
  WaitQuietly();
  EXPECT_EQ(updates_.size(), updates);
}

TEST_F(RtNetlinkPathMonitorTest, ReadsThePathAtStartAndStaysQuietAfterCancel) {
  UpWithDefaultRoute();
  StartInNamespace();
  EXPECT_EQ(monitor_->CurrentPath().DebugString(), Satisfied());
  EXPECT_EQ(monitor_->Start(queue_), "the path monitor is already started");

  Ip({"link", "set", link_, "down"});
  // The change may be read already; its update must not be delivered.
  monitor_->Cancel();
  WaitQuietly();
  EXPECT_TRUE(updates_.empty());
  EXPECT_EQ(monitor_->Start(queue_), "the path monitor was cancelled");
}

TEST_F(RtNetlinkPathMonitorTest, WatchesOpenInTheNamespaceOfTheirOpener) {
  UpWithDefaultRoute();
  std::string error;
  RouteWatchOpener open;
  ns_->Run([&] { open = RtNetlinkRouteWatchOpener({}, &error); });
  ASSERT_TRUE(open) << error;

  // Opened from this thread, outside the namespace, as a reopen on the
  // monitor's queue would be.
  auto watch = open(&error);
  ASSERT_TRUE(watch) << error;
  NetSnapshot tables;
  ASSERT_EQ(watch->ReadSnapshot(&tables), std::nullopt);
  std::set<std::string> names;
  for (const LinkInfo& link : tables.links) names.insert(link.name);
  EXPECT_EQ(names, (std::set<std::string>{"lo", link_, peer_}));
  ASSERT_EQ(tables.default_routes.size(), 1u);
  EXPECT_EQ(tables.default_routes.begin()->link, Index());
  watch.reset();
  open = nullptr;  // lets go of the namespace before it is removed
}

}  // namespace
}  // namespace kelvo
