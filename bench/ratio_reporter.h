// Ratios of measurements taken side by side, reported so that a noisy
// machine shows as spread rather than as a new number: every ratio is taken
// per round (both sides measured in the same round) and printed as the
// median over the rounds with the smallest and largest round beside it:
//
//   RATIO name=1.23 spread=1.10-1.41 rounds=5
//
// scripts/run-bench.sh collects these lines.
//
// RatioReporter is the console reporter of Google Benchmark that also
// remembers each benchmark's adjusted real time per repetition; run with
// kRoundFlags (run-bench.sh passes them) every repetition is one round and
// the rounds of all benchmarks are interleaved. Benchmarks with their own
// timing loop use PrintRoundRatio with the ratios of their own rounds
// (kBenchRounds of them at least).
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace kelvo {

// Rounds every ratio is the median of.
inline constexpr int kBenchRounds = 5;
// The Google Benchmark flags that make each repetition one interleaved round.
inline constexpr const char* kRoundFlags =
    "--benchmark_repetitions=5 --benchmark_enable_random_interleaving=true";

struct RatioSpread {
  double median = 0;
  double min = 0;
  double max = 0;
  size_t rounds = 0;
};

// Median (mean of the middle two for an even count), min and max; all zero
// for no rounds.
inline RatioSpread SpreadOf(std::vector<double> ratios) {
  RatioSpread s;
  s.rounds = ratios.size();
  if (ratios.empty()) return s;
  std::sort(ratios.begin(), ratios.end());
  size_t mid = ratios.size() / 2;
  s.median = ratios.size() % 2 ? ratios[mid] : (ratios[mid - 1] + ratios[mid]) / 2;
  s.min = ratios.front();
  s.max = ratios.back();
  return s;
}

// Two decimals; ratios far below one (shares of a target) keep two
// significant digits instead of showing as 0.00.
inline std::string FormatRatioLine(const char* name, const std::vector<double>& ratios) {
  RatioSpread s = SpreadOf(ratios);
  const char* format = s.max < 0.01 ? "RATIO %s=%.2g spread=%.2g-%.2g rounds=%zu\n"
                                     : "RATIO %s=%.2f spread=%.2f-%.2f rounds=%zu\n";
  char line[256];
  std::snprintf(line, sizeof line, format, name, s.median, s.min, s.max, s.rounds);
  return line;
}

// For benchmarks with their own rounds: prints to standard output.
inline void PrintRoundRatio(const char* name, const std::vector<double>& ratios) {
  if (ratios.empty()) return;
  std::fputs(FormatRatioLine(name, ratios).c_str(), stdout);
  std::fflush(stdout);
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colour only on a terminal, so that piped output keeps plain RATIO lines.
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    std::vector<Run> shown;
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        size_t round = run.repetition_index < 0 ? 0 : static_cast<size_t>(run.repetition_index);
        std::vector<double>& times = times_[run.benchmark_name()];
        if (times.size() <= round) times.resize(round + 1, 0);
        times[round] = run.GetAdjustedRealTime();
      }
      // With rounds, the table shows their aggregates (and any failed run)
      // rather than every round.
      if (run.repetitions <= 1 || run.run_type == Run::RT_Aggregate || run.error_occurred) {
        shown.push_back(run);
      }
    }
    if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
  }

  // Prints the time of `measured` over the time of `baseline`, per round
  // in which both ran; nothing when they share no round.
  void PrintRatio(const char* name, const std::string& measured,
                  const std::string& baseline) const {
    std::vector<double> ratios = RoundRatios(measured, baseline);
    if (ratios.empty()) return;
    GetOutputStream() << FormatRatioLine(name, ratios) << std::flush;
  }

  // measured / baseline for every round both have.
  std::vector<double> RoundRatios(const std::string& measured, const std::string& baseline) const {
    std::vector<double> ratios;
    auto m = times_.find(measured);
    auto b = times_.find(baseline);
    if (m == times_.end() || b == times_.end()) return ratios;
    for (size_t i = 0; i < m->second.size() && i < b->second.size(); ++i) {
      if (m->second[i] > 0 && b->second[i] > 0) ratios.push_back(m->second[i] / b->second[i]);
    }
    return ratios;
  }

 private:
  std::map<std::string, std::vector<double>> times_;  // per round
};

// One ratio a bench prints: its name, the measured and the baseline benchmark.
struct RatioPair {
  const char* name;
  const char* measured;
  const char* baseline;
};

// The whole main of a bench whose benchmarks share one fixture `Setup`
// (reached through `*global`): made by `prepare`, undone by `teardown`.
// On a failed set-up says "<what> in <setup.dir>" and exits 1.
template <typename Setup>
int RunBenchmarksWithSetup(int argc, char** argv, Setup** global, bool (*prepare)(Setup*),
                           void (*teardown)(Setup*), const char* what,
                           std::initializer_list<RatioPair> ratios) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Setup setup;
  *global = &setup;
  if (!prepare(&setup)) {
    std::fprintf(stderr, "%s in %s\n", what, setup.dir.c_str());
    teardown(&setup);
    return 1;
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const RatioPair& r : ratios) reporter.PrintRatio(r.name, r.measured, r.baseline);
  teardown(&setup);
  benchmark::Shutdown();
  return 0;
}

}  // namespace kelvo
