#include <cerrno>

#include "tunnel/provider_test_env.h"

namespace kelvo {
namespace {

using std::chrono::seconds;
using testing::ProviderEnv;

class WatchdogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env.StartTunnel();
    env.Set("wd_enabled", "1");
  }
  // One timer tick, with everything it sets off (probe included).
  void Tick() { env.dispatch.AdvanceBy(seconds(30)); }
  // A healthy tick (alert threshold now 2), then two failing ones.
  void FailTwiceAfterHealthy() {
    env.SetHandshakeAge(10);
    Tick();
    env.SetHandshakeAge(1000);
    env.tcp->SetScript({{TcpState::kReady, 0}});
    Tick();
    Tick();
  }

  ProviderEnv env;
};

TEST_F(WatchdogTest, OnlyExactlyOneEnablesTheChecks) {
  for (const char* value : {"0", "true", " 1"}) {
    env.Set("wd_enabled", value);
    Tick();
    EXPECT_EQ(env.Lines().back(), std::string("tick SKIP wd_enabled=") + value);
  }
  env.controls->suites_available = false;
  Tick();
  EXPECT_EQ(env.Lines().back(), "tick SKIP wd_enabled=nil");
  EXPECT_EQ(env.adapter->runtime_queries(), 0);
}

TEST_F(WatchdogTest, HandshakeAgeThresholdIs180Seconds) {
  // The tick lands 30 s later.
  env.adapter->SetHandshakeTime(size_t{0}, static_cast<int64_t>(env.dispatch.WallSeconds() + 30 - 179));
  Tick();
  EXPECT_TRUE(env.HasLine("hsAge=179 healthy=true failCount=0"));
  EXPECT_EQ(env.Get("wd_broken"), "0");

  env.adapter->SetHandshakeTime(size_t{0}, static_cast<int64_t>(env.dispatch.WallSeconds() + 30 - 180));
  env.tcp->SetScript({{TcpState::kFailed, ENETDOWN}});
  Tick();
  EXPECT_TRUE(env.HasLine("hsAge=180 healthy=false failCount=0"));
  EXPECT_EQ(env.Lines().back(), "probe 1.1.1.1 KO — sin internet, no cuenta");
  ASSERT_EQ(env.tcp->connections().size(), 1u);
  EXPECT_EQ(env.tcp->connections()[0]->port(), 443);
  EXPECT_TRUE(env.tcp->connections()[0]->cancelled());
}

TEST_F(WatchdogTest, NoHandshakeOrNoRuntimeIsUnhealthy) {
  env.adapter->SetHandshakeTime(size_t{0}, 0);
  env.tcp->SetScript({});
  Tick();
  EXPECT_TRUE(env.HasLine("hsAge=nil healthy=false failCount=0"));
  env.dispatch.AdvanceBy(seconds(4));  // the probe times out
  env.adapter->SetRuntimeUnavailable(true);
  Tick();
  EXPECT_EQ(env.CountLines("hsAge=nil healthy=false failCount=0"), 2u);
}

TEST(HandshakeAgeTest, NewestPeerCountsAndJunkIsIgnored) {
  const std::string runtime =
      "public_key=aa\nlast_handshake_time_sec=0\n\n"
      "public_key=bb\nlast_handshake_time_sec=1000\nlast_handshake_time_nsec=5\n"
      "last_handshake_time_sec=abc\nx_last_handshake_time_sec=5000\n";
  EXPECT_EQ(NewestHandshakeAge(runtime, 1012.5), 12.5);
  EXPECT_EQ(NewestHandshakeAge("last_handshake_time_sec=0\n", 5), std::nullopt);
  EXPECT_EQ(NewestHandshakeAge("", 5), std::nullopt);
}

TEST_F(WatchdogTest, RefusedProbeCountsAndSevenFailuresAlert) {
  env.SetHandshakeAge(1000);
  env.tcp->SetScript({{TcpState::kWaiting, ECONNREFUSED}});
  for (int i = 1; i <= 7; ++i) {
    Tick();  // recovery fails at once: no access token
    EXPECT_TRUE(env.HasLine("intento fallido #" + std::to_string(i) +
                            "/7 wasHealthy=false (split=false)"))
        << i;
  }
  EXPECT_EQ(env.CountLines("→ recover (split=false)"), 7u);
  EXPECT_EQ(env.CountLines("→ NOTIFICAR y reset contador"), 1u);
  EXPECT_EQ(env.Get("wd_broken"), "1");
  auto requests = env.center->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].content.title, "Kelvo");
  EXPECT_EQ(requests[0].content.body, "VPN tunnel is not responding.");
  EXPECT_EQ(requests[0].identifier,
            "kelvo.tunnel.broken." + std::to_string(static_cast<int64_t>(env.dispatch.WallSeconds())));
  EXPECT_EQ(requests[0].trigger_interval_seconds, 1.0);
  EXPECT_TRUE(env.HasLine("notif authStatus=2"));
  EXPECT_TRUE(env.HasLine("notif PROGRAMADA " + requests[0].identifier));
}

