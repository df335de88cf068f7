// The connectivity service in a real `kelvo` process, driven over its engine
// socket as the user interface would. With root, kelvo runs in a network
// namespace the test makes, where the only route out is a veth the test
// brings up and down.
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
    ns_ = NetNamespace::Create("kcp" + id, &error);
    ASSERT_TRUE(ns_) << error;
    link_ = "kcp" + id + "a";
    Ip({"link", "add", link_, "type", "veth", "peer", "name", "kcp" + id + "b"});
    Ip({"link", "set", link_, "up"});
    Ip({"link", "set", "kcp" + id + "b", "up"});
    Ip({"route", "add", "default", "dev", link_});
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

TEST_F(ConnectivityNamespaceTest, CheckAndEventsFollowTheDefaultRoute) {
  EXPECT_EQ(Check().value, Value(ValueList{Value("other")}));

  EventCollector events;
  kelvo_.client().SetMessageHandler(kConnectivityEventChannel,
                                    [&](Payload message, BinaryReply) { events.Add(message); });
  EngineCallResult listen = kelvo_.client().SendAndWait(
      kConnectivityEventChannel, MethodCodec::Standard().EncodeMethodCall({"listen", Value()}),
      std::chrono::seconds(10));
  ASSERT_TRUE(listen.ok()) << *listen.error;
  EXPECT_EQ(events.WaitFor(1), Value(ValueList{Value("other")}));

  Ip({"link", "set", link_, "down"});
  EXPECT_EQ(events.WaitFor(2), Value(ValueList{Value("none")}));
  EXPECT_EQ(Check().value, Value(ValueList{Value("none")}));

  Ip({"link", "set", link_, "up"});
  Ip({"route", "add", "default", "dev", link_});
  EXPECT_EQ(events.WaitFor(3), Value(ValueList{Value("other")}));
  EXPECT_EQ(events.size(), 3u);
  EXPECT_EQ(kelvo_.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace kelvo
