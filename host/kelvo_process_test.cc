// The host as a real process: a `kelvo` on a temporary engine socket,
// driven as the user interface would, with fake tunnel extensions serving
// control sockets and, for notifications, a fake notification service on a
// private session bus.
#include "host/testing/kelvo_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "host/testing/fake_tunnel_extension.h"
#include "platform/defaults/user_defaults.h"
#include "platform/desktop_notify/fake_notification_service.h"
#include "platform/desktop_notify/fake_session_bus.h"
#include "platform/engine/method_codec.h"
#include "platform/notifications/notification_spool.h"

namespace kelvo {
namespace {

using testing::CallReply;
using testing::FakeTunnelExtension;
using testing::HostEnvironment;
using testing::KelvoProcess;

::testing::AssertionResult IsSuccess(const CallReply& r, const Value& expected) {
  if (r.value && *r.value == expected) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "got " << r.Describe() << ", expected success " << expected.DebugString();
}

::testing::AssertionResult IsError(const CallReply& r, const std::string& code,
                                   const std::string& message) {
  if (r.error && r.error->code == code && r.error->message == message &&
      r.error->details.is_null()) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "got " << r.Describe() << ", expected " << code << " / " << message;
}

class KelvoProcessTest : public ::testing::Test {
 protected:
  void StartKelvo() { ASSERT_EQ(kelvo_.Start(), std::nullopt); }
  std::unique_ptr<FakeTunnelExtension> Extension(const std::string& file, TunnelStatus status) {
    auto ext = std::make_unique<FakeTunnelExtension>(env_.tunnels_dir(), file,
                                                     env_.root() + "/" + file + ".sock", status);
    EXPECT_TRUE(ext->ok()) << ext->error();
    return ext;
  }
  // The test's own view of the stores, as another process of the user.
  std::unique_ptr<UserDefaultsSystem> Defaults() {
    DefaultsConfig config;
    config.app_group_root = env_.app_group_root();
    config.data_home = env_.data_home();
    return OpenUserDefaultsSystem(config);
  }

