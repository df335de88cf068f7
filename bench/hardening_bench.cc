// Bounds under load: a "clear" of 10,000 preference keys next to deleting
// them with one raw SQLite statement, and the peak memory of decoding the
// largest frames the engine accepts (ten in a row, of the costliest
// shapes) next to the frame size. Prints RATIO lines for both.
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "benchmark/benchmark.h"
#include "platform/defaults/user_defaults.h"
#include "platform/engine/frame.h"
#include "platform/engine/standard_codec.h"

namespace kelvo {
namespace {

constexpr int kKeys = 10000;
constexpr const char* kSuite = "com.example.bench";

struct Setup {
  std::string dir;
  std::string file;
  std::unique_ptr<UserDefaultsSystem> system;
  std::unique_ptr<UserDefaults> suite;
};

Setup* g = nullptr;

bool Prepare(Setup* s) {
  char pattern[] = "/tmp/kelvo-hardening-bench-XXXXXX";
  if (!mkdtemp(pattern)) return false;
  s->dir = pattern;
  DefaultsConfig config;
  config.app_group_root = s->dir;
  config.data_home = s->dir + "/data";
  s->system = OpenUserDefaultsSystem(config);
  s->suite = s->system->Suite(kSuite);
  s->file = config.data_home + "/kelvo/defaults/" + kSuite + ".sqlite3";
  return s->suite && s->suite->Set("seed", Value(1));
}

void Teardown(Setup* s) {
  s->suite.reset();
  s->system.reset();
  std::error_code ignored;
  std::filesystem::remove_all(s->dir, ignored);
}

// Puts the keys back in one transaction on a connection of its own.
void Fill() {
  sqlite3* db = nullptr;
  sqlite3_open(g->file.c_str(), &db);
  sqlite3_busy_timeout(db, 5000);
  const std::string sql =
      "BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
      std::to_string(kKeys) +
      ") INSERT OR REPLACE INTO defaults(key, value) SELECT 'k' || i, x'0301000000' FROM n; "
      "COMMIT;";
  sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

// What the preferences "clear" does with no allow list: every key the
// suite sees, removed in one write.
void BM_ClearTenThousandKeys(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    Fill();
    state.ResumeTiming();
    std::vector<std::string> keys;
    for (const auto& [key, value] : g->suite->Dictionary()) {
      if (const auto* name = key.get_if<std::string>()) keys.push_back(*name);
    }
    if (!g->suite->RemoveKeys(keys)) state.SkipWithError("clear failed");
  }
}
BENCHMARK(BM_ClearTenThousandKeys)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_RawSqliteDeleteAll(benchmark::State& state) {
  sqlite3* db = nullptr;
  sqlite3_open(g->file.c_str(), &db);
  sqlite3_busy_timeout(db, 5000);
  sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
  for (auto _ : state) {
    state.PauseTiming();
    Fill();
    state.ResumeTiming();
    sqlite3_exec(db, "DELETE FROM defaults", nullptr, nullptr, nullptr);
  }
  sqlite3_close(db);
}
BENCHMARK(BM_RawSqliteDeleteAll)->Unit(benchmark::kMillisecond)->Iterations(10);

// Frames of kMaxFrameBody bytes whose decoded form costs the most: lists
// of 16,384 one-byte elements (nulls, map entries of nulls, booleans,
// custom tags) or of 16-byte strings, as many lists as fit. Each inner
// list passes the size check, so decoding runs until the budget stops it.
void PutSize(std::vector<uint8_t>& b, uint8_t type, size_t n) {
  b.push_back(type);
  b.push_back(255);
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(n >> (8 * i)));
}

std::vector<uint8_t> Frame(int shape) {
  constexpr size_t kPer = 16384;
  const size_t element = shape == 1 || shape == 3 ? 2 : shape == 4 ? 18 : 1;
  const size_t inner = 6 + kPer * element;
  const size_t lists = (kMaxFrameBody - 6) / inner;
  std::vector<uint8_t> b;
  b.reserve(kMaxFrameBody);
  PutSize(b, 12, lists);
  for (size_t l = 0; l < lists; ++l) {
    PutSize(b, shape == 1 ? 13 : 12, kPer);
    for (size_t i = 0; i < kPer; ++i) {
      switch (shape) {
        case 0: b.push_back(0); break;               // null
        case 1: b.insert(b.end(), {0, 0}); break;     // null: null
        case 2: b.push_back(1); break;               // true
        case 3: b.insert(b.end(), {130, 0}); break;   // custom tag 130 with null
        default:
          b.insert(b.end(), {7, 16});
          b.resize(b.size() + 16, 'x');
      }
    }
  }
  return b;
}

// Peak resident memory of a child that decodes ten such frames in a row,
// in MiB (a child of its own, so that each shape starts from nothing).
double PeakRssDecoding(int shape) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::vector<uint8_t> frame = Frame(shape);
    for (int i = 0; i < 10; ++i) {
      Result<Value> r = StandardCodec::Instance().Decode(frame);
      benchmark::DoNotOptimize(r);
    }
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    double mib = static_cast<double>(usage.ru_maxrss) / 1024.0;
    ssize_t ignored = write(fds[1], &mib, sizeof mib);
    (void)ignored;
    _exit(0);
  }
  close(fds[1]);
  double mib = -1;
  if (read(fds[0], &mib, sizeof mib) != sizeof mib) mib = -1;
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return mib;
}

void BM_PeakRssOfTenLargestFrames(benchmark::State& state) {
  const int shape = static_cast<int>(state.range(0));
  double peak = 0;
  for (auto _ : state) peak = PeakRssDecoding(shape);
  state.counters["peak_rss_mib"] = peak;
  state.counters["frame_mib"] = static_cast<double>(kMaxFrameBody) / (1 << 20);
  state.counters["peak_over_frame"] = peak / (static_cast<double>(kMaxFrameBody) / (1 << 20));
  if (peak > 256) state.SkipWithError("peak memory above 256 MiB");
}
BENCHMARK(BM_PeakRssOfTenLargestFrames)
    ->DenseRange(0, 4)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kelvo

int main(int argc, char** argv) {
  return kelvo::RunBenchmarksWithSetup(argc, argv, &kelvo::g, kelvo::Prepare, kelvo::Teardown,
                                       "hardening_bench: cannot set up the store",
                                       {
      {"preferences_clear_10000_vs_raw_delete", "BM_ClearTenThousandKeys", "BM_RawSqliteDeleteAll"},
                                       });
}
