// The two programs together: a kelvo host and a kelvo-tun extension (the
// in-memory adapter), meeting only through the tunnel profile, the control
// socket and the App Group settings, as in production.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "host/testing/kelvo_process.h"
#include "platform/engine/standard_codec.h"

namespace kelvo {
namespace {

namespace fs = std::filesystem;
using testing::HostEnvironment;
using testing::KelvoProcess;

constexpr const char* kConf =
    "[Interface]\n"
    "PrivateKey = AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQE=\n"
    "Address = 10.8.0.2/32\n"
    "[Peer]\n"
    "PublicKey = AgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgI=\n"
    "AllowedIPs = 0.0.0.0/0\n";

class KelvoWithExtensionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    control_ = env_.runtime_dir() + "/kelvo/tunnel.sock";
    std::vector<std::string> vars = env_.Variables();
    std::vector<std::string> args = {KELVO_TUN_BINARY, "--adapter", "memory", "--interface",
                                     "kt-host", "--control-socket", control_};
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    ASSERT_EQ(posix_spawn(&tun_pid_, KELVO_TUN_BINARY, nullptr, nullptr, argv.data(), envp.data()), 0);
    for (int i = 0; i < 500 && !extension_.connected(); ++i) {
      if (fs::exists(control_)) extension_.Connect(control_);
      if (!extension_.connected()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(extension_.connected());
    // The profile is published right after the socket starts serving.
    std::string profile = env_.tunnels_dir() + "/kelvo-tun-kt-host.json";
    for (int i = 0; i < 500 && !fs::exists(profile); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(fs::exists(profile));
    auto error = host_.Start();
    ASSERT_FALSE(error) << *error;
  }
  void TearDown() override {
    extension_.Close();
    if (tun_pid_ > 0) {
      kill(tun_pid_, SIGTERM);
      waitpid(tun_pid_, nullptr, 0);
    }
  }

  HostEnvironment env_;
  KelvoProcess host_{env_};
  EngineSocketClient extension_;
  std::string control_;
  pid_t tun_pid_ = -1;
};

TEST_F(KelvoWithExtensionTest, TheHostReachesTheRunningExtension) {
  // Not started yet: the session is found, but there is no runtime text.
  auto stats = host_.Call("getRuntimeStats");
  ASSERT_TRUE(stats.error) << stats.Describe();
  EXPECT_EQ(stats.error->code, "EMPTY_PROVIDER_RESPONSE");
  EXPECT_EQ(stats.error->message, "El provider no devolvió datos");

  auto started = extension_.SendAndWait(
      "startTunnel", StandardCodec::Instance().Encode(Value(ValueMap{{Value("cfg"), Value(kConf)}})),
      std::chrono::seconds(10));
  ASSERT_TRUE(started.ok() && started.reply);
  EXPECT_EQ(StandardCodec::Instance().Decode(*started.reply).value(), Value());

  EXPECT_EQ(host_.Call("pingTunnel").value, Value("pong"));
  auto runtime = host_.Call("getRuntimeStats");
  ASSERT_TRUE(runtime.value) << runtime.Describe();
  EXPECT_NE(runtime.value->as_string().find("last_handshake_time_sec="), std::string::npos);

  // A setting stored through the host is what the extension reads next.
  EXPECT_EQ(host_.Call("appGroupSet",
                       Value(ValueMap{{Value("key"), Value("wd_enabled")}, {Value("value"), Value("1")}}))
                .value,
            Value(true));
  auto report = host_.Call("watchdogDebug");
  ASSERT_TRUE(report.value) << report.Describe();
  EXPECT_EQ(report.value->as_string().rfind(
                "APPGROUP suite=ok wd_enabled=1 base=NIL token=NIL timer=true conf=NIL body=[NIL] | ", 0),
            0u)
      << report.value->as_string();
  // The extension's debug line is visible to the host.
  auto debug = host_.Call("appGroupGet", Value(ValueMap{{Value("key"), Value("wd_debug")}}));
  ASSERT_TRUE(debug.value && debug.value->is_string()) << debug.Describe();
  // The start writes two lines from two queues, in either order.
  EXPECT_TRUE(debug.value->as_string() == "#2 startTunnel OK — arrancando watchdog" ||
              debug.value->as_string() == "#2 watchdog timer armado (30s)")
      << debug.value->as_string();
}

}  // namespace
}  // namespace kelvo
