// The connectivity service over an in-process messenger in virtual time,
// on fake network paths: the kinds of a path, "check", the event stream and
// the path monitor's life.
#include "services/connectivity/connectivity_plus_plugin.h"

#include <gtest/gtest.h>

#include "platform/dispatch/virtual_dispatch.h"
#include "platform/engine/in_process_messenger.h"
#include "platform/engine/testing/test_registrar.h"
#include "platform/log/fake_system_log.h"
#include "platform/path_monitor/fake_path_monitor.h"
#include "services/connectivity/path_monitor_connectivity_provider.h"

namespace kelvo {
namespace {

using IT = InterfaceType;

const MethodCodec& M() { return MethodCodec::Standard(); }

Value Status(std::initializer_list<const char*> names) {
  ValueList list;
  for (const char* name : names) list.emplace_back(name);
  return Value(std::move(list));
}

Path WithInterfaces(PathStatus status, std::vector<PathInterface> interfaces) {
  return Path{status, std::move(interfaces)};
}

TEST(ConnectivityTypesTest, KindsOfAPath) {
  auto status = [](const Path& path) { return ConnectivityStatus(ConnectivityTypesOfPath(path)); };
  EXPECT_EQ(status(SatisfiedPath({IT::kWifi, IT::kWiredEthernet})), Status({"wifi", "ethernet"}));
  // The order is fixed, whatever order the interfaces come in.
  EXPECT_EQ(status(SatisfiedPath({IT::kOther, IT::kWiredEthernet, IT::kCellular, IT::kWifi})),
            Status({"wifi", "mobile", "ethernet", "other"}));
  EXPECT_EQ(status(SatisfiedPath({IT::kWiredEthernet, IT::kWiredEthernet})), Status({"ethernet"}));
  EXPECT_EQ(status(SatisfiedPath({IT::kCellular})), Status({"mobile"}));
  EXPECT_EQ(status(SatisfiedPath({IT::kOther})), Status({"other"}));
  // Never an empty list.
  EXPECT_EQ(status(UnsatisfiedPath()), Status({"none"}));
  EXPECT_EQ(status(SatisfiedPath({})), Status({"none"}));
  EXPECT_EQ(status(WithInterfaces(PathStatus::kUnsatisfied, {{"eth0", 2, IT::kWiredEthernet}})),
            Status({"none"}));
}

class ConnectivityPluginTest : public ::testing::Test {
 protected:
  void SetUp() override { ConnectivityPlusPlugin::RegisterWith(&registrar_, network_->Factory()); }

  // The reply to `method` on the method channel; nullopt when not
  // implemented.
  std::optional<Envelope> Call(const std::string& method, const Value& args = Value()) {
    std::optional<Payload> reply;
    messenger_.SendFromInterface(kConnectivityMethodChannel, M().EncodeMethodCall({method, args}),
                                 [&](Payload r) { reply = r; });
    dispatch_.RunUntilIdle();
    EXPECT_TRUE(reply.has_value()) << "no reply at all";
    if (!reply || !*reply) return std::nullopt;
    auto envelope = M().DecodeEnvelope(**reply);
    EXPECT_TRUE(envelope.ok());
    return envelope.ok() ? std::optional<Envelope>(envelope.value()) : std::nullopt;
  }
  Value Check() {
    auto reply = Call("check");
    if (!reply || !std::holds_alternative<Value>(*reply)) {
      ADD_FAILURE() << "check did not succeed";
      return Value();
    }
    return std::get<Value>(*reply);
  }
  // "listen" or "cancel" on the event channel; both must succeed.
  void Stream(const std::string& method, const Value& args = Value()) {
    std::optional<Payload> reply;
    messenger_.SendFromInterface(kConnectivityEventChannel, M().EncodeMethodCall({method, args}),
                                 [&](Payload r) { reply = r; });
    dispatch_.RunUntilIdle();
    ASSERT_TRUE(reply && *reply) << method << ": no reply";
    auto envelope = M().DecodeEnvelope(**reply);
    ASSERT_TRUE(envelope.ok());
    EXPECT_EQ(std::get<Value>(envelope.value()), Value()) << method;
  }
  // Every event sent so far, decoded.
  std::vector<Value> Events() const {
    std::vector<Value> events;
    for (const auto& sent : messenger_.sent()) {
      if (sent.channel != kConnectivityEventChannel || !sent.message) continue;
      auto envelope = M().DecodeEnvelope(*sent.message);
      if (!envelope.ok() || !std::holds_alternative<Value>(envelope.value())) {
        ADD_FAILURE() << "an event is not a success envelope";
        continue;
      }
      events.push_back(std::get<Value>(envelope.value()));
    }
    return events;
  }
  void SetPath(const Path& path) {
    network_->SetPath(path);
    dispatch_.RunUntilIdle();
  }

