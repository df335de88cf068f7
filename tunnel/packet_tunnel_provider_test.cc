#include "tunnel/packet_tunnel_provider.h"

#include "tunnel/provider_test_env.h"

namespace kelvo {
namespace {

using testing::kGoodConf;
using testing::ProviderEnv;

std::optional<ProviderError> StartWith(ProviderEnv& env, const std::optional<ValueMap>& options) {
  std::optional<ProviderError> result;
  bool called = false;
  env.provider->startTunnel(options, [&](std::optional<ProviderError> e) {
    result = e;
    called = true;
  });
  env.dispatch.RunUntilIdle();
  EXPECT_TRUE(called);
  return result;
}

bool Logged(ProviderEnv& env, const std::string& text) {
  auto texts = env.log_book->texts();
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

TEST(ProviderStartTest, RefusesMissingOrBlankConfiguration) {
  ProviderEnv env;
  const std::optional<ValueMap> cases[] = {
      std::nullopt,
      ValueMap{},
      ValueMap{{Value("other"), Value(kGoodConf)}},
      ValueMap{{Value("cfg"), Value(3)}},
      ValueMap{{Value("cfg"), Value("  \n")}},
      ValueMap{{Value("cfg"), Value("\t\xC2\xA0\r\n")}},
  };
  for (const auto& options : cases) {
    auto e = StartWith(env, options);
    ASSERT_TRUE(e);
    EXPECT_EQ(*e, (ProviderError{"Drimo.PacketTunnelProvider", -1, "missing cfg in options"}));
  }
  EXPECT_FALSE(env.provider->timerArmed());
}

TEST(ProviderStartTest, ParseErrorsAndAdapterErrorsReachTheSystem) {
  ProviderEnv env;
  auto bad = StartWith(env, ValueMap{{Value("cfg"), Value("[Interface]\nAddress = nope\n")}});
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->domain, "Drimo.PacketTunnelProvider");
  EXPECT_EQ(bad->description.rfind("invalid cfg: ", 0), 0u) << bad->description;
  EXPECT_EQ(env.adapter, nullptr) << "the adapter must not be created for a bad text";

  // Surrounding blank lines do not matter; the text is parsed as given.
  env.provider->stopTunnel(0, [] {});  // creates the adapter
  env.dispatch.RunUntilIdle();
  env.adapter->SetStartError(AdapterError("no tun device"));
  auto failed = StartWith(env, ValueMap{{Value("cfg"), Value(std::string("\n\n") + kGoodConf + "\n")}});
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->domain, kAdapterErrorDomain);
  EXPECT_EQ(failed->description, "no tun device");
  EXPECT_FALSE(env.provider->timerArmed());
  EXPECT_TRUE(Logged(env, "startTunnel adapter error: no tun device"));
}

TEST(ProviderStartTest, SuccessArmsOneTimerAndResetsTheCount) {
  ProviderEnv env;
  env.StartTunnel();
  EXPECT_TRUE(env.provider->timerArmed());
  EXPECT_TRUE(env.HasLine("startTunnel OK — arrancando watchdog"));

  // A second start re-arms: still one tick per interval.
  env.provider->stopTunnel(1, [] {});
  env.dispatch.RunUntilIdle();
  EXPECT_FALSE(env.provider->timerArmed());
  env.StartTunnel();
  env.dispatch.AdvanceBy(std::chrono::seconds(30));
  EXPECT_EQ(env.CountLines("tick SKIP wd_enabled=nil"), 1u);
}

TEST(ProviderStartTest, StopWithoutStartCompletes) {
  ProviderEnv env;
  bool stopped = false;
  env.provider->stopTunnel(2, [&] { stopped = true; });
  env.dispatch.RunUntilIdle();
  EXPECT_TRUE(stopped);
  ASSERT_NE(env.adapter, nullptr);
  EXPECT_EQ(env.adapter->stop_calls(), 1);
  EXPECT_TRUE(Logged(env, "Drimo stopTunnel reason=2"));
}

TEST(ProviderDebugLogTest, KeepsTheNewestFortyAndPublishesTheLast) {
  ProviderEnv env;
  env.StartTunnel();  // two lines
  for (int i = 0; i < 39; ++i) env.provider->wake();  // "tick SKIP wd_enabled=nil" each
  env.dispatch.RunUntilIdle();
  auto lines = env.provider->debugLines();
  ASSERT_EQ(lines.size(), 40u);
  EXPECT_EQ(lines.front().rfind("#2 ", 0), 0u);
  EXPECT_EQ(lines.back(), "#41 tick SKIP wd_enabled=nil");
  EXPECT_EQ(env.Get("wd_debug"), "#41 tick SKIP wd_enabled=nil");

  // Numbering goes on across stop and start.
  env.provider->stopTunnel(0, [] {});
  env.dispatch.RunUntilIdle();
  env.StartTunnel();
  EXPECT_EQ(env.provider->debugLines().back().substr(0, 4), "#43 ");
}

TEST(ProviderDebugLogTest, UnavailableStoreStillBuffersAndLogs) {
  ProviderEnv env;
  env.StartTunnel();  // lines #1 and #2
  env.controls->suites_available = false;
  env.provider->wake();
  env.dispatch.RunUntilIdle();
  EXPECT_TRUE(Logged(env, "Drimo wd: #3 tick SKIP wd_enabled=nil"));
  env.controls->suites_available = true;
  EXPECT_EQ(env.Get("wd_debug"), "#2 watchdog timer armado (30s)");
}

std::optional<std::string> Message(ProviderEnv& env, std::vector<uint8_t> bytes) {
  std::optional<std::optional<std::vector<uint8_t>>> reply;
  env.provider->handleAppMessage(bytes, [&](std::optional<std::vector<uint8_t>> r) { reply = r; });
  env.dispatch.RunUntilIdle();
  EXPECT_TRUE(reply) << "every message with a completion gets one answer";
  if (!reply || !*reply) return std::nullopt;
  return std::string((*reply)->begin(), (*reply)->end());
}

TEST(AppMessageTest, AnswersTheThreeRequestsAndNothingElse) {
  ProviderEnv env;
  EXPECT_EQ(Message(env, {0x01}), "pong");
  EXPECT_EQ(Message(env, {0x01, 0x01}), std::nullopt);
  EXPECT_EQ(Message(env, {}), std::nullopt);
  EXPECT_EQ(Message(env, {0x07}), std::nullopt);
  EXPECT_EQ(Message(env, {0x00}), std::nullopt) << "no tunnel, no runtime configuration";
  EXPECT_EQ(Message(env, {0x02}),
            "APPGROUP suite=ok wd_enabled=NIL base=NIL token=NIL timer=false conf=NIL body=[NIL]");

  env.StartTunnel();
  auto runtime = Message(env, {0x00});
  ASSERT_TRUE(runtime);
  EXPECT_NE(runtime->find("last_handshake_time_sec="), std::string::npos);
}

TEST(AppMessageTest, ReportShowsSettingsButNeverTheToken) {
  ProviderEnv env;
  env.Set("wd_enabled", "1");
  env.Set("wd_access_token", "secret-token-value");
  env.Set("wd_notif_body", "x | y");
  env.StartTunnel();
  auto report = Message(env, {0x02});
  ASSERT_TRUE(report);
  EXPECT_EQ(report->find("secret"), std::string::npos);
  EXPECT_EQ(report->rfind("APPGROUP suite=ok wd_enabled=1 base=NIL token=SET timer=true "
                          "conf=NIL body=[x | y] | #",
                          0),
            0u)
      << *report;

  env.controls->suites_available = false;
  EXPECT_EQ(Message(env, {0x02})->rfind("APPGROUP suite=NIL_SUITE wd_enabled=NIL base=NIL token=NIL "
                                        "timer=true conf=NIL body=[NIL] | #",
                                        0),
            0u);
}

TEST(ProviderLifetimeTest, DestructionWithWorkInFlightIsSafe) {
  ProviderEnv env;
  env.StartTunnel();
  env.Set("wd_enabled", "1");
  env.Set("wd_access_token", "t");
  env.Set("wd_conf_url", "http://127.0.0.1:9/conf");
  env.SetHandshakeAge(500);
  env.tcp->SetScript({{TcpState::kReady, 0}});
  env.dispatch.AdvanceBy(std::chrono::seconds(30));  // tick, probe, recover: request pending
  ASSERT_NE(env.session, nullptr);
  ASSERT_EQ(env.session->pending_count(), 1u);
  std::optional<std::vector<uint8_t>> report;
  bool answered = false;
  env.provider->handleAppMessage({0x02}, [&](auto r) {
    report = r;
    answered = true;
  });
  std::weak_ptr<PacketTunnelProvider> weak = env.provider;
  env.provider.reset();
  EXPECT_TRUE(weak.expired());
  // The session went with the provider and cancelled its request; the
  // completion still runs and must find nothing to touch.
  env.dispatch.AdvanceBy(std::chrono::seconds(120));
  EXPECT_TRUE(answered);
  EXPECT_FALSE(report);
}

}  // namespace
}  // namespace kelvo
