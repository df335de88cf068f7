// The secure storage operations on the SQLite keychain, each next to a raw
// prepared SQLite statement on a file of the same kind (WAL, synchronous
// FULL) in the same directory: what query building, the presence test,
// the keychain's item rules and its encryption at rest cost on top of
// SQLite. Enclave-protected write and read run next to the plain ones.
// Prints the time ratios at the end.
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "benchmark/benchmark.h"
#include "services/secure_storage/flutter_secure_storage.h"
#include "services/secure_storage/parse_call.h"

namespace kelvo {
namespace {

constexpr int kManyItems = 1000;

struct Setup {
  std::string dir;
  std::unique_ptr<FlutterSecureStorage> storage;
  KeychainQueryParameters plain;     // service "bench", key "token"
  KeychainQueryParameters many;      // service "bench.many", no key
  KeychainQueryParameters enclave;   // service "bench.enclave", key "token"
  sqlite3* raw = nullptr;
  sqlite3_stmt* raw_upsert = nullptr;
  sqlite3_stmt* raw_read = nullptr;
  sqlite3_stmt* raw_contains = nullptr;
  sqlite3_stmt* raw_all = nullptr;
};

Setup* g = nullptr;

KeychainQueryParameters Record(const char* service, const char* key, bool enclave) {
  ValueMap options{{"accountName", service}};
  if (enclave) options.set("useSecureEnclave", "true");
  ValueMap args{{"options", Value(std::move(options))}};
  if (key) args.set("key", key);
  return parseCall(args).params;
}

bool Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool Prepare(Setup* s) {
  char pattern[] = "/tmp/kelvo-secure-storage-bench-XXXXXX";
  if (!mkdtemp(pattern)) return false;
  s->dir = pattern;
  std::string error;
  std::shared_ptr<Keychain> keychain = OpenKeychainAt(s->dir, &error);
  std::shared_ptr<SecureEnclave> enclave = OpenSecureEnclaveAt(s->dir, &error);
  if (!keychain || !enclave) {
    std::fprintf(stderr, "secure_storage_bench: %s\n", error.c_str());
    return false;
  }
  s->storage = std::make_unique<FlutterSecureStorage>(keychain, enclave);
  s->plain = Record("bench", "token", false);
  s->many = Record("bench.many", nullptr, false);
  s->enclave = Record("bench.enclave", "token", true);
  if (s->storage->write(s->plain, "initial").status != errSecSuccess) return false;
  if (s->storage->write(s->enclave, "initial").status != errSecSuccess) return false;

  const std::string file = s->dir + "/raw.sqlite3";
  if (sqlite3_open_v2(file.c_str(), &s->raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    return false;
  }
  if (!Exec(s->raw, "PRAGMA journal_mode=WAL") || !Exec(s->raw, "PRAGMA synchronous=FULL") ||
      !Exec(s->raw,
            "CREATE TABLE items(account TEXT NOT NULL, service TEXT NOT NULL, data BLOB NOT NULL,"
            " PRIMARY KEY(account, service))")) {
    return false;
  }
  if (sqlite3_prepare_v2(s->raw,
                         "INSERT INTO items(account, service, data) VALUES(?1, ?2, ?3) "
                         "ON CONFLICT(account, service) DO UPDATE SET data = excluded.data",
                         -1, &s->raw_upsert, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(s->raw, "SELECT data FROM items WHERE account = ?1 AND service = ?2", -1,
                         &s->raw_read, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(s->raw, "SELECT 1 FROM items WHERE account = ?1 AND service = ?2", -1,
                         &s->raw_contains, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(s->raw, "SELECT account, data FROM items WHERE service = ?1", -1,
                         &s->raw_all, nullptr) != SQLITE_OK) {
    return false;
  }

  // 1,000 items of one service on both sides, each written in one go.
  Exec(s->raw, "BEGIN");
  for (int i = 0; i < kManyItems; ++i) {
    const std::string account = "item" + std::to_string(i);
    const std::string value = "value-" + std::to_string(i);
    KeychainQueryParameters one = s->many;
    one.key = account;
    if (s->storage->write(one, value).status != errSecSuccess) return false;
    sqlite3_bind_text(s->raw_upsert, 1, account.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s->raw_upsert, 2, "bench.many", -1, SQLITE_STATIC);
    sqlite3_bind_blob(s->raw_upsert, 3, value.data(), int(value.size()), SQLITE_TRANSIENT);
    sqlite3_step(s->raw_upsert);
    sqlite3_reset(s->raw_upsert);
  }
  return Exec(s->raw, "COMMIT");
}

void Teardown(Setup* s) {
  for (sqlite3_stmt* stmt : {s->raw_upsert, s->raw_read, s->raw_contains, s->raw_all}) {
    sqlite3_finalize(stmt);
  }
  sqlite3_close(s->raw);
  s->storage.reset();
  std::error_code ignored;
  if (!s->dir.empty()) std::filesystem::remove_all(s->dir, ignored);
}

void Check(benchmark::State& state, OSStatus status) {
  if (status != errSecSuccess) state.SkipWithError(("status " + std::to_string(status)).c_str());
}

void BindKey(sqlite3_stmt* stmt) {
  sqlite3_bind_text(stmt, 1, "token", -1, SQLITE_STATIC);
  sqlite3_bind_text(stmt, 2, "bench", -1, SQLITE_STATIC);
}

// Each write stores a new value: SQLite skips the commit of a write that
// changes no page, which would flatter the raw side.
void BM_StorageWrite(benchmark::State& state) {
  uint64_t n = 0;
  for (auto _ : state) {
    Check(state, g->storage->write(g->plain, "token-value-" + std::to_string(++n)).status);
  }
}
BENCHMARK(BM_StorageWrite);

void BM_RawWrite(benchmark::State& state) {
  uint64_t n = 0;
  for (auto _ : state) {
    const std::string value = "token-value-" + std::to_string(++n);
    BindKey(g->raw_upsert);
    sqlite3_bind_blob(g->raw_upsert, 3, value.data(), int(value.size()), SQLITE_STATIC);
    int rc = sqlite3_step(g->raw_upsert);
    sqlite3_reset(g->raw_upsert);
    if (rc != SQLITE_DONE) state.SkipWithError(sqlite3_errmsg(g->raw));
  }
}
BENCHMARK(BM_RawWrite);

void BM_StorageRead(benchmark::State& state) {
  for (auto _ : state) {
    FlutterSecureStorageResponse r = g->storage->read(g->plain);
    Check(state, r.status);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_StorageRead);

void BM_RawRead(benchmark::State& state) {
  for (auto _ : state) {
    BindKey(g->raw_read);
    std::string text;
    if (sqlite3_step(g->raw_read) == SQLITE_ROW) {
      auto* p = static_cast<const char*>(sqlite3_column_blob(g->raw_read, 0));
      text.assign(p, p + sqlite3_column_bytes(g->raw_read, 0));
    }
    sqlite3_reset(g->raw_read);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_RawRead);

void BM_StorageContainsKey(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(g->storage->containsKey(g->plain));
}
BENCHMARK(BM_StorageContainsKey);

void BM_RawContains(benchmark::State& state) {
  for (auto _ : state) {
    BindKey(g->raw_contains);
    benchmark::DoNotOptimize(sqlite3_step(g->raw_contains) == SQLITE_ROW);
    sqlite3_reset(g->raw_contains);
  }
}
BENCHMARK(BM_RawContains);

void BM_StorageReadAll1000(benchmark::State& state) {
  for (auto _ : state) {
    FlutterSecureStorageResponse r = g->storage->readAll(g->many);
    Check(state, r.status);
    auto* map = std::get_if<FlutterSecureStorageResponse::Map>(&r.value);
    if (!map || map->size() != kManyItems) state.SkipWithError("not all items listed");
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_StorageReadAll1000);

void BM_RawReadAll1000(benchmark::State& state) {
  for (auto _ : state) {
    std::map<std::string, std::string> values;
    sqlite3_bind_text(g->raw_all, 1, "bench.many", -1, SQLITE_STATIC);
    while (sqlite3_step(g->raw_all) == SQLITE_ROW) {
      auto* account = reinterpret_cast<const char*>(sqlite3_column_text(g->raw_all, 0));
      auto* p = static_cast<const char*>(sqlite3_column_blob(g->raw_all, 1));
      values[account].assign(p, p + sqlite3_column_bytes(g->raw_all, 1));
    }
    sqlite3_reset(g->raw_all);
    if (values.size() != kManyItems) state.SkipWithError("not all rows listed");
    benchmark::DoNotOptimize(values);
  }
}
BENCHMARK(BM_RawReadAll1000);

void BM_EnclaveWrite(benchmark::State& state) {
  uint64_t n = 0;
  for (auto _ : state) {
    Check(state, g->storage->write(g->enclave, "token-value-" + std::to_string(++n)).status);
  }
}
BENCHMARK(BM_EnclaveWrite);

void BM_EnclaveRead(benchmark::State& state) {
  for (auto _ : state) {
    FlutterSecureStorageResponse r = g->storage->read(g->enclave);
    Check(state, r.status);
    if (!std::holds_alternative<std::string>(r.value)) state.SkipWithError("no value");
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_EnclaveRead);

}  // namespace
}  // namespace kelvo

int main(int argc, char** argv) {
  return kelvo::RunBenchmarksWithSetup(argc, argv, &kelvo::g, kelvo::Prepare, kelvo::Teardown,
                                       "secure_storage_bench: cannot set up the keychain",
                                       {
      {"secure_storage_write_vs_raw_sqlite", "BM_StorageWrite", "BM_RawWrite"},
      {"secure_storage_read_vs_raw_sqlite", "BM_StorageRead", "BM_RawRead"},
      {"secure_storage_contains_vs_raw_sqlite", "BM_StorageContainsKey", "BM_RawContains"},
      {"secure_storage_read_all_1000_vs_raw_sqlite", "BM_StorageReadAll1000", "BM_RawReadAll1000"},
      {"secure_storage_enclave_write_vs_plain", "BM_EnclaveWrite", "BM_StorageWrite"},
      {"secure_storage_enclave_read_vs_plain", "BM_EnclaveRead", "BM_StorageRead"},
                                       });
}
