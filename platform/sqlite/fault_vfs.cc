#include "platform/sqlite/fault_vfs.h"

#include <sqlite3.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace kelvo {
namespace {

std::atomic<int> g_kind{static_cast<int>(SqliteFault::kNone)};
std::atomic<int64_t> g_nth{0};
std::atomic<int64_t> g_writes{0};
std::atomic<int64_t> g_syncs{0};
std::atomic<int64_t> g_locks{0};
std::atomic<bool> g_fired{false};

sqlite3_vfs* g_real = nullptr;
sqlite3_vfs g_vfs;
sqlite3_io_methods g_methods;

struct FaultFile {
  sqlite3_file base;
  sqlite3_file* real;  // lives right after this struct
};

sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<FaultFile*>(f)->real; }

// Counts one operation of `kind`; true when it must fail.
bool Hit(SqliteFault kind, std::atomic<int64_t>& counter) {
  const int64_t n = ++counter;
  const auto armed = static_cast<SqliteFault>(g_kind.load());
  bool fail = false;
  if (armed == kind) fail = n == g_nth.load();
  if (kind == SqliteFault::kWrite && armed == SqliteFault::kFullDisk) fail = n >= g_nth.load();
  if (fail) g_fired = true;
  return fail;
}

int Close(sqlite3_file* f) {
  sqlite3_file* real = Real(f);
  int rc = real->pMethods ? real->pMethods->xClose(real) : SQLITE_OK;
  return rc;
}
int Read(sqlite3_file* f, void* p, int n, sqlite3_int64 off) {
  return Real(f)->pMethods->xRead(Real(f), p, n, off);
}
int Write(sqlite3_file* f, const void* p, int n, sqlite3_int64 off) {
  if (Hit(SqliteFault::kWrite, g_writes)) {
    return static_cast<SqliteFault>(g_kind.load()) == SqliteFault::kFullDisk ? SQLITE_FULL
                                                                             : SQLITE_IOERR_WRITE;
  }
  return Real(f)->pMethods->xWrite(Real(f), p, n, off);
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) {
  return Real(f)->pMethods->xTruncate(Real(f), size);
}
int Sync(sqlite3_file* f, int flags) {
  if (Hit(SqliteFault::kSync, g_syncs)) return SQLITE_IOERR_FSYNC;
  return Real(f)->pMethods->xSync(Real(f), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) {
  return Real(f)->pMethods->xFileSize(Real(f), size);
}
int Lock(sqlite3_file* f, int level) {
  if (Hit(SqliteFault::kLock, g_locks)) return SQLITE_BUSY;
  return Real(f)->pMethods->xLock(Real(f), level);
}
int Unlock(sqlite3_file* f, int level) { return Real(f)->pMethods->xUnlock(Real(f), level); }
int CheckReservedLock(sqlite3_file* f, int* out) {
  return Real(f)->pMethods->xCheckReservedLock(Real(f), out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
  return Real(f)->pMethods->xFileControl(Real(f), op, arg);
}
int SectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
int DeviceCharacteristics(sqlite3_file* f) {
  return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
}
int ShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** p) {
  return Real(f)->pMethods->xShmMap(Real(f), page, size, extend, p);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
  if ((flags & SQLITE_SHM_LOCK) != 0 && Hit(SqliteFault::kLock, g_locks)) return SQLITE_BUSY;
  return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
}
void ShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }
int ShmUnmap(sqlite3_file* f, int delete_flag) {
  return Real(f)->pMethods->xShmUnmap(Real(f), delete_flag);
}
int Fetch(sqlite3_file* f, sqlite3_int64 off, int n, void** p) {
  // No memory-mapped reads: every page goes through Read.
  (void)f;
  (void)off;
  (void)n;
  *p = nullptr;
  return SQLITE_OK;
}
int Unfetch(sqlite3_file*, sqlite3_int64, void*) { return SQLITE_OK; }

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* out_flags) {
  auto* file = reinterpret_cast<FaultFile*>(f);
  file->base.pMethods = nullptr;
  file->real = reinterpret_cast<sqlite3_file*>(file + 1);
  std::memset(file->real, 0, static_cast<size_t>(g_real->szOsFile));
  int rc = g_real->xOpen(g_real, name, file->real, flags, out_flags);
  if (file->real->pMethods != nullptr) file->base.pMethods = &g_methods;
  return rc;
}
int Delete(sqlite3_vfs*, const char* name, int sync_dir) {
  return g_real->xDelete(g_real, name, sync_dir);
}
int Access(sqlite3_vfs*, const char* name, int flags, int* out) {
  return g_real->xAccess(g_real, name, flags, out);
}
int FullPathname(sqlite3_vfs*, const char* name, int n, char* out) {
  return g_real->xFullPathname(g_real, name, n, out);
}
void* DlOpen(sqlite3_vfs*, const char* name) { return g_real->xDlOpen(g_real, name); }
void DlError(sqlite3_vfs*, int n, char* out) { g_real->xDlError(g_real, n, out); }
void (*DlSym(sqlite3_vfs*, void* h, const char* sym))(void) {
  return g_real->xDlSym(g_real, h, sym);
}
void DlClose(sqlite3_vfs*, void* h) { g_real->xDlClose(g_real, h); }
int Randomness(sqlite3_vfs*, int n, char* out) { return g_real->xRandomness(g_real, n, out); }
int Sleep(sqlite3_vfs*, int us) { return g_real->xSleep(g_real, us); }
int CurrentTime(sqlite3_vfs*, double* out) { return g_real->xCurrentTime(g_real, out); }
int GetLastError(sqlite3_vfs*, int n, char* out) {
  return g_real->xGetLastError ? g_real->xGetLastError(g_real, n, out) : 0;
}
int CurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
  return g_real->xCurrentTimeInt64(g_real, out);
}

}  // namespace

