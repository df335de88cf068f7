// The two stores behind the enclave, put together by OpenSecureEnclaveAt.
// Internal to the enclave layer.
#pragma once

#include <memory>
#include <string>

#include "platform/enclave/secure_enclave.h"
#include "platform/enclave/tpm_device.h"

namespace kelvo {

class MasterKeySource;

// Software keys sealed under the keychain's master key (table keys).
std::unique_ptr<SecureEnclave> OpenSoftwareEnclaveAt(const std::string& directory,
                                                     std::shared_ptr<MasterKeySource> master_key,
                                                     std::string* error);

// Keys held by `tpm` (table tpm_keys). With a null `tpm` it finds and
// creates nothing but still deletes, so "deleteAll" removes keys of a TPM
// that is away.
std::unique_ptr<SecureEnclave> OpenTpmEnclaveAt(const std::string& directory,
                                                std::shared_ptr<TpmDevice> tpm,
                                                std::string* error);

}  // namespace kelvo
