// patchPeer and applyDefaults (split mode) on configurations of 1,000 and
// 10,000 peers. Both walk the text once, so the time per peer should not
// grow with the peer count: the closing RATIO line compares them.
#include <benchmark/benchmark.h>

#include <iostream>
#include <map>
#include <string>

#include "tunnel/conf_text.h"

namespace kelvo {
namespace {

class StaticSettings : public AppGroupSettings {
 public:
  bool Available() const override { return true; }
  std::optional<std::string> ReadString(const std::string& key) const override {
    if (key == "wd_split_allowed") return std::string("10.0.0.0/8, 192.168.0.0/16");
    return std::nullopt;
  }
  void WriteString(const std::string&, const std::string&) override {}
};

// A service-sized configuration: every other peer already has a keep-alive
// line, so both replacement and appending are exercised.
std::string MakeConfig(int peers) {
  std::string text =
      "[Interface]\nPrivateKey = AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\n"
      "Address = 10.8.0.2/32\nDNS = 1.0.0.1\n\n";
  for (int i = 0; i < peers; ++i) {
    text += "[Peer]\nPublicKey = ERERERERERERERERERERERERERERERERERERERERERE=\n";
    text += "AllowedIPs = 0.0.0.0/0, ::/0\n";
    text += "Endpoint = vpn" + std::to_string(i) + ".example.com:51820\n";
    if (i % 2 == 0) text += "persistentkeepalive=10\n";
    text += "\n";
  }
  return text;
}

void BM_PatchPeer(benchmark::State& state) {
  const std::string text = MakeConfig(static_cast<int>(state.range(0)));
  const FieldOverrides fields{{"PersistentKeepalive", "25"}, {"AllowedIPs", "10.0.0.0/8"}};
  for (auto _ : state) benchmark::DoNotOptimize(patchPeer(text, fields));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  state.counters["peers"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_PatchPeer)->Arg(1000)->Arg(10000);

void BM_ApplyDefaultsSplit(benchmark::State& state) {
  const std::string text = MakeConfig(static_cast<int>(state.range(0)));
  StaticSettings settings;
  for (auto _ : state) benchmark::DoNotOptimize(applyDefaults(text, true, settings));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  state.counters["peers"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_ApplyDefaultsSplit)->Arg(1000)->Arg(10000);

// Keeps the console output and remembers each run's CPU time per
// iteration (steadier than wall time on a shared machine).
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) times[run.benchmark_name()] = run.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace
}  // namespace kelvo

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  kelvo::RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  auto& t = reporter.times;
  const char* small = "BM_ApplyDefaultsSplit/1000";
  const char* large = "BM_ApplyDefaultsSplit/10000";
  if (t.count(small) && t.count(large) && t[small] > 0) {
    std::cout << "RATIO conf_text_10k_vs_1k_time_per_peer="
              << (t[large] / 10000.0) / (t[small] / 1000.0) << "\n";
  }
  return 0;
}
