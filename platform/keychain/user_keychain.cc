// Opening the user's keychain with its master key from wherever it lives.
#include "platform/keychain/keychain.h"
#include "platform/keychain/keychain_files.h"
#include "platform/keychain/master_key_source.h"

namespace kelvo {

std::unique_ptr<Keychain> OpenKeychainAt(const std::string& directory, std::string* error) {
  if (!EnsurePrivateDirectory(directory, error)) return nullptr;
  std::shared_ptr<MasterKeySource> source = OpenFileMasterKeySource(directory, error);
  if (!source) return nullptr;
  return OpenKeychainAt(directory, std::move(source), error);
}

std::unique_ptr<Keychain> OpenUserKeychain(std::string* error) {
  std::optional<std::string> directory = UserKeychainDirectory(error);
  if (!directory || !EnsurePrivateDirectory(*directory, error)) return nullptr;
  std::shared_ptr<MasterKeySource> source = OpenMasterKeySource(*directory, {}, error);
  if (!source) return nullptr;
  return OpenKeychainAt(*directory, std::move(source), error);
}

}  // namespace kelvo
