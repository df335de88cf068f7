// The files of the user's keychain directory, shared by the keychain and
// the enclave store. Internal to the keychain layer.
//
// Layout: `<XDG_DATA_HOME>/kelvo/keychain/` (XDG_DATA_HOME when it is an
// absolute path, else `$HOME/.local/share`), mode 0700, holding master.key
// (32 random bytes, 0600), keychain.sqlite3 and enclave.sqlite3 (0600, as
// are SQLite's -wal and -shm files beside them).
//
// Threading: free functions, safe from any thread and any process.
#pragma once

#include <optional>
#include <string>

#include "platform/crypto/aes_gcm.h"

namespace kelvo {

inline constexpr char kMasterKeyFileName[] = "master.key";
inline constexpr size_t kMasterKeySize = 32;

// Writes a line about the keychain's files to standard error. Never given
// secrets: paths and library messages only.
void LogKeychain(const std::string& message);

// The user's keychain directory, below the data home of
// platform/xdg/base_dirs.h; nothing with `error` set to the home
// directory's problem when there is none.
std::optional<std::string> UserKeychainDirectory(std::string* error);

// Creates `dir` and missing parents (parents it creates get 0700) and sets
// `dir` itself to 0700 whatever the umask.
bool EnsurePrivateDirectory(const std::string& dir, std::string* error);

// The master key in `dir`, created when missing. Creation is atomic (the
// key is written to a private temporary file that is then linked into
// place, which fails when another process was first), so processes racing
// to create it all end up with the one key that won. A key file of the
// wrong size is reported, never replaced.
std::optional<CryptoBytes> LoadOrCreateMasterKey(const std::string& dir, std::string* error);

// The key file in `dir` as it is: the key, nothing when there is no file
// (`error` left empty), or nothing with `error` set when it is damaged or
// unreadable. Creates nothing.
std::optional<CryptoBytes> ReadMasterKeyFile(const std::string& dir, std::string* error);

// Removes the key file of `dir` (after its key moved elsewhere) and syncs
// the directory. True also when there was none.
bool RemoveMasterKeyFile(const std::string& dir, std::string* error);

}  // namespace kelvo