TEST_F(WatchdogTest, AfterAHealthyTickTwoFailuresAlertThenSevenAgain) {
  env.Set("wd_split_tunnel", "1");
  env.Set("wd_notif_body", "");
  FailTwiceAfterHealthy();
  EXPECT_TRUE(env.HasLine("intento fallido #2/2 wasHealthy=true (split=true)"));
  EXPECT_EQ(env.center->requests().size(), 1u);
  EXPECT_EQ(env.center->requests()[0].content.body, "") << "an empty body is used unchanged";
  Tick();
  EXPECT_TRUE(env.HasLine("intento fallido #1/7 wasHealthy=false (split=true)"));
}

TEST_F(WatchdogTest, UnauthorisedNotificationsAreNotPosted) {
  env.center->set_status(AuthorizationStatus::ephemeral);
  FailTwiceAfterHealthy();
  EXPECT_TRUE(env.HasLine("notif authStatus=4"));
  EXPECT_TRUE(env.HasLine("notif NO autorizadas — no se puede avisar"));
  EXPECT_TRUE(env.center->requests().empty());
  EXPECT_EQ(env.Get("wd_broken"), "1");
}

TEST_F(WatchdogTest, WakeDuringAProbeIsSkipped) {
  env.SetHandshakeAge(1000);
  env.tcp->SetScript({});  // the probe hangs until its timeout
  Tick();
  env.provider->wake();
  env.dispatch.RunUntilIdle();
  EXPECT_EQ(env.Lines().back(), "tick SKIP probing=true recovering=false");
  env.dispatch.AdvanceBy(seconds(4));
  EXPECT_EQ(env.Lines().back(), "probe 1.1.1.1 KO — sin internet, no cuenta");
  EXPECT_EQ(env.tcp->connections().size(), 1u) << "one probe at a time";
}

// One stale reading is one outage, however many ticks come while it is
// pending: after a healthy phase (threshold 2) it must not alert alone.
TEST_F(WatchdogTest, TicksDuringASlowReadingAreSkippedAndCountOnce) {
  Tick();  // healthy: the threshold is now 2
  ASSERT_TRUE(env.HasLine("hsAge=30 healthy=true failCount=0"));
  env.SetHandshakeAge(1000);
  env.tcp->SetScript({{TcpState::kReady, 0}});
  env.adapter->SetHoldCompletions(true);  // the runtime read hangs
  Tick();
  env.provider->wake();
  Tick();
  env.dispatch.RunUntilIdle();
  EXPECT_EQ(env.CountLines("tick SKIP reading=true probing=false recovering=false"), 2u);
  EXPECT_EQ(env.adapter->runtime_queries(), 2) << "one per reading, the healthy one included";
  env.adapter->SetHoldCompletions(false);
  ASSERT_TRUE(env.adapter->ReleaseCompletion(0));
  env.dispatch.RunUntilIdle();
  EXPECT_EQ(env.CountLines("intento fallido #1/2 wasHealthy=true (split=false)"), 1u);
  EXPECT_FALSE(env.HasLine("→ NOTIFICAR y reset contador"));
  EXPECT_EQ(env.CountLines("recover: entrando (split=false) recovering=true"), 1u);
  EXPECT_EQ(env.tcp->connections().size(), 1u);
}

TEST_F(WatchdogTest, StuckRecoveryBlocksForNinetySecondsOnly) {
  env.SetHandshakeAge(1000);
  env.Set("wd_access_token", "t");
  env.Set("wd_conf_url", "http://127.0.0.1:9/conf");
  env.tcp->SetScript({{TcpState::kReady, 0}});
  Tick();  // t=60: recovery starts, its request never answers
  ASSERT_TRUE(env.HasLine("recover: entrando (split=false) recovering=true"));
  Tick();  // 30 s
  Tick();  // 60 s
  Tick();  // 90 s: exactly 90 is not enough
  EXPECT_EQ(env.CountLines("tick SKIP probing=false recovering=true"), 3u);
  Tick();  // 120 s: abandoned, reads the handshake again
  EXPECT_EQ(env.CountLines("tick → leyendo handshake…"), 2u);
}

}  // namespace
}  // namespace kelvo