  HostEnvironment env_;
  KelvoProcess kelvo_{env_};
};

TEST_F(KelvoProcessTest, TunnelMethodsWithoutAnyTunnel) {
  StartKelvo();
  EXPECT_TRUE(IsError(kelvo_.Call("getRuntimeStats"), "NO_ACTIVE_TUNNEL", "No hay túnel activo"));
  EXPECT_TRUE(IsError(kelvo_.Call("pingTunnel"), "NO_ACTIVE_TUNNEL", "No hay túnel activo"));
  EXPECT_TRUE(IsSuccess(kelvo_.Call("watchdogDebug"), "NO_ACTIVE_TUNNEL"));
  EXPECT_EQ(kelvo_.Stop(SIGTERM), 0);
}

TEST_F(KelvoProcessTest, TunnelMethodsReachTheRunningExtension) {
  auto ext = Extension("a.json", TunnelStatus::kConnected);
  StartKelvo();
  // Running, but its adapter has no runtime configuration.
  EXPECT_TRUE(IsError(kelvo_.Call("getRuntimeStats"), "EMPTY_PROVIDER_RESPONSE",
                      "El provider no devolvió datos"));
  ext->set_runtime_configuration("private_key=…\nrx_bytes=10\n");
  EXPECT_TRUE(IsSuccess(kelvo_.Call("getRuntimeStats"), "private_key=…\nrx_bytes=10\n"));
  EXPECT_TRUE(IsSuccess(kelvo_.Call("pingTunnel"), "pong"));
  ext->set_report("APPGROUP suite=ok wd_enabled=1 | #3 tick → leyendo handshake…");
  EXPECT_TRUE(IsSuccess(kelvo_.Call("watchdogDebug"),
                        "APPGROUP suite=ok wd_enabled=1 | #3 tick → leyendo handshake…"));
  EXPECT_EQ(ext->messages(), (std::vector<std::vector<uint8_t>>{{0x00}, {0x00}, {0x01}, {0x02}}));
  EXPECT_EQ(kelvo_.Stop(SIGTERM), 0);
}

TEST_F(KelvoProcessTest, TheWalkChoosesAmongSeveralProfilesAndReloadsEveryCall) {
  auto a = Extension("10-a.json", TunnelStatus::kDisconnected);
  auto b = Extension("20-b.json", TunnelStatus::kConnecting);
  auto c = Extension("30-c.json", TunnelStatus::kConnected);
  a->set_runtime_configuration("a");
  b->set_runtime_configuration("b");
  c->set_runtime_configuration("c");
  StartKelvo();
  EXPECT_TRUE(IsSuccess(kelvo_.Call("getRuntimeStats"), "b"));  // first active, in file order
  b->set_status(TunnelStatus::kDisconnecting);
  EXPECT_TRUE(IsSuccess(kelvo_.Call("getRuntimeStats"), "c"));
  c->set_status(TunnelStatus::kDisconnected);
  EXPECT_TRUE(IsSuccess(kelvo_.Call("getRuntimeStats"), "a"));  // none active: the first

  // A profile whose extension is gone comes first: it is disconnected, so
  // with nothing active its session is chosen, and the send fails.
  ASSERT_EQ(WriteTunnelProfile(env_.tunnels_dir(), "00-gone.json",
                               {"gone", env_.root() + "/gone.sock", "00-gone.json"}),
            std::nullopt);
  CallReply gone = kelvo_.Call("pingTunnel");
  ASSERT_TRUE(gone.error) << gone.Describe();
  EXPECT_EQ(gone.error->code, "SEND_PROVIDER_MESSAGE_ERROR");
  EXPECT_FALSE(gone.error->message.value_or("").empty());
  EXPECT_TRUE(gone.error->details.is_null());
  CallReply report = kelvo_.Call("watchdogDebug");
  ASSERT_TRUE(report.value && report.value->is_string()) << report.Describe();
  EXPECT_EQ(report.value->as_string().rfind("SEND_ERROR: ", 0), 0u) << report.Describe();
  EXPECT_EQ(kelvo_.Stop(SIGTERM), 0);
}

TEST_F(KelvoProcessTest, AnExtensionThatNeverAnswersHoldsOnlyItsOwnCall) {
  auto ext = Extension("a.json", TunnelStatus::kConnected);
  ext->set_hold(true);
  StartKelvo();
  auto answered = std::make_shared<std::atomic<bool>>(false);
  kelvo_.client().Send("drimo/wg_ios",
                       MethodCodec::Standard().EncodeMethodCall({"pingTunnel", Value()}),
                       [answered](Payload) { *answered = true; });
  for (int i = 0; i < 250 && ext->messages().empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(ext->messages().size(), 1u);
  // The main queue is free: other calls are answered meanwhile.
  EXPECT_TRUE(IsSuccess(kelvo_.Call("appGroupGet", ValueMap{{"key", "k"}}), Value()));
  EXPECT_FALSE(answered->load());
  EXPECT_EQ(kelvo_.Stop(SIGTERM), 0);
}

TEST_F(KelvoProcessTest, AnUnreadableProfileDirectoryIsALoadError) {
  std::filesystem::create_directories(env_.app_group_container());
  std::ofstream(env_.tunnels_dir()) << "not a directory";
  StartKelvo();
  CallReply stats = kelvo_.Call("getRuntimeStats");
  ASSERT_TRUE(stats.error) << stats.Describe();
  EXPECT_EQ(stats.error->code, "LOAD_TUNNEL_ERROR");
  ASSERT_TRUE(stats.error->message);
  EXPECT_NE(stats.error->message->find("Not a directory"), std::string::npos);
  EXPECT_TRUE(IsSuccess(kelvo_.Call("watchdogDebug"), *stats.error->message));
  EXPECT_EQ(kelvo_.Stop(SIGTERM), 0);
}

TEST_F(KelvoProcessTest, SettingsAreSharedWithOtherProcesses) {
  StartKelvo();
  EXPECT_TRUE(
      IsSuccess(kelvo_.Call("appGroupSet", ValueMap{{"key", "wd_enabled"}, {"value", "1"}}), true));
  auto defaults = Defaults();
  EXPECT_EQ(defaults->Suite("group.net.kelvo.app")->Get("wd_enabled"), Value("1"));

  defaults->Suite("group.net.kelvo.app")->Set("wd_debug", Value("#7 tick OK"));
  EXPECT_TRUE(IsSuccess(kelvo_.Call("appGroupGet", ValueMap{{"key", "wd_debug"}}), "#7 tick OK"));
  EXPECT_TRUE(IsSuccess(kelvo_.Call("appGroupRemove", ValueMap{{"key", "wd_debug"}}), true));
  EXPECT_EQ(defaults->Suite("group.net.kelvo.app")->Get("wd_debug"), std::nullopt);
  EXPECT_TRUE(IsError(kelvo_.Call("appGroupGet", Value("wd_debug")), "BAD_ARGS", "key requerida"));
  EXPECT_EQ(kelvo_.Stop(SIGTERM), 0);
}

TEST_F(KelvoProcessTest, LaunchAtLoginIsTheAutostartEntryStartingThisExecutable) {
  StartKelvo();
  const std::string entry = env_.config_home() + "/autostart/net.kelvo.app.desktop";
  EXPECT_TRUE(IsSuccess(kelvo_.Call("getLaunchAtLogin"), false));
  EXPECT_TRUE(IsSuccess(kelvo_.Call("setLaunchAtLogin", ValueMap{{"enabled", true}}), true));
  std::ifstream in(entry);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string binary = std::filesystem::canonical(KELVO_BINARY).string();
  EXPECT_NE(text.find("\nExec=\"" + binary + "\"\n"), std::string::npos) << text;
  EXPECT_TRUE(IsSuccess(kelvo_.Call("getLaunchAtLogin"), true));
  EXPECT_TRUE(IsError(kelvo_.Call("setLaunchAtLogin", ValueMap{{"enabled", "true"}}), "BAD_ARGS",
                      "enabled requerido"));
  EXPECT_TRUE(IsSuccess(kelvo_.Call("setLaunchAtLogin", ValueMap{{"enabled", false}}), true));
  EXPECT_FALSE(std::filesystem::exists(entry));
  EXPECT_EQ(kelvo_.Stop(SIGINT), 0);
}

TEST_F(KelvoProcessTest, WithoutANotificationServicePermissionIsDeniedAndRequestsStaySpooled) {
  StartKelvo();
  EXPECT_TRUE(IsSuccess(kelvo_.Call("requestNotifications"), false));
  EXPECT_EQ(ReadAuthorization(env_.app_group_container()), AuthorizationStatus::denied);
  SpooledNotification n{{"kelvo.tunnel.broken.1", {"Kelvo", "x", true}, 1.0, false}, 0};
  ASSERT_EQ(SpoolNotification(env_.app_group_container(), n), std::nullopt);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // one poll at least
  EXPECT_EQ(SpoolReader(env_.app_group_container()).Pending().entries.size(), 1u);
  EXPECT_EQ(kelvo_.Stop(SIGTERM), 0);
}

TEST_F(KelvoProcessTest, DeliversSpooledNotificationsToTheDesktopService) {
  FakeSessionBus bus;
  if (auto error = bus.Start()) GTEST_SKIP() << *error;
  FakeNotificationService service;
  ASSERT_EQ(service.Start(bus.address()), std::nullopt);
  env_.bus_address = bus.address();
  StartKelvo();
  EXPECT_TRUE(IsSuccess(kelvo_.Call("requestNotifications"), true));
  EXPECT_EQ(ReadAuthorization(env_.app_group_container()), AuthorizationStatus::authorized);

  // As the extension leaves it: created a while ago, due after 1 s.
  SpooledNotification n{{"kelvo.tunnel.broken.1800000000",
                         {"Kelvo", "VPN tunnel is not responding.", true},
                         1.0,
                         false},
                        1.0};
  ASSERT_EQ(SpoolNotification(env_.app_group_container(), n), std::nullopt);
  ASSERT_TRUE(service.WaitForCount(1, std::chrono::seconds(8)));
  ReceivedNotification got = service.received()[0];
  EXPECT_EQ(got.app_name, "Kelvo");
  EXPECT_EQ(got.summary, "Kelvo");
  EXPECT_EQ(got.body, "VPN tunnel is not responding.");
  EXPECT_EQ(got.hints.at("sound-name"), "message-new-instant");
  // Delivered requests leave the spool.
  for (int i = 0; i < 100 && !SpoolReader(env_.app_group_container()).Pending().entries.empty();
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(SpoolReader(env_.app_group_container()).Pending().entries.empty());
  EXPECT_EQ(kelvo_.Stop(SIGTERM), 0);
}

TEST_F(KelvoProcessTest, UnknownMethodsAreNotImplementedAndSignalsEndTheProcessCleanly) {
  StartKelvo();
  CallReply r = kelvo_.Call("noSuchMethod");
  EXPECT_TRUE(r.transport_error.empty()) << r.Describe();
  EXPECT_FALSE(r.answered);
  EXPECT_EQ(kelvo_.Stop(SIGINT), 0);
  EXPECT_FALSE(std::filesystem::exists(env_.engine_socket()));
}

TEST(KelvoCommandLine, HelpDescribesTheOptions) {
  HostEnvironment env;
  std::string out;
  EXPECT_EQ(testing::RunKelvo(env, {"--help"}, &out), 0);
  EXPECT_NE(out.find("--engine-socket"), std::string::npos) << out;
  EXPECT_NE(testing::RunKelvo(env, {"--no-such-option"}, &out), 0);
}

}  // namespace
}  // namespace kelvo