void FaultVfs::Install() {
  static std::once_flag once;
  std::call_once(once, [] {
    sqlite3_initialize();
    g_real = sqlite3_vfs_find(nullptr);
    g_methods = sqlite3_io_methods{3,        Close,       Read,     Write,  Truncate,
                                   Sync,     FileSize,    Lock,     Unlock, CheckReservedLock,
                                   FileControl, SectorSize, DeviceCharacteristics,
                                   ShmMap,   ShmLock,     ShmBarrier, ShmUnmap, Fetch, Unfetch};
    std::memset(&g_vfs, 0, sizeof g_vfs);
    g_vfs.iVersion = 2;
    g_vfs.szOsFile = static_cast<int>(sizeof(FaultFile)) + g_real->szOsFile;
    g_vfs.mxPathname = g_real->mxPathname;
    g_vfs.zName = "kelvo-fault";
    g_vfs.xOpen = Open;
    g_vfs.xDelete = Delete;
    g_vfs.xAccess = Access;
    g_vfs.xFullPathname = FullPathname;
    g_vfs.xDlOpen = DlOpen;
    g_vfs.xDlError = DlError;
    g_vfs.xDlSym = DlSym;
    g_vfs.xDlClose = DlClose;
    g_vfs.xRandomness = Randomness;
    g_vfs.xSleep = Sleep;
    g_vfs.xCurrentTime = CurrentTime;
    g_vfs.xGetLastError = GetLastError;
    g_vfs.xCurrentTimeInt64 = CurrentTimeInt64;
    sqlite3_vfs_register(&g_vfs, /*makeDflt=*/1);
  });
}

void FaultVfs::Arm(SqliteFault kind, int64_t nth) {
  g_kind = static_cast<int>(SqliteFault::kNone);
  g_writes = 0;
  g_syncs = 0;
  g_locks = 0;
  g_fired = false;
  g_nth = nth;
  g_kind = static_cast<int>(kind);
}

void FaultVfs::Disarm() { g_kind = static_cast<int>(SqliteFault::kNone); }

int64_t FaultVfs::Count(SqliteFault kind) {
  switch (kind) {
    case SqliteFault::kWrite:
    case SqliteFault::kFullDisk:
      return g_writes;
    case SqliteFault::kSync:
      return g_syncs;
    case SqliteFault::kLock:
      return g_locks;
    case SqliteFault::kNone:
      break;
  }
  return 0;
}

bool FaultVfs::Fired() { return g_fired; }

}  // namespace kelvo
