// The watchdog's costs: reading the newest handshake from a 10,000-peer
// runtime text, and what a provider with the watchdog on spends while the
// tunnel is idle and healthy — 10 minutes of ticks run in virtual time,
// then the CPU time they took as a share of those 10 minutes of a core, and
// the RSS of a real `kelvo-tun --adapter memory` process with a running
// tunnel; both in each of kBenchRounds rounds, reported as the median with
// its spread.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "apps/kelvo-tun/testing/kelvo_tun_process.h"
#include "bench/ratio_reporter.h"
#include "platform/engine/standard_codec.h"
#include "tunnel/provider_test_env.h"

namespace kelvo {
namespace {

std::string RuntimeText(int peers) {
  std::string text = "private_key=0101\nlisten_port=51820\n";
  for (int i = 0; i < peers; ++i) {
    text += "public_key=" + std::string(64, 'a') + "\nprotocol_version=1\n";
    text += "endpoint=10.0.0.1:51820\nlast_handshake_time_sec=" + std::to_string(1'700'000'000 + i);
    text += "\nlast_handshake_time_nsec=0\ntx_bytes=100\nrx_bytes=200\n";
    text += "persistent_keepalive_interval=25\nallowed_ip=0.0.0.0/0\n";
  }
  return text;
}

void BM_HandshakeAge(benchmark::State& state) {
  const std::string text = RuntimeText(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(NewestHandshakeAge(text, 1'800'000'000.0));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_HandshakeAge)->Arg(1000)->Arg(10000);

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds spent on 10 minutes of healthy ticks in virtual time.
double IdleWatchdogCpu() {
  testing::ProviderEnv env;
  env.StartTunnel();
  env.Set("wd_enabled", "1");
  double before = CpuSeconds();
  for (int tick = 0; tick < 20; ++tick) {
    env.SetHandshakeAge(5);
    env.dispatch.AdvanceBy(std::chrono::seconds(30));
  }
  return CpuSeconds() - before;
}

long StatusKib(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

// Memory of a kelvo-tun with a started memory tunnel: its RSS and the
// anonymous part of it (the process's own memory; the rest is pages of
// shared libraries). -1 when it could not be measured.
struct Rss {
  long total = -1;
  long anon = -1;
};

Rss KelvoTunRss() {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("kelvo-bench-" + std::to_string(getpid()));
  fs::create_directories(dir / "groups");
  std::string socket = (dir / "tunnel.sock").string();
  Rss rss;
  {
    testing::KelvoTunProcess tun;
    auto error = tun.Start({"--adapter", "memory", "--control-socket", socket, "--interface", "bench"},
                           {"HOME=" + dir.string(), "XDG_RUNTIME_DIR=" + dir.string(),
                            "XDG_DATA_HOME=" + (dir / "data").string(),
                            "KELVO_APP_GROUP_ROOT=" + (dir / "groups").string()},
                           socket);
    if (!error) {
      Value options(ValueMap{{Value("cfg"), Value(testing::kTestTunnelConf)}});
      tun.control().SendAndWait("startTunnel", StandardCodec::Instance().Encode(options),
                                std::chrono::seconds(5));
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      rss.total = StatusKib(tun.pid(), "VmRSS");
      rss.anon = StatusKib(tun.pid(), "RssAnon");
      std::printf("kelvo-tun memory: RssAnon %ld KiB, RssFile %ld KiB, threads %ld\n", rss.anon,
                  StatusKib(tun.pid(), "RssFile"), StatusKib(tun.pid(), "Threads"));
    }
    tun.Stop(SIGTERM);
  }
  fs::remove_all(dir);
  return rss;
}

}  // namespace
}  // namespace kelvo

int main(int argc, char** argv) {
  using namespace kelvo;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  // Each round measures both, so a busy moment of the machine shows as
  // spread rather than as the figure.
  std::vector<double> cpu_ratios, rss_ratios, anon_ratios;
  for (int round = 1; round <= kBenchRounds; ++round) {
    double cpu = IdleWatchdogCpu();
    double share = cpu / 600.0 * 100.0;
    Rss rss = KelvoTunRss();
    std::printf("round %d: idle watchdog %.6f s CPU for 10 min of ticks (%.6f%% of a core; target"
                " < 0.1%%) | kelvo-tun RSS %ld KiB, %ld KiB of it its own (target < 10240 KiB)\n",
                round, cpu, share, rss.total, rss.anon);
    cpu_ratios.push_back(share / 0.1);
    if (rss.total > 0) {
      rss_ratios.push_back(rss.total / 10240.0);
      anon_ratios.push_back(rss.anon / 10240.0);
    }
  }
  PrintRoundRatio("tunnel_idle_cpu_share_of_target", cpu_ratios);
  PrintRoundRatio("kelvo_tun_rss_of_target", rss_ratios);
  PrintRoundRatio("kelvo_tun_anon_rss_of_target", anon_ratios);
  return 0;
}
