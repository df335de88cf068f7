// A TPM 2.0 reached through tpm2-tss (ESAPI), holding P-256 keys whose
// private parts never leave the chip. Internal to the enclave layer.
//
// Keys are made under a primary storage key of the owner (storage)
// hierarchy, re-derived from the TPM's seed whenever the device is opened
// (the standard ECC P-256 storage template, so nothing of it is stored).
// Each key is fixedTPM and fixedParent, an unrestricted decryption key with
// no scheme, usable with an empty password; what is kept outside is its
// public area and its private area wrapped by the parent, both marshalled
// as TPM2B structures. Such a blob loads only into the TPM that made it.
//
// Threading: every method may be called from any thread (serialised
// inside: an ESAPI context is single-threaded).
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/crypto/aes_gcm.h"

namespace kelvo {

struct TpmKeyBlob {
  CryptoBytes tpm_public;   // TPM2B_PUBLIC, marshalled
  CryptoBytes tpm_private;  // TPM2B_PRIVATE, marshalled (wrapped by the parent)
  CryptoBytes point;        // 65-byte uncompressed P-256 point
};

class TpmDevice {
 public:
  virtual ~TpmDevice() = default;
  virtual std::optional<TpmKeyBlob> CreateKey(std::string* error) = 0;
  // ECDH inside the TPM (TPM2_ECDH_ZGen): the x coordinate (32 bytes) of
  // the key's private scalar times `peer_point`.
  virtual std::optional<CryptoBytes> SharedSecret(const TpmKeyBlob& key,
                                                  std::span<const uint8_t> peer_point,
                                                  std::string* error) = 0;
};

// The TCTI to use: KELVO_TPM_TCTI when set, else "device:/dev/tpmrm0" when
// this user may open it, else nothing (with `why` set).
std::optional<std::string> DefaultTpmTcti(std::string* why);

// Opens the TPM behind `tcti` (a tpm2-tss TCTI string such as
// "swtpm:host=127.0.0.1,port=2321") and derives the primary key. Null with
// `error` set when no TPM answers.
std::unique_ptr<TpmDevice> OpenTpmDevice(const std::string& tcti, std::string* error);

}  // namespace kelvo
