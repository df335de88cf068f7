// The two programs together: a kelvo host and a kelvo-tun extension (the
// in-memory adapter), meeting only through the tunnel profile, the control
// socket and the App Group settings, as in production.
#include <gtest/gtest.h>

#include "apps/kelvo-tun/testing/kelvo_tun_process.h"
#include "host/testing/kelvo_process.h"
#include "platform/engine/standard_codec.h"

namespace kelvo {
namespace {

using testing::HostEnvironment;
using testing::KelvoProcess;

class KelvoWithExtensionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    control_ = env_.runtime_dir() + "/kelvo/tunnel.sock";
    auto started = tun_.Start({"--adapter", "memory", "--interface", "kt-host", "--control-socket",
                               control_},
                              env_.Variables(), control_);
    ASSERT_FALSE(started) << *started;
    // The profile is published right after the socket starts serving.
    ASSERT_TRUE(testing::WaitForFile(env_.tunnels_dir() + "/kelvo-tun-kt-host.json"));
    auto error = host_.Start();
    ASSERT_FALSE(error) << *error;
  }

  HostEnvironment env_;
  KelvoProcess host_{env_};
  testing::KelvoTunProcess tun_;
  std::string control_;
};

TEST_F(KelvoWithExtensionTest, TheHostReachesTheRunningExtension) {
  // Not started yet: the session is found, but there is no runtime text.
  auto stats = host_.Call("getRuntimeStats");
  ASSERT_TRUE(stats.error) << stats.Describe();
  EXPECT_EQ(stats.error->code, "EMPTY_PROVIDER_RESPONSE");
  EXPECT_EQ(stats.error->message, "El provider no devolvió datos");

  Value options(ValueMap{{Value("cfg"), Value(testing::kTestTunnelConf)}});
  auto started = tun_.control().SendAndWait(
      "startTunnel", StandardCodec::Instance().Encode(options), std::chrono::seconds(10));
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
