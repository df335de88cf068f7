#include "platform/enclave/enclave_rows.h"

namespace kelvo {

CryptoBytes EnclaveColumnBlob(sqlite3_stmt* s, int column) {
  const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(s, column));
  int n = sqlite3_column_bytes(s, column);
  return blob ? CryptoBytes(blob, blob + n) : CryptoBytes();
}

bool EnclaveBindBlob(sqlite3_stmt* s, int param, const CryptoBytes& bytes) {
  static const uint8_t kEmpty = 0;
  const void* data = bytes.empty() ? &kEmpty : bytes.data();
  return sqlite3_bind_blob64(s, param, data, bytes.size(), SQLITE_TRANSIENT) == SQLITE_OK;
}

bool EnclaveBindAccessControl(sqlite3_stmt* s, int protection_param, int flags_param,
                              const SecAccessControlRef& access_control) {
  if (!access_control) {
    return sqlite3_bind_null(s, protection_param) == SQLITE_OK &&
           sqlite3_bind_null(s, flags_param) == SQLITE_OK;
  }
  return sqlite3_bind_text64(s, protection_param, access_control->protection.data(),
                             access_control->protection.size(), SQLITE_TRANSIENT,
                             SQLITE_UTF8) == SQLITE_OK &&
         sqlite3_bind_int64(s, flags_param, static_cast<sqlite3_int64>(access_control->flags)) ==
             SQLITE_OK;
}

OSStatus EnclaveDeleteByTag(SqliteConnection* connection, const char* delete_sql,
                            const CryptoBytes& tag,
                            const std::function<OSStatus(const std::string&)>& failed) {
  sqlite3_stmt* remove = connection->Prepare(delete_sql);
  if (remove == nullptr) return errSecIO;
  StatementScope scope(remove);
  if (!EnclaveBindBlob(remove, 1, tag) || sqlite3_step(remove) != SQLITE_DONE) {
    return failed("cannot delete keys from");
  }
  return sqlite3_changes(connection->db()) > 0 ? errSecSuccess : errSecItemNotFound;
}

OSStatus EnclaveStepToKey(sqlite3_stmt* select, const CryptoBytes& tag,
                          const std::function<OSStatus(const std::string&)>& failed) {
  if (select == nullptr) return errSecIO;
  if (!EnclaveBindBlob(select, 1, tag)) return failed("cannot look up a key in");
  int rc = sqlite3_step(select);
  if (rc == SQLITE_DONE) return errSecItemNotFound;
  if (rc != SQLITE_ROW) return failed("cannot look up a key in");
  return errSecSuccess;
}

bool IsEnclaveAlgorithm(SecKeyAlgorithm algorithm) {
  return algorithm == SecKeyAlgorithm::kECIESEncryptionCofactorX963SHA256AESGCM;
}

bool EciesPublicKey::IsAlgorithmSupported(SecKeyOperationType op,
                                          SecKeyAlgorithm algorithm) const {
  return op == SecKeyOperationType::kEncrypt && IsEnclaveAlgorithm(algorithm);
}

std::optional<CryptoBytes> EciesPublicKey::CreateEncryptedData(SecKeyAlgorithm algorithm,
                                                               std::span<const uint8_t> plaintext,
                                                               std::string* error) const {
  if (!IsEnclaveAlgorithm(algorithm)) {
    if (error) *error = kEnclaveUnsupported;
    return std::nullopt;
  }
  return EciesX963Sha256AesGcmEncrypt(point_, plaintext, error);
}

}  // namespace kelvo
