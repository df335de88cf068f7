// Recovery and the configuration service client, driven by watchdog ticks.
#include <nlohmann/json.hpp>

#include "platform/http/curl_url_session.h"
#include "platform/http/testing/loopback_http_server.h"
#include "tunnel/provider_test_env.h"

namespace kelvo {
namespace {

using std::chrono::seconds;
using testing::kFreshConf;
using testing::ProviderEnv;

// Puts the tunnel in the state where the next tick starts a recovery.
void BreakTunnel(ProviderEnv& env) {
  env.StartTunnel();
  env.Set("wd_enabled", "1");
  env.SetHandshakeAge(1000);
  env.tcp->SetScript({{TcpState::kReady, 0}});
}

// As BreakTunnel, with a token and a service that will be asked.
void BreakTunnelWithService(ProviderEnv& env) {
  BreakTunnel(env);
  env.Set("wd_access_token", "tok");
  env.Set("wd_conf_url", "http://svc.test/conf");
}

std::vector<std::string> From(const std::vector<std::string>& lines, const std::string& first) {
  auto it = std::find(lines.begin(), lines.end(), first);
  return {it, lines.end()};
}

TEST(RecoveryTest, MissingTokenEndsAtOnce) {
  ProviderEnv env;
  BreakTunnel(env);
  env.dispatch.AdvanceBy(seconds(30));
  EXPECT_EQ(From(env.Lines(), "recover: entrando (split=false) recovering=true"),
            (std::vector<std::string>{"recover: entrando (split=false) recovering=true",
                                      "fetchFreshConf: faltan conf_url/token en App Group",
                                      "recover: fetch conf KO"}));
}

TEST(RecoveryTest, AppliesTheFreshConfigurationInPlace) {
  ProviderEnv env;
  BreakTunnel(env);
  env.Set("wd_access_token", "tok");
  env.Set("wd_base_url", "http://svc.test");
  env.Set("wd_split_tunnel", "1");
  env.Set("wd_split_allowed", " 10.0.0.0/8 ");
  env.dispatch.AdvanceBy(seconds(30));
  ASSERT_NE(env.session, nullptr);
  ASSERT_EQ(env.session->requests().size(), 1u);
  EXPECT_EQ(env.session->requests()[0].url, "http://svc.test/kelvo/invited/conf/");
  env.session->Respond(200, nlohmann::json{{"conf", kFreshConf}, {"local_ip", "10.8.0.9"}}.dump());
  env.dispatch.RunUntilIdle();
  EXPECT_TRUE(env.HasLine("recover: conf OK, adapter.update…"));
  EXPECT_EQ(env.Lines().back(), "recover: conf reaplicado — próximo tick valida");
  EXPECT_EQ(env.adapter->update_calls(), 1);
  auto applied = env.adapter->configuration();
  ASSERT_TRUE(applied);
  ASSERT_EQ(applied->peers.size(), 1u);
  EXPECT_EQ(applied->peers[0].persistent_keepalive, 25);
  ASSERT_EQ(applied->peers[0].allowed_ips.size(), 1u);
  EXPECT_EQ(applied->peers[0].allowed_ips[0].ToString(), "10.0.0.0/8");
  // The repaired tunnel is judged healthy by the next tick.
  env.dispatch.AdvanceBy(seconds(30));
  EXPECT_EQ(env.Get("wd_broken"), "0");
}

TEST(RecoveryTest, EveryEndClearsTheFlags) {
  struct Case {
    int status;
    std::string body;
    std::optional<AdapterError> update_error;
    std::string last_line;
  } cases[] = {
      {200, nlohmann::json{{"conf", "[Interface]\nPrivateKey = short\n"}}.dump(), std::nullopt,
       "recover: cfg inválido"},
      {200, "no configuration here", std::nullopt, "recover: fetch conf KO"},
      {500, kFreshConf, std::nullopt, "recover: fetch conf KO"},
      {200, kFreshConf, AdapterError("device gone"), "recover: adapter.update KO device gone"},
  };
  for (const auto& c : cases) {
    ProviderEnv env;
    BreakTunnelWithService(env);
    env.adapter->SetUpdateError(c.update_error);
    env.dispatch.AdvanceBy(seconds(30));
    env.session->Respond(c.status, c.body);
    env.dispatch.RunUntilIdle();
    EXPECT_EQ(env.Lines().back(), c.last_line);
    env.dispatch.AdvanceBy(seconds(30));
    EXPECT_EQ(env.CountLines("tick → leyendo handshake…"), 2u) << c.last_line;
  }
}

TEST(RecoveryTest, AnAbandonedRecoveryCompletingLateChangesNothing) {
  ProviderEnv env;
  BreakTunnelWithService(env);
  env.dispatch.AdvanceBy(seconds(30));  // recovery 1 starts; its request hangs
  env.dispatch.AdvanceBy(seconds(120));  // abandoned; recovery 2 starts, hangs too
  ASSERT_EQ(env.CountLines("recover: entrando (split=false) recovering=true"), 2u);
  ASSERT_EQ(env.session->pending_count(), 2u);

  env.session->Respond(200, kFreshConf);  // recovery 1, late
  env.dispatch.RunUntilIdle();
  EXPECT_FALSE(env.HasLine("recover: conf OK, adapter.update…"));
  EXPECT_EQ(env.adapter->update_calls(), 0);
  env.dispatch.AdvanceBy(seconds(30));
  EXPECT_EQ(env.Lines().back(), "tick SKIP probing=false recovering=true")
      << "recovery 2 still holds the watchdog";

  env.session->Respond(200, kFreshConf);  // recovery 2
  env.dispatch.RunUntilIdle();
  EXPECT_EQ(env.Lines().back(), "recover: conf reaplicado — próximo tick valida");
  EXPECT_EQ(env.adapter->update_calls(), 1);
}

TEST(RecoveryTest, AStopEndsTheRecoveryInFlight) {
  ProviderEnv env;
  BreakTunnelWithService(env);
  env.dispatch.AdvanceBy(seconds(30));
  ASSERT_EQ(env.session->pending_count(), 1u);
  env.provider->stopTunnel(0, [] {});
  env.dispatch.RunUntilIdle();
  EXPECT_EQ(env.session->pending_count(), 0u) << "its request is cancelled";
  env.dispatch.AdvanceBy(std::chrono::minutes(10));
  EXPECT_EQ(env.adapter->update_calls(), 0);
  EXPECT_EQ(env.session->requests().size(), 1u);
  EXPECT_FALSE(env.HasLine("recover: fetch conf KO"));
}

// The client against a real HTTP server on loopback.
class ConfigServiceTest : public ::testing::Test {
 protected:
  ConfigServiceTest()
      : server([this](const ServedRequest& r) { return Serve(r); }),
        env([](std::shared_ptr<Queue> q) {
          CurlUrlSessionOptions options;
          options.request_timeout = std::chrono::seconds(2);
          options.resource_timeout = std::chrono::seconds(3);
          return std::make_shared<CurlUrlSession>(q, options);
        }) {}