  VirtualDispatch dispatch_;
  InProcessMessenger messenger_{dispatch_.MainQueue()};
  std::shared_ptr<FakePathSource> network_ =
      FakePathSource::Create(SatisfiedPath({IT::kWiredEthernet}));
  testing::TestRegistrar registrar_{&messenger_, &dispatch_};
};

TEST_F(ConnectivityPluginTest, CheckRepliesWithTheCurrentStatus) {
  EXPECT_EQ(Check(), Status({"ethernet"}));
  network_->SetPath(SatisfiedPath({IT::kWiredEthernet, IT::kWifi}));
  EXPECT_EQ(Check(), Status({"wifi", "ethernet"}));
  network_->SetPath(UnsatisfiedPath());
  EXPECT_EQ(Check(), Status({"none"}));
  // Arguments are ignored.
  network_->SetPath(SatisfiedPath({IT::kOther}));
  EXPECT_EQ(std::get<Value>(Call("check", Value(ValueMap{{"x", 1}})).value()), Status({"other"}));

  EXPECT_EQ(Call("checkAll"), std::nullopt);
  EXPECT_EQ(Call("listen"), std::nullopt);
  EXPECT_TRUE(Events().empty());  // nobody listens
}

TEST_F(ConnectivityPluginTest, ListenerGetsTheStatusAtOnceThenOneEventPerPathUpdate) {
  Stream("listen", Value("ignored"));
  EXPECT_EQ(Events(), (std::vector<Value>{Status({"ethernet"})}));

  SetPath(SatisfiedPath({IT::kWifi, IT::kWiredEthernet}));
  // Not de-duplicated: another update with the same kinds is another event.
  SetPath(SatisfiedPath({IT::kWiredEthernet, IT::kWifi}));
  SetPath(UnsatisfiedPath());
  EXPECT_EQ(Events(), (std::vector<Value>{Status({"ethernet"}), Status({"wifi", "ethernet"}),
                                          Status({"wifi", "ethernet"}), Status({"none"})}));

  Stream("cancel");
  SetPath(SatisfiedPath({IT::kCellular}));
  EXPECT_EQ(Events().size(), 4u);

  Stream("listen");
  SetPath(SatisfiedPath({IT::kWifi}));
  auto events = Events();
  ASSERT_EQ(events.size(), 6u);
  EXPECT_EQ(events[4], Status({"mobile"}));
  EXPECT_EQ(events[5], Status({"wifi"}));
}

TEST_F(ConnectivityPluginTest, UpdatesHopToTheMainQueueAndStopAtCancel) {
  int on_main = 0;
  messenger_.SetInterfaceHandler(kConnectivityEventChannel, [&](Payload, BinaryReply reply) {
    EXPECT_TRUE(dispatch_.MainQueue()->IsCurrent());
    ++on_main;
    reply(std::nullopt);
  });
  Stream("listen");
  EXPECT_EQ(on_main, 1);

  // The update waits on the monitor's queue, then on the main queue.
  network_->SetPath(SatisfiedPath({IT::kWifi}));
  EXPECT_EQ(on_main, 1);
  dispatch_.RunUntilIdle();
  EXPECT_EQ(on_main, 2);

  // An update already on its way when the listener cancels is not sent.
  network_->SetPath(SatisfiedPath({IT::kOther}));
  Stream("cancel");
  EXPECT_EQ(on_main, 2);
  EXPECT_EQ(dispatch_.PendingCount(), 0u);
}

TEST_F(ConnectivityPluginTest, MonitorRunsFromRegistrationUntilCancelOrDetach) {
  EXPECT_TRUE(messenger_.HasNativeHandler(kConnectivityMethodChannel));
  EXPECT_TRUE(messenger_.HasNativeHandler(kConnectivityEventChannel));
  ASSERT_EQ(registrar_.published.size(), 1u);
  EXPECT_EQ(network_->monitors_created(), 1);
  EXPECT_EQ(network_->monitors_running(), 1);

  Stream("listen");  // uses the running monitor
  EXPECT_EQ(network_->monitors_created(), 1);
  Stream("cancel");
  EXPECT_EQ(network_->monitors_running(), 0);

  // "check" makes a new monitor and leaves it running, with no listener.
  network_->SetPath(SatisfiedPath({IT::kCellular}));
  EXPECT_EQ(Check(), Status({"mobile"}));
  EXPECT_EQ(network_->monitors_created(), 2);
  EXPECT_EQ(network_->monitors_running(), 1);
  EXPECT_EQ(Check(), Status({"mobile"}));
  EXPECT_EQ(network_->monitors_created(), 2);

  Stream("listen");
  EXPECT_EQ(network_->monitors_created(), 2);
  EXPECT_EQ(Events().size(), 2u);  // one per listen

  // The engine goes: the registrar lets go, the sink is dropped and the
  // monitor stops, though the messenger still holds the handlers.
  registrar_.published.clear();
  EXPECT_EQ(network_->monitors_running(), 0);
  SetPath(SatisfiedPath({IT::kWifi}));
  EXPECT_EQ(Events().size(), 2u);
}

TEST(PathMonitorConnectivityProviderTest, MonitorThatCannotStartIsLoggedAndReadsNone) {
  VirtualDispatch dispatch;
  auto network = FakePathSource::Create(SatisfiedPath({IT::kWifi}));
  network->FailStarts("cannot open a route netlink socket: Permission denied");
  auto log = std::make_shared<FakeSystemLog>("net.kelvo.app", "connectivity");
  PathMonitorConnectivityProvider provider(dispatch.CreateSerialQueue("utility"),
                                           network->Factory(), log);
  int updates = 0;
  provider.set_connectivity_update_handler([&](const auto&) { ++updates; });

  EXPECT_EQ(provider.CurrentConnectivityTypes(), std::vector{ConnectivityType::kNone});
  provider.Start();  // kept until Stop: not retried, not logged again
  EXPECT_EQ(log->book()->texts(),
            std::vector<std::string>{"cannot watch the network path: cannot open a route "
                                     "netlink socket: Permission denied"});
  network->SetPath(SatisfiedPath({IT::kOther}));
  dispatch.RunUntilIdle();
  EXPECT_EQ(updates, 0);

  network->FailStarts(std::nullopt);
  provider.Stop();
  provider.Start();
  EXPECT_EQ(provider.CurrentConnectivityTypes(), std::vector{ConnectivityType::kOther});
  network->SetPath(SatisfiedPath({IT::kWifi}));
  dispatch.RunUntilIdle();
  EXPECT_EQ(updates, 1);
  EXPECT_EQ(network->monitors_created(), 2);
}

}  // namespace
}  // namespace kelvo
