// The console reporter of Google Benchmark that also remembers each
// benchmark's adjusted real time, so a benchmark binary can print
// "RATIO name=x.xx" lines for pairs measured side by side in one run
// (scripts/run-bench.sh collects them).
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace kelvo {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colour only on a terminal, so that piped output keeps plain RATIO lines.
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        times_[run.benchmark_name()] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Prints the time of `measured` over the time of `baseline`; nothing
  // when either did not run.
  void PrintRatio(const char* name, const std::string& measured,
                  const std::string& baseline) const {
    auto m = times_.find(measured);
    auto b = times_.find(baseline);
    if (m == times_.end() || b == times_.end() || b->second <= 0) return;
    char line[128];
    std::snprintf(line, sizeof line, "RATIO %s=%.2f\n", name, m->second / b->second);
    GetOutputStream() << line << std::flush;
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace kelvo
