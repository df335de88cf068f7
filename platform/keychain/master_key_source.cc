// The choice between the Secret Service and the key file, and the file
// store itself.
#include "platform/keychain/master_key_source.h"

#include <openssl/crypto.h>

#include "platform/keychain/keychain_files.h"

namespace kelvo {
namespace {

class FileMasterKey final : public MasterKeySource {
 public:
  FileMasterKey(std::string dir, CryptoBytes key) : dir_(std::move(dir)), key_(std::move(key)) {}
  ~FileMasterKey() override { OPENSSL_cleanse(key_.data(), key_.size()); }

  OSStatus Get(CryptoBytes* key) override {
    *key = key_;
    return errSecSuccess;
  }
  MasterKeyStore store() const override { return MasterKeyStore::kFile; }
  std::string Describe() const override { return dir_ + "/" + kMasterKeyFileName; }

 private:
  const std::string dir_;
  CryptoBytes key_;  // read once: the file never changes under a running keychain
};

}  // namespace

MasterKey::~MasterKey() { OPENSSL_cleanse(bytes.data(), bytes.size()); }

std::shared_ptr<MasterKeySource> OpenFileMasterKeySource(const std::string& dir,
                                                         std::string* error) {
  std::optional<CryptoBytes> key = LoadOrCreateMasterKey(dir, error);
  if (!key) return nullptr;
  return std::make_shared<FileMasterKey>(dir, std::move(*key));
}

std::shared_ptr<MasterKeySource> OpenMasterKeySource(const std::string& dir,
                                                     const MasterKeyOptions& options,
                                                     std::string* error) {
  if (options.file_only) return OpenFileMasterKeySource(dir, error);
  std::string why;
  if (auto service = OpenSecretServiceMasterKeySource(dir, options, &why)) return service;
  std::shared_ptr<MasterKeySource> file = OpenFileMasterKeySource(dir, error);
  if (file) {
    const std::string line = "no Secret Service is reachable (" + why + "): the master key is " +
                             file->Describe() +
                             ", so secrets are protected by file permissions only";
    if (options.log) {
      options.log(line);
    } else {
      LogKeychain(line);
    }
  }
  return file;
}

}  // namespace kelvo
