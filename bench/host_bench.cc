// The host control channel's "appGroupGet" round trip through the engine
// socket (client -> host main queue -> App Group suite opened afresh ->
// reply) next to a plain echo on the same socket, served by the same host
// process, with messages of the same size. The calls alternate, so both
// see the same machine state. Prints p50/p99 in microseconds and the p50
// ratio; the target is 2x or less.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "host/host_process.h"
#include "platform/engine/method_codec.h"

namespace kelvo {
namespace {

constexpr int kWarmup = 500;
constexpr int kCalls = 10000;
const char kEchoChannel[] = "bench/echo";

using Clock = std::chrono::steady_clock;

struct Percentiles {
  double p50 = 0;
  double p99 = 0;
};

Percentiles Summarize(std::vector<double> us) {
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

double Timed(EngineSocketClient& client, const char* channel, const std::vector<uint8_t>& message) {
  auto start = Clock::now();
  EngineCallResult r = client.SendAndWait(channel, message, std::chrono::seconds(10));
  double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  if (!r.ok() || !r.reply) {
    std::fprintf(stderr, "host bench: call on %s failed\n", channel);
    std::exit(1);
  }
  return us;
}

}  // namespace
}  // namespace kelvo

int main() {
  using namespace kelvo;
  char dir[] = "/tmp/kelvo-host-bench-XXXXXX";
  if (::mkdtemp(dir) == nullptr) return 1;
  const std::string root = dir;
  for (const char* sub : {"/home", "/run", "/data", "/config", "/app-groups"}) {
    std::filesystem::create_directories(root + sub);
  }
  ::setenv("HOME", (root + "/home").c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", (root + "/run").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
  ::setenv("KELVO_APP_GROUP_ROOT", (root + "/app-groups").c_str(), 1);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kelvo-bench-no-bus", 1);
  const std::string socket = root + "/run/engine.sock";

  AsioDispatch dispatch(2);
  HostProcess host({socket, false}, &dispatch);
  host.engine().SetMessageHandler(kEchoChannel,
                                  [](Payload m, BinaryReply reply) { reply(std::move(m)); });
  if (auto error = host.Start()) {
    std::fprintf(stderr, "host bench: %s\n", error->c_str());
    return 1;
  }
  std::thread main_loop([&] { dispatch.RunMain(); });

  EngineSocketClient client;
  if (auto error = client.Connect(socket)) {
    std::fprintf(stderr, "host bench: %s\n", error->c_str());
    return 1;
  }
  const MethodCodec& codec = MethodCodec::Standard();
  Timed(client, "drimo/wg_ios",
        codec.EncodeMethodCall({"appGroupSet", ValueMap{{"key", "wd_enabled"}, {"value", "1"}}}));
  const std::vector<uint8_t> get =
      codec.EncodeMethodCall({"appGroupGet", ValueMap{{"key", "wd_enabled"}}});
  const std::vector<uint8_t> echo(get.size(), 0x5a);

  std::vector<double> get_us, echo_us;
  get_us.reserve(kCalls);
  echo_us.reserve(kCalls);
  for (int i = 0; i < kWarmup + kCalls; ++i) {
    double e = Timed(client, kEchoChannel, echo);
    double g = Timed(client, "drimo/wg_ios", get);
    if (i >= kWarmup) {
      echo_us.push_back(e);
      get_us.push_back(g);
    }
  }
  client.Close();
  dispatch.StopMain();
  main_loop.join();
  host.Stop();
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);

  Percentiles g = Summarize(get_us), e = Summarize(echo_us);
  std::printf("host control channel round trip, %d calls each, %zu-byte messages\n", kCalls,
              get.size());
  std::printf("engine socket echo:   p50 %.1f us, p99 %.1f us\n", e.p50, e.p99);
  std::printf("appGroupGet:          p50 %.1f us, p99 %.1f us\n", g.p50, g.p99);
  std::printf("RATIO host_appgroupget_p50_vs_echo=%.2f\n", g.p50 / e.p50);
  std::printf("RATIO host_appgroupget_p99_vs_echo=%.2f\n", g.p99 / e.p99);
  return 0;
}
