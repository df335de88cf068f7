// The host control channel in virtual time: every method, argument check
// and error, against fake tunnel managers and a fake notifier.
#include "host/host_control_channel.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "host/testing/shell_fixture.h"
#include "platform/notifications/notification_spool.h"

namespace kelvo {
namespace {

using testing::ShellFixture;
using Bytes = std::vector<uint8_t>;

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

Value Success(const std::optional<Envelope>& e) {
  if (!e || !std::holds_alternative<Value>(*e)) {
    ADD_FAILURE() << "expected a success reply";
    return Value("<not a success>");
  }
  return std::get<Value>(*e);
}

FlutterError Failure(const std::optional<Envelope>& e) {
  if (!e || !std::holds_alternative<FlutterError>(*e)) {
    ADD_FAILURE() << "expected an error reply";
    return {};
  }
  return std::get<FlutterError>(*e);
}

FlutterError Err(std::string code, std::string message) {
  return {std::move(code), std::move(message), Value()};
}

const FlutterError kNoTunnel = Err("NO_ACTIVE_TUNNEL", "No hay túnel activo");

class ControlChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = f.MakeWindow();
    window_->AwakeFromNib();
  }
  std::shared_ptr<FakeTunnelSession> Session(ProviderResponse response) {
    auto s = std::make_shared<FakeTunnelSession>(f.dispatch.MainQueue());
    s->set_response(std::move(response));
    return s;
  }
  ShellFixture f;
  std::unique_ptr<MainFlutterWindow> window_;
};

TEST(ChooseTunnelSession, WalksTheConfigurationsAsThePlatformOrdersThem) {
  auto s1 = std::make_shared<FakeTunnelSession>(nullptr);
  auto s2 = std::make_shared<FakeTunnelSession>(nullptr);
  auto s3 = std::make_shared<FakeTunnelSession>(nullptr);
  using S = TunnelStatus;
  EXPECT_EQ(ChooseTunnelSession({}), nullptr);
  EXPECT_EQ(ChooseTunnelSession({{S::kConnected, nullptr}}), nullptr);
  // The first active one wins over an earlier inactive one.
  EXPECT_EQ(
      ChooseTunnelSession({{S::kDisconnected, s1}, {S::kReasserting, s2}, {S::kConnected, s3}}),
      s2);
  EXPECT_EQ(ChooseTunnelSession({{S::kDisconnecting, s1}, {S::kConnecting, s2}}), s2);
  // Nothing active: the first session, whatever its status.
  EXPECT_EQ(ChooseTunnelSession(
                {{S::kInvalid, nullptr}, {S::kDisconnected, s2}, {S::kDisconnecting, s3}}),
            s2);
  // The first active one is no tunnel session: the walk falls back to the
  // first session of all, not to the next active one.
  EXPECT_EQ(
      ChooseTunnelSession({{S::kDisconnected, s1}, {S::kConnecting, nullptr}, {S::kConnected, s3}}),
      s1);
}

TEST_F(ControlChannelTest, GetRuntimeStatsRepliesTheTextOrEachError) {
  EXPECT_EQ(Failure(f.Call("getRuntimeStats")), kNoTunnel);

  f.tunnels->set_load_error("The operation couldn’t be completed.");
  EXPECT_EQ(Failure(f.Call("getRuntimeStats")),
            Err("LOAD_TUNNEL_ERROR", "The operation couldn’t be completed."));
  f.tunnels->set_load_error(std::nullopt);

  auto session = Session({"connect /run/x.sock: No such file or directory", std::nullopt});
  f.tunnels->set_connections({{TunnelStatus::kDisconnected, session}});
  EXPECT_EQ(Failure(f.Call("getRuntimeStats")),
            Err("SEND_PROVIDER_MESSAGE_ERROR", "connect /run/x.sock: No such file or directory"));

  for (Payload empty : {Payload(), Payload(Bytes{}), Payload(Bytes{0xC3, 0x28})}) {
    session->set_response({std::nullopt, empty});
    EXPECT_EQ(Failure(f.Call("getRuntimeStats")),
              Err("EMPTY_PROVIDER_RESPONSE", "El provider no devolvió datos"));
  }
  session->set_response({std::nullopt, B("rx_bytes=1\ntx_bytes=2\n")});
  EXPECT_EQ(Success(f.Call("getRuntimeStats")), Value("rx_bytes=1\ntx_bytes=2\n"));
  for (const Bytes& m : session->messages()) EXPECT_EQ(m, Bytes{0x00});
}

TEST_F(ControlChannelTest, PingTunnelRepliesPongOrNil) {
  EXPECT_EQ(Failure(f.Call("pingTunnel")), kNoTunnel);
  auto session = Session({"gone", std::nullopt});
  f.tunnels->set_connections({{TunnelStatus::kConnected, session}});
  EXPECT_EQ(Failure(f.Call("pingTunnel")), Err("SEND_PROVIDER_MESSAGE_ERROR", "gone"));
  for (const auto& [payload, want] : std::vector<std::pair<Payload, Value>>{
           {B("pong"), Value("pong")}, {Payload(), Value()}, {Bytes{}, Value()}}) {
    session->set_response({std::nullopt, payload});
    EXPECT_EQ(Success(f.Call("pingTunnel")), want);
  }
  EXPECT_EQ(session->messages().back(), Bytes{0x01});
}

