// The connectivity service in a real `kelvo` process, driven over its engine
// socket as the user interface would. With root, kelvo runs in a network
// namespace the test makes, where the only way out is a veth whose
// addresses and routes the test changes and which it brings up and down.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "host/testing/kelvo_process.h"
#include "platform/engine/method_codec.h"
#include "platform/netlink/testing/net_namespace.h"
#include "services/connectivity/connectivity_plus_plugin.h"

namespace kelvo {
namespace {

using testing::CallReply;
using testing::HostEnvironment;
using testing::KelvoProcess;

// A status: a non-empty sub-sequence of the kinds in their fixed order, or
// exactly ["none"].
::testing::AssertionResult IsStatus(const CallReply& reply) {
  if (!reply.value || !reply.value->is_list() || reply.value->as_list().empty()) {
    return ::testing::AssertionFailure() << "got " << reply.Describe();
  }
  const ValueList& list = reply.value->as_list();
  if (list == ValueList{Value("none")}) return ::testing::AssertionSuccess();
  const std::vector<std::string> order = {"wifi", "mobile", "ethernet", "other"};
  size_t next = 0;
  for (const Value& kind : list) {
    while (next < order.size() && !(kind.is_string() && kind.as_string() == order[next])) ++next;
    if (next == order.size()) return ::testing::AssertionFailure() << "got " << reply.Describe();
    ++next;
  }
  return ::testing::AssertionSuccess();
}

TEST(ConnectivityProcessTest, CheckAnswersWithAStatus) {
  HostEnvironment env;
  KelvoProcess kelvo(env);
  ASSERT_EQ(kelvo.Start(), std::nullopt);
  EXPECT_TRUE(IsStatus(kelvo.Call("check", Value(), kConnectivityMethodChannel)));
  CallReply unknown = kelvo.Call("wifiName", Value(), kConnectivityMethodChannel);
  EXPECT_TRUE(unknown.transport_error.empty()) << unknown.transport_error;
  EXPECT_FALSE(unknown.answered) << unknown.Describe();
  EXPECT_EQ(kelvo.Stop(SIGTERM), 0);
}

// Collects the events the host sends on the status channel.
class EventCollector {
 public:
  void Add(Payload message) {
    std::lock_guard lock(mu_);
    if (message) {
      auto envelope = MethodCodec::Standard().DecodeEnvelope(*message);
      if (envelope.ok() && std::holds_alternative<Value>(envelope.value())) {
        events_.push_back(std::get<Value>(envelope.value()));
      } else {
        events_.push_back(Value("<not a success envelope>"));
      }
    }
    changed_.notify_all();
  }
  // Waits (bounded) for the count-th event.
  std::optional<Value> WaitFor(size_t count) {
    std::unique_lock lock(mu_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return events_.size() >= count; });
    if (events_.size() < count) return std::nullopt;
    return events_[count - 1];
  }
  // Waits (bounded) until the newest event is `value`.
  bool WaitForLatest(const Value& value) {
    std::unique_lock lock(mu_);
    return changed_.wait_for(lock, std::chrono::seconds(10),
                             [&] { return !events_.empty() && events_.back() == value; });
  }
  size_t size() {
    std::lock_guard lock(mu_);
    return events_.size();
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  std::vector<Value> events_;
};

class ConnectivityNamespaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "not root";
    if (FindTool("ip").empty()) GTEST_SKIP() << "ip is not installed";
    const std::string id = std::to_string(getpid());
    std::string error;
    ns_ = NetNamespace::Create("kpathmon" + id, &error);
    ASSERT_TRUE(ns_) << error;
    const std::string short_id = std::to_string(getpid() % 100000);
    link_ = "kpathmon" + short_id + "c";
    const std::string peer = "kpathmon" + short_id + "d";
    Ip({"link", "add", link_, "type", "veth", "peer", "name", peer});
    // No link-local addresses coming and going by themselves.
    Ip({"link", "set", link_, "addrgenmode", "none"});
    Ip({"link", "set", peer, "addrgenmode", "none"});
    Ip({"link", "set", link_, "up"});
    Ip({"link", "set", peer, "up"});
    Ip({"address", "add", "10.79.0.2/24", "dev", link_});
    Ip({"route", "add", "default", "via", "10.79.0.1"});
    // kelvo, forked from a thread inside the namespace, lives there.
    std::optional<std::string> started = "not started";
    ns_->Run([&] { started = kelvo_.Start(); });
    ASSERT_EQ(started, std::nullopt);
  }
  void TearDown() override {
    kelvo_.Stop(SIGKILL);  // out of the namespace before it goes
    ns_.reset();
  }
  void Ip(const std::vector<std::string>& args) {
    CommandResult r = ns_->Ip(args);
    ASSERT_EQ(r.exit_code, 0) << r.output;
  }
  CallReply Check() { return kelvo_.Call("check", Value(), kConnectivityMethodChannel); }

  std::unique_ptr<NetNamespace> ns_;
  HostEnvironment env_;
  KelvoProcess kelvo_{env_};
  std::string link_;
};

TEST_F(ConnectivityNamespaceTest, CheckAndEventsFollowTheNetwork) {
  const Value other(ValueList{Value("other")});
  const Value none(ValueList{Value("none")});
  EXPECT_EQ(Check().value, other);

  EventCollector events;
  kelvo_.client().SetMessageHandler(kConnectivityEventChannel,
                                    [&](Payload message, BinaryReply) { events.Add(message); });
  EngineCallResult listen = kelvo_.client().SendAndWait(
      kConnectivityEventChannel, MethodCodec::Standard().EncodeMethodCall({"listen", Value()}),
      std::chrono::seconds(10));
  ASSERT_TRUE(listen.ok()) << *listen.error;
  EXPECT_EQ(events.WaitFor(1), other);

  // A new gateway, a new address, an IPv6 default route: the kinds stay
  // the same, and each is an event all the same.
  Ip({"route", "replace", "default", "via", "10.79.0.3"});
  EXPECT_EQ(events.WaitFor(2), other);
  Ip({"address", "add", "10.79.0.9/24", "dev", link_});
  EXPECT_EQ(events.WaitFor(3), other);
  Ip({"-6", "route", "add", "default", "dev", link_});
  EXPECT_EQ(events.WaitFor(4), other);

  Ip({"link", "set", link_, "down"});
  EXPECT_TRUE(events.WaitForLatest(none));
  EXPECT_EQ(Check().value, none);

  Ip({"link", "set", link_, "up"});
  Ip({"route", "add", "default", "dev", link_});
  EXPECT_TRUE(events.WaitForLatest(other));
  EXPECT_EQ(Check().value, other);
  EXPECT_EQ(kelvo_.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace kelvo
