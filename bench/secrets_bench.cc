// Where the secrets' keys live, and what that costs: a keychain read with
// the master key from the Secret Service (gnome-keyring-daemon on a private
// bus; cached in the process while the session is unlocked, and uncached
// as while it is locked) next to a raw SQLite read; enclave-protected
// write and read with the key in a software TPM (swtpm) next to the
// software fallback. Prints the time ratios at the end. Pairs whose daemon
// is not installed are skipped.
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/ratio_reporter.h"
#include "benchmark/benchmark.h"
#include "platform/desktop_notify/fake_session_bus.h"
#include "platform/enclave/test_swtpm.h"
#include "platform/keychain/master_key_source.h"
#include "platform/fs/test_dir.h"
#include "platform/keychain/test_keyring.h"
#include "services/secure_storage/flutter_secure_storage.h"
#include "services/secure_storage/parse_call.h"

namespace kelvo {
namespace {

struct Setup {
  TestDir home;
  FakeSessionBus bus;
  TestKeyring keyring;
  TestSwtpm tpm;
  std::unique_ptr<Keychain> cached;    // key from the Secret Service, kept
  std::unique_ptr<Keychain> uncached;  // key asked for at every read
  std::unique_ptr<FlutterSecureStorage> on_tpm;
  std::unique_ptr<FlutterSecureStorage> in_software;
  KeychainQueryParameters enclave;
  sqlite3* raw = nullptr;
  sqlite3_stmt* raw_read = nullptr;
};

Setup* g = nullptr;

const SecDictionary kRead = {{kSecClass, std::string(kSecClassGenericPassword)},
                             {kSecAttrAccount, std::string("token")},
                             {kSecAttrService, std::string("bench")},
                             {kSecReturnData, true}};

std::string Dir(const std::string& name) {
  std::string dir = g->home.path() + "/" + name;
  std::filesystem::create_directories(dir);
  return dir;
}

void PrepareSecretService() {
  if (!TestKeyring::Installed() || g->bus.Start() ||
      g->keyring.Start(g->bus.address(), g->home.path())) {
    return;
  }
  setenv("DBUS_SESSION_BUS_ADDRESS", g->bus.address().c_str(), 1);
  const std::string dir = Dir("keychain");
  std::string error;
  MasterKeyOptions cached_options;
  MasterKeyOptions uncached_options;
  uncached_options.may_cache = [] { return false; };
  g->cached = OpenKeychainAt(dir, OpenMasterKeySource(dir, cached_options, &error), &error);
  g->uncached = OpenKeychainAt(dir, OpenMasterKeySource(dir, uncached_options, &error), &error);
  SecDictionary item = kRead;
  item.erase(kSecReturnData);
  item[kSecValueData] = SecBytes(32, 'x');
  if (!g->cached || g->cached->Add(item) != errSecSuccess) g->cached.reset();
}

std::unique_ptr<FlutterSecureStorage> EnclaveStorage(const std::string& dir,
                                                     const EnclaveOptions& options) {
  std::string error;
  std::shared_ptr<Keychain> keychain = OpenKeychainAt(dir, &error);
  auto source = OpenFileMasterKeySource(dir, &error);
  EnclaveBackend backend = EnclaveBackend::kSoftware;
  std::shared_ptr<SecureEnclave> enclave =
      source ? OpenSecureEnclaveAt(dir, source, options, &backend, &error) : nullptr;
  if (!keychain || !enclave || (!options.software_only && backend != EnclaveBackend::kTpm)) {
    return nullptr;
  }
  auto storage = std::make_unique<FlutterSecureStorage>(keychain, enclave);
  if (storage->write(g->enclave, "initial").status != errSecSuccess) return nullptr;
  return storage;
}

void PrepareEnclaves() {
  ValueMap options{{"accountName", "bench.enclave"}, {"useSecureEnclave", "true"}};
  g->enclave = parseCall(ValueMap{{"options", Value(options)}, {"key", "token"}}).params;
  EnclaveOptions software;
  software.software_only = true;
  g->in_software = EnclaveStorage(Dir("software"), software);
  if (TestSwtpm::Installed() && !g->tpm.Start()) {
    EnclaveOptions tpm;
    tpm.tcti = g->tpm.tcti();
    g->on_tpm = EnclaveStorage(Dir("tpm"), tpm);
  }
}

bool PrepareRaw() {
  const std::string file = Dir("raw") + "/raw.sqlite3";
  if (sqlite3_open_v2(file.c_str(), &g->raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    return false;
  }
  return sqlite3_exec(g->raw,
                      "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                      "CREATE TABLE items(account TEXT NOT NULL, service TEXT NOT NULL,"
                      " data BLOB NOT NULL, UNIQUE(account, service));"
                      "INSERT INTO items VALUES('token', 'bench', zeroblob(60))",
                      nullptr, nullptr, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(g->raw, "SELECT data FROM items WHERE account = ?1 AND service = ?2",
                            -1, &g->raw_read, nullptr) == SQLITE_OK;
}

void KeychainRead(benchmark::State& state, Keychain* keychain) {
  if (!keychain) return state.SkipWithError("no Secret Service (gnome-keyring-daemon)");
  for (auto _ : state) {
    SecResult result;
    if (keychain->CopyMatching(kRead, &result) != errSecSuccess) {
      return state.SkipWithError("read failed");
    }
    benchmark::DoNotOptimize(result);
  }
}

void BM_KeychainReadSecretServiceKey(benchmark::State& state) {
  KeychainRead(state, g->cached.get());
}
BENCHMARK(BM_KeychainReadSecretServiceKey);

void BM_KeychainReadSecretServiceKeyUncached(benchmark::State& state) {
  KeychainRead(state, g->cached ? g->uncached.get() : nullptr);
}
BENCHMARK(BM_KeychainReadSecretServiceKeyUncached);

void BM_RawSqliteRead(benchmark::State& state) {
  for (auto _ : state) {
    sqlite3_bind_text(g->raw_read, 1, "token", -1, SQLITE_STATIC);
    sqlite3_bind_text(g->raw_read, 2, "bench", -1, SQLITE_STATIC);
    if (sqlite3_step(g->raw_read) != SQLITE_ROW) return state.SkipWithError("raw read failed");
    const void* blob = sqlite3_column_blob(g->raw_read, 0);
    SecBytes data(static_cast<const uint8_t*>(blob),
                  static_cast<const uint8_t*>(blob) + sqlite3_column_bytes(g->raw_read, 0));
    benchmark::DoNotOptimize(data);
    sqlite3_reset(g->raw_read);
  }
}
BENCHMARK(BM_RawSqliteRead);

void EnclaveWrite(benchmark::State& state, FlutterSecureStorage* storage) {
  if (!storage) return state.SkipWithError("no enclave store (swtpm missing?)");
  for (auto _ : state) {
    if (storage->write(g->enclave, "value").status != errSecSuccess) {
      return state.SkipWithError("write failed");
    }
  }
}

void EnclaveRead(benchmark::State& state, FlutterSecureStorage* storage) {
  if (!storage) return state.SkipWithError("no enclave store (swtpm missing?)");
  for (auto _ : state) {
    FlutterSecureStorageResponse r = storage->read(g->enclave);
    if (r.status != errSecSuccess) return state.SkipWithError("read failed");
    benchmark::DoNotOptimize(r);
  }
}

void BM_EnclaveWriteTpm(benchmark::State& state) { EnclaveWrite(state, g->on_tpm.get()); }
BENCHMARK(BM_EnclaveWriteTpm);
void BM_EnclaveWriteSoftware(benchmark::State& state) {
  EnclaveWrite(state, g->in_software.get());
}
BENCHMARK(BM_EnclaveWriteSoftware);
void BM_EnclaveReadTpm(benchmark::State& state) { EnclaveRead(state, g->on_tpm.get()); }
BENCHMARK(BM_EnclaveReadTpm);
void BM_EnclaveReadSoftware(benchmark::State& state) { EnclaveRead(state, g->in_software.get()); }
BENCHMARK(BM_EnclaveReadSoftware);

}  // namespace
}  // namespace kelvo

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  kelvo::Setup setup;
  kelvo::g = &setup;
  if (!kelvo::PrepareRaw()) {
    std::fprintf(stderr, "secrets_bench: cannot prepare the raw SQLite file\n");
    return 1;
  }
  kelvo::PrepareSecretService();
  kelvo::PrepareEnclaves();
  kelvo::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("keychain_read_secret_service_key_vs_raw_sqlite",
                      "BM_KeychainReadSecretServiceKey", "BM_RawSqliteRead");
  reporter.PrintRatio("keychain_read_uncached_key_vs_raw_sqlite",
                      "BM_KeychainReadSecretServiceKeyUncached", "BM_RawSqliteRead");
  reporter.PrintRatio("enclave_write_tpm_vs_software", "BM_EnclaveWriteTpm",
                      "BM_EnclaveWriteSoftware");
  reporter.PrintRatio("enclave_read_tpm_vs_software", "BM_EnclaveReadTpm",
                      "BM_EnclaveReadSoftware");
  sqlite3_finalize(setup.raw_read);
  sqlite3_close(setup.raw);
  setup.cached.reset();
  setup.uncached.reset();
  benchmark::Shutdown();
  return 0;
}