  void SetUp() override {
    ASSERT_TRUE(server.ok());
    BreakTunnel(env);
    env.Set("wd_base_url", server.Url(""));
    env.Set("wd_access_token", "old");
    env.Set("wd_refresh_token", "refresh-1");
    env.Set("wd_device_id", "");
  }

  virtual ServedResponse Serve(const ServedRequest& r) {
    if (r.path == "/token/refresh/") return Reply(refresh_status, refresh_body);
    if (r.path == "/moved") return Reply(302, "", {{"Location", "/kelvo/invited/conf/"}});
    conf_calls++;
    if (conf_calls <= unauthorized_answers) return Reply(401, "expired");
    return Reply(200, nlohmann::json{{"conf", kFreshConf}}.dump());
  }

  // Runs until the recovery has ended one way or another.
  void RunRecovery() {
    env.dispatch.AdvanceBy(seconds(30));
    ASSERT_TRUE(env.dispatch.RunUntil(
        [&] {
          auto l = env.Lines();
          return !l.empty() && (l.back().rfind("recover: ", 0) == 0 &&
                                l.back().find("entrando") == std::string::npos &&
                                l.back().find("conf OK") == std::string::npos);
        },
        Duration::zero()));
  }

  std::atomic<int> conf_calls{0};
  int unauthorized_answers = 0;
  int refresh_status = 200;
  std::string refresh_body = R"({"token":"new-token"})";
  LoopbackHttpServer server;
  ProviderEnv env;
};

TEST_F(ConfigServiceTest, SendsTheRequestAsSpecifiedAndAppliesTheAnswer) {
  env.Set("wd_conf_body", R"({"device":"d1"})");
  RunRecovery();
  EXPECT_EQ(env.Lines().back(), "recover: conf reaplicado — próximo tick valida");
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/kelvo/invited/conf/");
  EXPECT_EQ(requests[0].body, R"({"device":"d1"})");
  EXPECT_EQ(FindHeader(requests[0].headers, "Authorization"), "Bearer old");
  EXPECT_EQ(FindHeader(requests[0].headers, "Content-Type"), "application/json");
  EXPECT_EQ(FindHeader(requests[0].headers, "X-Device-Id"), "") << "sent even when empty";
  EXPECT_TRUE(env.HasLine("fetchFreshConf: GET " + server.Url("/kelvo/invited/conf/")));
  EXPECT_TRUE(env.HasLine("confRequest done status=200 err=nil bytes=" +
                          std::to_string(nlohmann::json{{"conf", kFreshConf}}.dump().size()) +
                          " method=POST"));
}

TEST_F(ConfigServiceTest, RefreshesOnceOn401AndRepeatsWithTheNewToken) {
  unauthorized_answers = 1;
  env.Set("wd_refresh_token", "a/b+c");
  refresh_body = R"({"access":"from-access"})";
  RunRecovery();
  EXPECT_EQ(env.Lines().back(), "recover: conf reaplicado — próximo tick valida");
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].path, "/token/refresh/");
  EXPECT_EQ(requests[1].method, "POST");
  EXPECT_EQ(requests[1].body, R"({"refresh":"a\/b+c"})") << "written as the platform writes JSON";
  EXPECT_EQ(FindHeader(requests[1].headers, "Authorization"), std::nullopt);
  EXPECT_EQ(FindHeader(requests[2].headers, "Authorization"), "Bearer from-access");
  EXPECT_EQ(requests[2].method, "GET");
  EXPECT_EQ(env.Get("wd_access_token"), "from-access");
  EXPECT_EQ(env.Get("wd_refresh_token"), "a/b+c");
}

