// kelvo-tun as a process, driven over its control socket as the host and
// kelvoctl drive it.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "apps/kelvo-tun/options.h"
#include "apps/kelvo-tun/tunnel_memory.h"
#include "apps/kelvo-tun/testing/kelvo_tun_process.h"
#include "platform/engine/engine_socket.h"
#include "platform/engine/standard_codec.h"

namespace kelvo {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

TEST(ProbeTargetTest, AcceptsHostPortAndBracketedV6) {
  std::string host;
  uint16_t port = 443;
  EXPECT_TRUE(ParseProbeTarget("10.0.0.1", &host, &port));
  EXPECT_EQ(host, "10.0.0.1");
  EXPECT_EQ(port, 443);
  EXPECT_TRUE(ParseProbeTarget("probe.example:8443", &host, &port));
  EXPECT_EQ(host, "probe.example");
  EXPECT_EQ(port, 8443);
  EXPECT_TRUE(ParseProbeTarget("[fd00::1]:80", &host, &port));
  EXPECT_EQ(host, "fd00::1");
  EXPECT_EQ(port, 80);
  EXPECT_TRUE(ParseProbeTarget("fd00::2", &host, &port));
  EXPECT_EQ(host, "fd00::2");
  for (const char* bad : {"", ":80", "h:0", "h:65536", "h:x", "[fd00::1", "[::1]x"}) {
    EXPECT_FALSE(ParseProbeTarget(bad, &host, &port)) << bad;
  }
}

TEST(StateDirectoryTest, SystemdsStateDirectoryFirstThenTheUsersState) {
  ::setenv("STATE_DIRECTORY", "/var/lib/kelvo:/var/lib/other", 1);
  EXPECT_EQ(DefaultStateDirectory(), "/var/lib/kelvo");
  ::unsetenv("STATE_DIRECTORY");
  ::setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
  ::setenv("XDG_STATE_HOME", "/home/u/.state", 1);
  EXPECT_EQ(DefaultStateDirectory(), "/home/u/.state/kelvo") << "a session's own state";
  ::unsetenv("XDG_STATE_HOME");
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(DefaultStateDirectory(), "/home/u/.local/state/kelvo");
}

class KelvoTunProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kelvo-tun-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    group_root_ = dir_ / "app-groups";
    fs::create_directories(group_root_);
    socket_ = (dir_ / "run" / "tunnel.sock").string();
    StartTun(tun_, {});
  }

  void StartTun(testing::KelvoTunProcess& tun, std::vector<std::string> extra) {
    std::vector<std::string> args = {"--adapter",        "memory",  "--interface",
                                     "kt-test",          "--control-socket", socket_,
                                     "--probe-host",     "127.0.0.1:9", "--state-dir",
                                     (dir_ / "state").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    auto error = tun.Start(
        args,
        {"HOME=" + dir_.string(), "XDG_RUNTIME_DIR=" + (dir_ / "run").string(),
         "XDG_DATA_HOME=" + (dir_ / "data").string(),
         "KELVO_APP_GROUP_ROOT=" + group_root_.string(), "PATH=/usr/bin:/bin"},
        socket_);
    ASSERT_FALSE(error) << *error;
  }

  void TearDown() override { fs::remove_all(dir_); }

  Payload Call(const std::string& op, Payload data) {
    auto result = tun_.control().SendAndWait(op, std::move(data), seconds(10));
    EXPECT_TRUE(result.ok()) << op << ": " << result.error.value_or("");
    return result.reply;
  }
  Value CallValue(const std::string& op, const Value& data) {
    auto reply = Call(op, StandardCodec::Instance().Encode(data));
    EXPECT_TRUE(reply) << op;
    if (!reply) return Value("no reply");
    return StandardCodec::Instance().Decode(*reply).value();
  }
  std::optional<std::string> Message(uint8_t byte) {
    auto reply = Call("handleAppMessage", std::vector<uint8_t>{byte});
    if (!reply) return std::nullopt;
    return std::string(reply->begin(), reply->end());
  }

  fs::path dir_, group_root_;
  std::string socket_;
  testing::KelvoTunProcess tun_;
};

