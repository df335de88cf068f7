// Which store makes the enclave's keys: the TPM when there is one, the
// software keys otherwise.
#include "platform/enclave/enclave_backends.h"
#include "platform/enclave/secure_enclave.h"
#include "platform/keychain/keychain_files.h"
#include "platform/keychain/master_key_source.h"

namespace kelvo {
namespace {

class TpmWithSoftwareKeys final : public SecureEnclave {
 public:
  TpmWithSoftwareKeys(std::unique_ptr<SecureEnclave> tpm, std::unique_ptr<SecureEnclave> software,
                      bool tpm_present)
      : tpm_(std::move(tpm)), software_(std::move(software)), tpm_present_(tpm_present) {}

  OSStatus CopyKey(const CryptoBytes& application_tag, SecPrivateKeyRef* key) override {
    OSStatus status = tpm_->CopyKey(application_tag, key);
    if (status != errSecItemNotFound) return status;
    return software_->CopyKey(application_tag, key);
  }
  SecPrivateKeyRef CreateRandomKey(const CryptoBytes& application_tag,
                                   const SecAccessControlRef& access_control,
                                   std::string* error) override {
    SecureEnclave& maker = tpm_present_ ? *tpm_ : *software_;
    return maker.CreateRandomKey(application_tag, access_control, error);
  }
  OSStatus DeleteKey(const CryptoBytes& application_tag) override {
    OSStatus from_tpm = tpm_->DeleteKey(application_tag);
    OSStatus from_software = software_->DeleteKey(application_tag);
    if (from_tpm == errSecSuccess || from_software == errSecSuccess) return errSecSuccess;
    return from_tpm != errSecItemNotFound ? from_tpm : from_software;
  }

 private:
  const std::unique_ptr<SecureEnclave> tpm_;
  const std::unique_ptr<SecureEnclave> software_;
  const bool tpm_present_;
};

}  // namespace

std::unique_ptr<SecureEnclave> OpenSecureEnclaveAt(const std::string& directory,
                                                   std::shared_ptr<MasterKeySource> master_key,
                                                   const EnclaveOptions& options,
                                                   EnclaveBackend* backend, std::string* error) {
  std::shared_ptr<TpmDevice> device;
  std::string why = "turned off";
  if (!options.software_only) {
    std::optional<std::string> tcti =
        options.tcti.empty() ? DefaultTpmTcti(&why) : std::optional(options.tcti);
    if (tcti) device = OpenTpmDevice(*tcti, &why);
  }
  if (!device && !options.software_only) {
    const std::string line = "no TPM (" + why +
                             "): enclave keys are software keys sealed by the keychain's master key";
    if (options.log) {
      options.log(line);
    } else {
      LogKeychain(line);
    }
  }
  const bool tpm_present = device != nullptr;
  // The software keys' table first: the TPM's queries refer to it.
  std::unique_ptr<SecureEnclave> software =
      OpenSoftwareEnclaveAt(directory, std::move(master_key), error);
  if (!software) return nullptr;
  std::unique_ptr<SecureEnclave> tpm = OpenTpmEnclaveAt(directory, std::move(device), error);
  if (!tpm) return nullptr;
  if (backend) *backend = tpm_present ? EnclaveBackend::kTpm : EnclaveBackend::kSoftware;
  return std::make_unique<TpmWithSoftwareKeys>(std::move(tpm), std::move(software), tpm_present);
}

std::unique_ptr<SecureEnclave> OpenUserSecureEnclave(std::string* error) {
  std::optional<std::string> directory = UserKeychainDirectory(error);
  if (!directory || !EnsurePrivateDirectory(*directory, error)) return nullptr;
  std::shared_ptr<MasterKeySource> source = OpenMasterKeySource(*directory, {}, error);
  if (!source) return nullptr;
  return OpenSecureEnclaveAt(*directory, std::move(source), {}, nullptr, error);
}

std::unique_ptr<SecureEnclave> OpenSecureEnclaveAt(const std::string& directory,
                                                   std::string* error) {
  if (!EnsurePrivateDirectory(directory, error)) return nullptr;
  std::shared_ptr<MasterKeySource> source = OpenFileMasterKeySource(directory, error);
  if (!source) return nullptr;
  return OpenSoftwareEnclaveAt(directory, std::move(source), error);
}

}  // namespace kelvo
