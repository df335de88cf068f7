// kelvo-tun as a process, driven over its control socket as the host and
// kelvoctl drive it.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "apps/kelvo-tun/options.h"
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

class KelvoTunProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kelvo-tun-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    group_root_ = dir_ / "app-groups";
    fs::create_directories(group_root_);
    socket_ = (dir_ / "run" / "tunnel.sock").string();
    auto error = tun_.Start({"--adapter", "memory", "--interface", "kt-test", "--control-socket",
                             socket_, "--probe-host", "127.0.0.1:9"},
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
}

}  // namespace
}  // namespace kelvo