TEST_F(ControlChannelTest, WatchdogDebugAnswersEveryOutcomeAsAString) {
  EXPECT_EQ(Success(f.Call("watchdogDebug")), Value("NO_ACTIVE_TUNNEL"));
  f.tunnels->set_load_error("load failed");
  EXPECT_EQ(Success(f.Call("watchdogDebug")), Value("load failed"));
  f.tunnels->set_load_error(std::nullopt);

  auto session = Session({"refused", std::nullopt});
  f.tunnels->set_connections({{TunnelStatus::kConnected, session}});
  EXPECT_EQ(Success(f.Call("watchdogDebug")), Value("SEND_ERROR: refused"));
  const std::string text = "APPGROUP suite=ok | #12 tick → leyendo handshake…";
  for (const auto& [payload, want] : std::vector<std::pair<Payload, std::string>>{
           {Payload(), "EMPTY_RESPONSE"}, {Bytes{0xFF}, "EMPTY_RESPONSE"}, {Bytes{}, ""}, {B(text), text}}) {
    session->set_response({std::nullopt, payload});
    EXPECT_EQ(Success(f.Call("watchdogDebug")), Value(want));
  }
  EXPECT_EQ(session->messages().back(), Bytes{0x02});
}

TEST_F(ControlChannelTest, AppGroupSettingsRoundTripThroughTheSuite) {
  auto key = [](const char* k) { return Value(ValueMap{{"key", k}}); };
  EXPECT_EQ(Success(f.Call("appGroupGet", key("wd_enabled"))), Value());
  EXPECT_EQ(Success(f.Call("appGroupSet", ValueMap{{"key", "wd_enabled"}, {"value", "1"}})),
            Value(true));
  EXPECT_EQ(f.defaults->Suite("group.net.kelvo.app")->Get("wd_enabled"), Value("1"));
  EXPECT_EQ(Success(f.Call("appGroupGet", key("wd_enabled"))), Value("1"));

  // A value that is not a string, or none, removes the key.
  for (Value removing : {Value(ValueMap{{"key", "wd_enabled"}, {"value", 1}}), key("wd_enabled")}) {
    f.Call("appGroupSet", ValueMap{{"key", "wd_enabled"}, {"value", "1"}});
    EXPECT_EQ(Success(f.Call("appGroupSet", removing)), Value(true));
    EXPECT_EQ(Success(f.Call("appGroupGet", key("wd_enabled"))), Value());
  }

  f.Call("appGroupSet", ValueMap{{"key", "wd_base_url"}, {"value", "https://x"}});
  EXPECT_EQ(Success(f.Call("appGroupRemove", key("wd_base_url"))), Value(true));
  EXPECT_EQ(f.defaults->Suite("group.net.kelvo.app")->Get("wd_base_url"), std::nullopt);

  // A stored value that is not a string reads as nil.
  f.defaults->Suite("group.net.kelvo.app")->Set("wd_broken", Value(1));
  EXPECT_EQ(Success(f.Call("appGroupGet", key("wd_broken"))), Value());
}

TEST_F(ControlChannelTest, AppGroupArgumentsMustBeAMapWithAStringKey) {
  const FlutterError bad = Err("BAD_ARGS", "key requerida");
  for (const char* method : {"appGroupSet", "appGroupGet", "appGroupRemove"}) {
    EXPECT_EQ(Failure(f.Call(method)), bad) << method;
    EXPECT_EQ(Failure(f.Call(method, Value("wd_enabled"))), bad) << method;
    EXPECT_EQ(Failure(f.Call(method, ValueMap{{"value", "1"}})), bad) << method;
    EXPECT_EQ(Failure(f.Call(method, ValueMap{{"key", 7}})), bad) << method;
  }
}

TEST(AppGroupWithoutSuite, SetAndRemoveAnswerTheStoresReasonAndGetNil) {
  // A root that cannot hold the container: the suite does not open.
  ShellFixture f;
  std::filesystem::remove_all(f.config.app_group_root);
  std::ofstream(f.config.app_group_root) << "not a directory";
  auto window = f.MakeWindow();
  window->AwakeFromNib();
  ASSERT_EQ(f.defaults->Suite("group.net.kelvo.app"), nullptr);
  for (const char* method : {"appGroupSet", "appGroupRemove"}) {
    FlutterError e = Failure(f.Call(method, ValueMap{{"key", "k"}, {"value", "v"}}));
    EXPECT_EQ(e.code, "STORAGE_ERROR") << method;
    EXPECT_NE(e.message.value_or("").find(f.config.app_group_root), std::string::npos) << e.message.value_or("");
  }
  EXPECT_EQ(Success(f.Call("appGroupGet", ValueMap{{"key", "k"}})), Value());
}