TEST_F(ConfigServiceTest, AServiceThatRedirectsStillRepairsTheTunnel) {
  env.Set("wd_conf_url", server.Url("/moved"));
  RunRecovery();
  EXPECT_EQ(env.Lines().back(), "recover: conf reaplicado — próximo tick valida");
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].path, "/kelvo/invited/conf/");
  EXPECT_EQ(FindHeader(requests[1].headers, "Authorization"), "Bearer old");
}

TEST_F(ConfigServiceTest, TwoUnauthorizedAnswersMeanOneRefreshOnly) {
  unauthorized_answers = 2;
  RunRecovery();
  EXPECT_EQ(env.Lines().back(), "recover: fetch conf KO");
  EXPECT_EQ(server.requests().size(), 3u);
  EXPECT_EQ(env.CountLines("confRequest done status=401 err=nil bytes=7 method=GET"), 2u);
  EXPECT_EQ(env.Get("wd_access_token"), "new-token");
}

TEST_F(ConfigServiceTest, RefusedRefreshesKeepTheOldToken) {
  for (auto [status, body] : {std::pair{201, R"({"token":"x"})"}, {200, R"({"token":5,"access":"y"})"},
                              {200, R"({"token":""})"}, {200, "[1]"}, {200, "not json"}}) {
    refresh_status = status;
    refresh_body = body;
    unauthorized_answers = 1000;
    RunRecovery();
    EXPECT_EQ(env.Lines().back(), "recover: fetch conf KO") << body;
    EXPECT_EQ(env.Get("wd_access_token"), "old") << body;
  }
}

TEST_F(ConfigServiceTest, TransportFailureIsStatusZero) {
  env.Set("wd_conf_url", "http://127.0.0.1:1/conf");  // nothing listens on port 1
  RunRecovery();
  EXPECT_EQ(env.Lines().back(), "recover: fetch conf KO");
  auto lines = env.Lines();
  auto done = std::find_if(lines.begin(), lines.end(),
                           [](const std::string& l) { return l.rfind("confRequest done", 0) == 0; });
  ASSERT_NE(done, lines.end());
  EXPECT_EQ(done->rfind("confRequest done status=0 err=", 0), 0u);
  EXPECT_NE(done->find(" bytes=-1 method=GET"), std::string::npos);
  EXPECT_EQ(done->find("err=nil"), std::string::npos);
}

TEST_F(ConfigServiceTest, AnEmptyConfUrlDoesNotFallBackToTheBase) {
  env.Set("wd_conf_url", "");
  RunRecovery();
  EXPECT_TRUE(env.HasLine("fetchFreshConf: faltan conf_url/token en App Group"));
  EXPECT_TRUE(server.requests().empty());
}

}  // namespace
}  // namespace kelvo
