// Pieces shared by the enclave's two key tables (software keys and TPM
// keys): blob columns, the access-control columns, deletion by tag, and a
// public key that encrypts with ECIES to its point. Internal to the
// enclave layer.
// Threading: free functions on a statement the caller holds; the public
// key is immutable.
#pragma once

#include <sqlite3.h>

#include <functional>
#include <string>

#include "platform/enclave/secure_enclave.h"
#include "platform/keychain/sqlite_file.h"

namespace kelvo {

inline constexpr char kEnclaveUnsupported[] =
    "The operation couldn’t be completed. (algorithm not supported)";

CryptoBytes EnclaveColumnBlob(sqlite3_stmt* s, int column);
// A zero-length blob still binds as a blob, not as NULL.
bool EnclaveBindBlob(sqlite3_stmt* s, int param, const CryptoBytes& bytes);
// Binds the protection and the flags (NULLs without an access control).
bool EnclaveBindAccessControl(sqlite3_stmt* s, int protection_param, int flags_param,
                              const SecAccessControlRef& access_control);
// Runs `delete_sql` (one parameter: the tag): errSecSuccess when rows went,
// errSecItemNotFound when none, else `failed`'s status.
OSStatus EnclaveDeleteByTag(SqliteConnection* connection, const char* delete_sql,
                            const CryptoBytes& tag,
                            const std::function<OSStatus(const std::string&)>& failed);

// Binds the tag to `select`'s first parameter and steps to the first row:
// errSecSuccess on it, errSecItemNotFound when there is none, errSecIO
// without a statement, else `failed`'s status. The caller holds `select`
// in a StatementScope and reads the row's columns after success.
OSStatus EnclaveStepToKey(sqlite3_stmt* select, const CryptoBytes& tag,
                          const std::function<OSStatus(const std::string&)>& failed);

bool IsEnclaveAlgorithm(SecKeyAlgorithm algorithm);

class EciesPublicKey final : public SecPublicKey {
 public:
  explicit EciesPublicKey(CryptoBytes point) : point_(std::move(point)) {}
  bool IsAlgorithmSupported(SecKeyOperationType op, SecKeyAlgorithm algorithm) const override;
  std::optional<CryptoBytes> CreateEncryptedData(SecKeyAlgorithm algorithm,
                                                 std::span<const uint8_t> plaintext,
                                                 std::string* error) const override;
  CryptoBytes ExternalRepresentation() const override { return point_; }

 private:
  const CryptoBytes point_;
};

}  // namespace kelvo