TEST_F(ControlChannelTest, AValueTheStoreCouldNotKeepIsAnErrorNotTrue) {
  const std::string file =
      f.config.app_group_root + "/group.net.kelvo.app/" + kAppGroupDefaultsFile;
  ASSERT_EQ(Success(f.Call("appGroupSet", ValueMap{{"key", "wd_enabled"}, {"value", "1"}})),
            Value(true));
  // Something in the way of the database file: nothing can be stored.
  std::filesystem::remove(file);
  std::filesystem::create_directory(file);
  FlutterError e =
      Failure(f.Call("appGroupSet", ValueMap{{"key", "wd_access_token"}, {"value", "t"}}));
  EXPECT_EQ(e.code, "STORAGE_ERROR");
  EXPECT_NE(e.message.value_or("").find("wd_access_token"), std::string::npos) << e.message.value_or("");
  EXPECT_NE(e.message.value_or("").find(file), std::string::npos) << e.message.value_or("");
  EXPECT_EQ(e.details, Value());
  EXPECT_EQ(Failure(f.Call("appGroupRemove", ValueMap{{"key", "wd_enabled"}})).code,
            "STORAGE_ERROR");
}

TEST_F(ControlChannelTest, RequestNotificationsGrantsWhenTheServiceAnswersAndRecordsIt) {
  const std::string container = f.config.app_group_root + "/group.net.kelvo.app";
  EXPECT_EQ(Success(f.Call("requestNotifications")), Value(true));
  EXPECT_EQ(ReadAuthorization(container), AuthorizationStatus::authorized);

  f.notifier->set_reachable(false);
  EXPECT_EQ(Success(f.Call("requestNotifications")), Value(false));
  EXPECT_EQ(ReadAuthorization(container), AuthorizationStatus::denied);
}

TEST_F(ControlChannelTest, LaunchAtLoginWritesAndRemovesTheAutostartEntry) {
  const std::string entry = f.autostart_dir + "/net.kelvo.app.desktop";
  EXPECT_EQ(Success(f.Call("getLaunchAtLogin")), Value(false));
  EXPECT_EQ(Success(f.Call("setLaunchAtLogin", ValueMap{{"enabled", false}})), Value(true));
  EXPECT_EQ(Success(f.Call("setLaunchAtLogin", ValueMap{{"enabled", true}})), Value(true));
  EXPECT_EQ(Success(f.Call("getLaunchAtLogin")), Value(true));
  std::ifstream in(entry);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), AutostartEntryText("/opt/kelvo/bin/kelvo"));
  EXPECT_EQ(Success(f.Call("setLaunchAtLogin", ValueMap{{"enabled", true}})), Value(true));

  EXPECT_EQ(Success(f.Call("setLaunchAtLogin", ValueMap{{"enabled", false}})), Value(true));
  EXPECT_EQ(Success(f.Call("getLaunchAtLogin")), Value(false));
  struct stat st;
  EXPECT_NE(::stat(entry.c_str(), &st), 0);
}

TEST_F(ControlChannelTest, SetLaunchAtLoginChecksItsArgumentAndReportsFailures) {
  const FlutterError bad = Err("BAD_ARGS", "enabled requerido");
  EXPECT_EQ(Failure(f.Call("setLaunchAtLogin", ValueMap{{"enabled", "true"}})), bad);
  EXPECT_EQ(Failure(f.Call("setLaunchAtLogin", ValueMap{{"enabled", 1}})), bad);
  EXPECT_EQ(Failure(f.Call("setLaunchAtLogin")), bad);

  // The autostart directory cannot be made: the system's description.
  std::filesystem::create_directories(f.dir.path() + "/config");
  std::ofstream(f.autostart_dir) << "a file where the directory goes";
  EXPECT_EQ(Failure(f.Call("setLaunchAtLogin", ValueMap{{"enabled", true}})),
            Err("LOGIN_ITEM_ERROR", std::strerror(ENOTDIR)));
  EXPECT_EQ(Success(f.Call("getLaunchAtLogin")), Value(false));
}

TEST_F(ControlChannelTest, OtherMethodsAreNotImplemented) {
  EXPECT_EQ(f.Call("GetRuntimeStats"), std::nullopt);
  EXPECT_EQ(f.Call("startTunnel"), std::nullopt);
  EXPECT_EQ(f.tunnels->loads(), 0);
}

TEST(AutostartEntry, QuotesThePathAsDesktopEntriesRequire) {
  std::string text = AutostartEntryText("/opt/My Apps/50%/\"k\"$x`y`\\kelvo");
  EXPECT_NE(text.find("\nExec=\"/opt/My Apps/50%%/\\\\\"k\\\\\"\\\\$x\\\\`y\\\\`\\\\\\\\kelvo\"\n"),
            std::string::npos)
      << text;
}

}  // namespace
}  // namespace kelvo
