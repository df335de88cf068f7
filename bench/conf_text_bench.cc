// patchPeer and applyDefaults (split mode) on configurations of 1,000 and
// 10,000 peers. Both walk the text once, so the time per peer should not
// grow with the peer count: the closing RATIO line compares them, per
// interleaved round (run-bench.sh's flags), as the median with its spread.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
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

}  // namespace
}  // namespace kelvo

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  kelvo::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  // Time per peer at 10,000 peers over that at 1,000, per round.
  std::vector<double> ratios =
      reporter.RoundRatios("BM_ApplyDefaultsSplit/10000", "BM_ApplyDefaultsSplit/1000");
  for (double& r : ratios) r /= 10.0;
  kelvo::PrintRoundRatio("conf_text_10k_vs_1k_time_per_peer", ratios);
  return 0;
}
