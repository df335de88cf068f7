// The host control channel's "appGroupGet" round trip through the engine
// socket (client -> host main queue -> App Group suite opened afresh ->
// reply) next to a plain echo on the same socket, served by the same host
// process, with messages of the same size. The calls alternate, so both
// see the same machine state. The calls fall into kBenchRounds rounds;
// prints p50/p99 in microseconds per round and the ratios (median over the
// rounds, with their spread); the target is 2x or less.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/ratio_reporter.h"
#include "host/host_process.h"
#include "platform/engine/method_codec.h"

namespace kelvo {
namespace {

constexpr int kWarmup = 500;
constexpr int kCallsPerRound = 2000;
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

  for (int i = 0; i < kWarmup; ++i) {
    Timed(client, kEchoChannel, echo);
    Timed(client, "drimo/wg_ios", get);
  }
  std::printf("host control channel round trip, %d calls each per round, %zu-byte messages\n",
              kCallsPerRound, get.size());
  std::vector<double> p50_ratios, p99_ratios;
  for (int round = 1; round <= kBenchRounds; ++round) {
    std::vector<double> get_us, echo_us;
    get_us.reserve(kCallsPerRound);
    echo_us.reserve(kCallsPerRound);
    for (int i = 0; i < kCallsPerRound; ++i) {
      echo_us.push_back(Timed(client, kEchoChannel, echo));
      get_us.push_back(Timed(client, "drimo/wg_ios", get));
    }
    Percentiles g = Summarize(std::move(get_us)), e = Summarize(std::move(echo_us));
    std::printf("round %d: engine socket echo p50 %.1f p99 %.1f us | appGroupGet p50 %.1f p99 %.1f us\n",
                round, e.p50, e.p99, g.p50, g.p99);
    p50_ratios.push_back(g.p50 / e.p50);
    p99_ratios.push_back(g.p99 / e.p99);
  }
  client.Close();
  dispatch.StopMain();
  main_loop.join();
  host.Stop();
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);

  PrintRoundRatio("host_appgroupget_p50_vs_echo", p50_ratios);
  PrintRoundRatio("host_appgroupget_p99_vs_echo", p99_ratios);
  return 0;
}
