// The user-defaults store against a raw prepared SQLite statement on the
// same file: what the store's handle, file check, locking and codec cost
// on top of SQLite itself. Prints the time ratios store/raw at the end.
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "benchmark/benchmark.h"
#include "platform/defaults/user_defaults.h"
#include "platform/engine/standard_codec.h"

namespace kelvo {
namespace {

constexpr const char* kGroup = "group.net.kelvo.app";

struct Setup {
  std::string dir;
  std::unique_ptr<UserDefaultsSystem> system;
  std::unique_ptr<UserDefaults> suite;
  sqlite3* raw = nullptr;
  sqlite3_stmt* raw_get = nullptr;
  sqlite3_stmt* raw_set = nullptr;
};

Setup* g = nullptr;

bool Prepare(Setup* s) {
  char pattern[] = "/tmp/kelvo-defaults-bench-XXXXXX";
  if (!mkdtemp(pattern)) return false;
  s->dir = pattern;
  DefaultsConfig config;
  config.app_group_root = s->dir;
  config.data_home = s->dir + "/data";
  s->system = OpenUserDefaultsSystem(config);
  s->suite = s->system->Suite(kGroup);
  if (!s->suite || !s->suite->Set("wd_enabled", "1")) return false;

  // The raw side gets the same durability settings as the store.
  std::string file = s->dir + "/" + kGroup + "/" + kAppGroupDefaultsFile;
  if (sqlite3_open_v2(file.c_str(), &s->raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    return false;
  }
  sqlite3_busy_timeout(s->raw, 5000);
  sqlite3_exec(s->raw, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL", nullptr, nullptr,
               nullptr);
  return sqlite3_prepare_v2(s->raw, "SELECT value FROM defaults WHERE key = ?1", -1, &s->raw_get,
                            nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(s->raw,
                            "INSERT INTO defaults(key, value) VALUES(?1, ?2) "
                            "ON CONFLICT(key) DO UPDATE SET value = excluded.value",
                            -1, &s->raw_set, nullptr) == SQLITE_OK;
}

void Teardown(Setup* s) {
  sqlite3_finalize(s->raw_get);
  sqlite3_finalize(s->raw_set);
  sqlite3_close(s->raw);
  s->suite.reset();
  s->system.reset();
  std::error_code ignored;
  std::filesystem::remove_all(s->dir, ignored);
}

void BM_DefaultsGet(benchmark::State& state) {
  for (auto _ : state) {
    std::optional<Value> v = g->suite->Get("wd_enabled");
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK(BM_DefaultsGet);

void BM_RawSqliteGet(benchmark::State& state) {
  const std::string key = "wd_enabled";
  for (auto _ : state) {
    sqlite3_bind_text(g->raw_get, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    std::vector<uint8_t> bytes;
    if (sqlite3_step(g->raw_get) == SQLITE_ROW) {
      auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(g->raw_get, 0));
      bytes.assign(p, p + sqlite3_column_bytes(g->raw_get, 0));
    }
    sqlite3_reset(g->raw_get);
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(BM_RawSqliteGet);

void BM_DefaultsSet(benchmark::State& state) {
  const Value value("1");
  for (auto _ : state) benchmark::DoNotOptimize(g->suite->Set("wd_broken", value));
}
BENCHMARK(BM_DefaultsSet);

void BM_RawSqliteSet(benchmark::State& state) {
  const std::string key = "wd_broken";
  const std::vector<uint8_t> bytes = StandardCodec::Instance().Encode(Value("1"));
  for (auto _ : state) {
    sqlite3_bind_text(g->raw_set, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    sqlite3_bind_blob(g->raw_set, 2, bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC);
    benchmark::DoNotOptimize(sqlite3_step(g->raw_set));
    sqlite3_reset(g->raw_set);
  }
}
BENCHMARK(BM_RawSqliteSet);

}  // namespace
}  // namespace kelvo

int main(int argc, char** argv) {
  return kelvo::RunBenchmarksWithSetup(argc, argv, &kelvo::g, kelvo::Prepare, kelvo::Teardown,
                                       "defaults_bench: cannot set up the store",
                                       {
      {"defaults_read_vs_raw_sqlite", "BM_DefaultsGet", "BM_RawSqliteGet"},
      {"defaults_write_vs_raw_sqlite", "BM_DefaultsSet", "BM_RawSqliteSet"},
                                       });
}