TEST_F(KelvoTunProcessTest, StartsPingsReportsAndStops) {
  fs::path profile = group_root_ / "group.net.kelvo.app" / "tunnels" / "kelvo-tun-kt-test.json";
  // Published right after the socket starts serving.
  ASSERT_TRUE(testing::WaitForFile(profile.string())) << "kelvo-tun publishes its profile";

  EXPECT_EQ(CallValue("status", Value()), Value(1));
  Value bad = CallValue("startTunnel", Value(ValueMap{{Value("cfg"), Value("[Interface]\nMTU = 1\n")}}));
  ASSERT_TRUE(bad.is_list());
  ASSERT_EQ(bad.as_list().size(), 3u);
  EXPECT_EQ(bad.as_list()[0], Value("Drimo.PacketTunnelProvider"));
  EXPECT_EQ(bad.as_list()[1], Value(-1));
  EXPECT_EQ(bad.as_list()[2].as_string().rfind("invalid cfg: ", 0), 0u);
  Value missing = CallValue("startTunnel", Value());
  EXPECT_EQ(missing.as_list()[2], Value("missing cfg in options"));
  EXPECT_EQ(CallValue("status", Value()), Value(1));

  EXPECT_EQ(CallValue("startTunnel", Value(ValueMap{{Value("cfg"), Value(testing::kTestTunnelConf)}})), Value());
  EXPECT_EQ(CallValue("status", Value()), Value(3));
  EXPECT_EQ(Message(0x01), "pong");
  EXPECT_EQ(Call("handleAppMessage", std::vector<uint8_t>{0x01, 0x01}), std::nullopt);
  auto runtime = Message(0x00);
  ASSERT_TRUE(runtime);
  EXPECT_NE(runtime->find("last_handshake_time_sec="), std::string::npos);
  auto report = Message(0x02);
  ASSERT_TRUE(report);
  EXPECT_EQ(report->rfind("APPGROUP suite=ok wd_enabled=NIL base=NIL token=NIL timer=true", 0), 0u)
      << *report;
  EXPECT_NE(report->find("startTunnel OK — arrancando watchdog"), std::string::npos);
  EXPECT_EQ(CallValue("wake", Value()), Value());
  EXPECT_EQ(CallValue("sleep", Value()), Value());

  EXPECT_EQ(CallValue("stopTunnel", Value(1)), Value());
  EXPECT_EQ(CallValue("status", Value()), Value(1));
  EXPECT_EQ(Message(0x00), std::nullopt) << "no runtime configuration once stopped";

  int status = tun_.Stop(SIGTERM);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(fs::exists(profile));
  EXPECT_FALSE(fs::exists(socket_));
}

TEST_F(KelvoTunProcessTest, SigtermStopsARunningTunnel) {
  EXPECT_EQ(CallValue("startTunnel", Value(ValueMap{{Value("cfg"), Value(testing::kTestTunnelConf)}})), Value());
  int status = tun_.Stop(SIGTERM);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(fs::exists(dir_ / "state" / "tunnel-kt-test.conf"))
      << "a shutdown keeps the tunnel for the next boot";
}

TEST_F(KelvoTunProcessTest, ResumeStartsTheLastTunnelStartedAndNotStopped) {
  const fs::path memory = dir_ / "state" / "tunnel-kt-test.conf";
  Value start = Value(ValueMap{{Value("cfg"), Value(testing::kTestTunnelConf)}});
  ASSERT_EQ(CallValue("startTunnel", start), Value());
  ASSERT_TRUE(fs::exists(memory));
  EXPECT_EQ(fs::status(memory).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  // A crash, then the service's command again.
  tun_.Stop(SIGKILL);
  testing::KelvoTunProcess again;
  StartTun(again, {"--resume"});
  Value status;
  for (int i = 0; i < 200 && status != Value(3); ++i) {
    auto r = again.control().SendAndWait("status", std::nullopt, seconds(5));
    ASSERT_TRUE(r.ok() && r.reply);
    status = StandardCodec::Instance().Decode(*r.reply).value();
    if (status != Value(3)) ::usleep(20 * 1000);
  }
  EXPECT_EQ(status, Value(3)) << "the remembered tunnel runs again";
  auto runtime = again.control().SendAndWait("handleAppMessage", std::vector<uint8_t>{0x00},
                                             seconds(5));
  ASSERT_TRUE(runtime.ok() && runtime.reply);

  // A stop asked for forgets it; a signal at shutdown keeps it.
  auto stop = again.control().SendAndWait("stopTunnel", StandardCodec::Instance().Encode(Value(1)),
                                          seconds(10));
  ASSERT_TRUE(stop.ok());
  EXPECT_FALSE(fs::exists(memory));
  again.Stop(SIGTERM);
  testing::KelvoTunProcess third;
  StartTun(third, {"--resume"});
  auto r = third.control().SendAndWait("status", std::nullopt, seconds(5));
  ASSERT_TRUE(r.ok() && r.reply);
  EXPECT_EQ(StandardCodec::Instance().Decode(*r.reply).value(), Value(1)) << "nothing to resume";
}

}  // namespace
}  // namespace kelvo
