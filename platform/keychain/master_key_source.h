// Where the keychain's master key lives, and how the keychain and the
// software enclave store get it.
//
// The session bus is DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus
// when it exists; without either there is no Secret Service (no bus is
// ever autolaunched). The process keeps its first bus connection.
//
// With a Secret Service on the session bus (GNOME Keyring, KWallet,
// KeePassXC) the key is one item of the schema "net.kelvo.app.MasterKey"
// whose attribute "keychain" is the keychain directory, in the default
// collection. A master.key file found beside the databases is moved into
// that item and then removed. Only when no Secret Service is reachable is
// the file used (created when missing), and then `log` is told once per
// process that secrets are protected by file permissions only.
//
// Statuses of Get: errSecSuccess with the key; errSecInteractionNotAllowed
// while the collection holding the key is locked (nothing is created or
// migrated then); errSecIO when the key cannot be had otherwise (a
// damaged key file, the Secret Service failing mid-call).
//
// Caching: the Secret Service's key is kept in this process while
// `may_cache` says so (the host passes "the login session is unlocked");
// when it says no, the cache is wiped and every Get asks the Secret
// Service again, which then answers for the collection's lock state.
//
// Ownership: shared by the keychain and the enclave store of one process.
// Threading: every method may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/crypto/aes_gcm.h"
#include "platform/keychain/keychain.h"

namespace kelvo {

inline constexpr char kMasterKeySchema[] = "net.kelvo.app.MasterKey";
inline constexpr char kMasterKeyDirectoryAttribute[] = "keychain";

enum class MasterKeyStore { kSecretService, kFile };

class MasterKeySource {
 public:
  virtual ~MasterKeySource() = default;
  // The key into `key` (replaced; the caller wipes it after use).
  virtual OSStatus Get(CryptoBytes* key) = 0;
  virtual MasterKeyStore store() const = 0;
  // Where the key is, for people: the Secret Service item or the file path.
  virtual std::string Describe() const = 0;
};

// A fetched key that wipes itself.
struct MasterKey {
  CryptoBytes bytes;
  MasterKey() = default;
  MasterKey(const MasterKey&) = delete;
  MasterKey& operator=(const MasterKey&) = delete;
  ~MasterKey();
  OSStatus Fetch(MasterKeySource& source) { return source.Get(&bytes); }
};

struct MasterKeyOptions {
  // Set to skip the Secret Service entirely (file only).
  bool file_only = false;
  // Whether the key may stay in memory between calls; null: always.
  std::function<bool()> may_cache;
  // Where the one-time remarks go (never the key); null: standard error.
  std::function<void(const std::string& line)> log;
};

// The source for the keychain directory `dir` (which must exist).
// Null with `error` set when neither store can give a key.
std::shared_ptr<MasterKeySource> OpenMasterKeySource(const std::string& dir,
                                                     const MasterKeyOptions& options,
                                                     std::string* error);

// The key file alone (tests of the file store and the fallback).
std::shared_ptr<MasterKeySource> OpenFileMasterKeySource(const std::string& dir,
                                                         std::string* error);

// The Secret Service store for `dir`; null with `error` set when no Secret
// Service answers on the bus. Migrates an existing key file. Internal to
// OpenMasterKeySource, visible for tests.
std::shared_ptr<MasterKeySource> OpenSecretServiceMasterKeySource(
    const std::string& dir, const MasterKeyOptions& options, std::string* error);

}  // namespace kelvo
