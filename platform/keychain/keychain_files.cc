#include "platform/keychain/keychain_files.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fs/files.h"
#include "platform/xdg/base_dirs.h"

namespace kelvo {
namespace {

std::string Errno(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

enum class ReadResult { kOk, kMissing, kFailed };

ReadResult ReadKey(const std::string& path, CryptoBytes* key, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (errno == ENOENT) return ReadResult::kMissing;
    *error = Errno("cannot open", path);
    return ReadResult::kFailed;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = Errno("cannot stat", path);
    close(fd);
    return ReadResult::kFailed;
  }
  if (!S_ISREG(st.st_mode) || st.st_size != static_cast<off_t>(kMasterKeySize)) {
    *error = "damaged master key " + path + ": not a file of " + std::to_string(kMasterKeySize) +
             " bytes";
    close(fd);
    return ReadResult::kFailed;
  }
  key->assign(kMasterKeySize, 0);
  size_t got = 0;
  while (got < kMasterKeySize) {
    ssize_t r = read(fd, key->data() + got, kMasterKeySize - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  close(fd);
  if (got != kMasterKeySize) {
    OPENSSL_cleanse(key->data(), key->size());
    *error = "cannot read master key " + path;
    return ReadResult::kFailed;
  }
  return ReadResult::kOk;
}

// Writes a new key to a temporary file and links it to `path`; success
// also when another process linked its key first.
bool CreateKey(const std::string& dir, const std::string& path, std::string* error) {
  std::optional<CryptoBytes> key = RandomBytes(kMasterKeySize);
  if (!key) {
    *error = "no random bytes for a master key";
    return false;
  }
  std::string tmp = dir + "/.master.key.XXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) {
    *error = Errno("cannot create a file in", dir);
    OPENSSL_cleanse(key->data(), key->size());
    return false;
  }
  bool ok = fchmod(fd, kSecretFileMode) == 0 && WriteAll(fd, key->data(), key->size()) &&
            fsync(fd) == 0;
  OPENSSL_cleanse(key->data(), key->size());
  if (!ok) *error = Errno("cannot write", tmp);
  close(fd);
  if (ok && link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST) {
    *error = Errno("cannot create", path);
    ok = false;
  }
  unlink(tmp.c_str());
  SyncDirectory(dir);
  return ok;
}

}  // namespace

void LogKeychain(const std::string& message) {
  std::fprintf(stderr, "kelvo keychain: %s\n", message.c_str());
}

std::optional<std::string> UserKeychainDirectory(std::string* error) {
  XdgBaseDirs dirs = XdgBaseDirs::FromProcess();
  std::optional<std::string> data_home = dirs.Known(dirs.data_home, error);
  if (!data_home) return std::nullopt;
  return *data_home + "/kelvo/keychain";
}

bool EnsurePrivateDirectory(const std::string& dir, std::string* error) {
  std::string ignored;
  std::string* err = error ? error : &ignored;
  if (auto problem = MakeDirectories(dir, kPrivateDirectoryMode)) {
    *err = *problem;
    return false;
  }
  // An existing directory is narrowed too: it holds the master key.
  if (chmod(dir.c_str(), kPrivateDirectoryMode) != 0) {
    *err = Errno("cannot set the mode of", dir);
    return false;
  }
  return true;
}

std::optional<CryptoBytes> LoadOrCreateMasterKey(const std::string& dir, std::string* error) {
  std::string ignored;
  std::string* err = error ? error : &ignored;
  const std::string path = dir + "/" + kMasterKeyFileName;
  CryptoBytes key;
  for (int attempt = 0; attempt < 2; ++attempt) {
    switch (ReadKey(path, &key, err)) {
      case ReadResult::kOk:
        return key;
      case ReadResult::kFailed:
        return std::nullopt;
      case ReadResult::kMissing:
        if (!CreateKey(dir, path, err)) return std::nullopt;
        break;
    }
  }
  *err = "master key " + path + " vanished while being created";
  return std::nullopt;
}

std::optional<CryptoBytes> ReadMasterKeyFile(const std::string& dir, std::string* error) {
  std::string ignored;
  std::string* err = error ? error : &ignored;
  CryptoBytes key;
  if (ReadKey(dir + "/" + kMasterKeyFileName, &key, err) != ReadResult::kOk) return std::nullopt;
  return key;
}

bool RemoveMasterKeyFile(const std::string& dir, std::string* error) {
  const std::string path = dir + "/" + kMasterKeyFileName;
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    if (error) *error = Errno("cannot remove", path);
    return false;
  }
  SyncDirectory(dir);
  return true;
}

}  // namespace kelvo
