// A fault-injecting SQLite file system for tests: a shim over the default
// VFS that fails the Nth write, sync or lock from the moment it is armed,
// or from the Nth write on reports a full disk.
//
// Install() registers it as the default VFS of the process, so every
// connection opened afterwards (by any store) goes through it; nothing is
// failed until Arm(). The counts are process-wide and thread-safe.
#pragma once

#include <cstdint>

namespace kelvo {

enum class SqliteFault {
  kNone,
  kWrite,     // the Nth write fails with an I/O error
  kSync,      // the Nth sync fails
  kLock,      // the Nth lock (file or shared-memory) reports busy
  kFullDisk,  // the Nth write and every write after it: disk full
};

class FaultVfs {
 public:
  // Idempotent.
  static void Install();
  // Counts from zero again and fails the `nth` (1-based) operation of `kind`.
  static void Arm(SqliteFault kind, int64_t nth);
  // No more failures; the counts stay readable.
  static void Disarm();
  // Operations of `kind` seen since the last Arm (kFullDisk counts writes).
  static int64_t Count(SqliteFault kind);
  // Whether a failure was injected since the last Arm.
  static bool Fired();
};

}  // namespace kelvo
