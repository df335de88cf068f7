// Enclave keys held by the TPM: the table tpm_keys of enclave.sqlite3 keeps
// for each key its application tag, public point and the TPM's public and
// wrapped private areas, nothing that decrypts without that TPM. Decryption
// runs the ECIES key agreement inside the TPM.
#include <sqlite3.h>

#include <mutex>

#include "platform/enclave/ecies.h"
#include "platform/enclave/enclave_backends.h"
#include "platform/enclave/enclave_rows.h"
#include "platform/keychain/keychain_files.h"
#include "platform/keychain/sqlite_file.h"

namespace kelvo {
namespace {

constexpr char kDatabaseFileName[] = "enclave.sqlite3";

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS tpm_keys("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, tag BLOB NOT NULL, public_key BLOB NOT NULL,"
    "tpm_public BLOB NOT NULL, tpm_private BLOB NOT NULL, ac_protection TEXT, ac_flags INTEGER,"
    "software_before INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS tpm_keys_by_tag ON tpm_keys(tag, id)";

// A software key made for the tag after the TPM's newest one (while the
// TPM was away) is the newer key and wins: the values written since are
// wrapped with it. The software keys' table lives in the same file.
constexpr char kNewest[] =
    "SELECT public_key, tpm_public, tpm_private FROM tpm_keys t WHERE tag = ?1 "
    "AND NOT EXISTS (SELECT 1 FROM keys k WHERE k.tag = t.tag AND k.id > t.software_before) "
    "ORDER BY id DESC LIMIT 1";
constexpr char kInsert[] =
    "INSERT INTO tpm_keys(tag, public_key, tpm_public, tpm_private, ac_protection, ac_flags, "
    "software_before) VALUES(?1, ?2, ?3, ?4, ?5, ?6, (SELECT coalesce(max(id), 0) FROM keys))";
constexpr char kDelete[] = "DELETE FROM tpm_keys WHERE tag = ?1";

class TpmPrivateKey final : public SecPrivateKey {
 public:
  TpmPrivateKey(std::shared_ptr<TpmDevice> tpm, TpmKeyBlob blob)
      : tpm_(std::move(tpm)), blob_(std::move(blob)) {}
  SecPublicKeyRef CopyPublicKey() const override {
    return std::make_shared<EciesPublicKey>(blob_.point);
  }
  bool IsAlgorithmSupported(SecKeyOperationType op, SecKeyAlgorithm algorithm) const override {
    return op == SecKeyOperationType::kDecrypt && IsEnclaveAlgorithm(algorithm);
  }
  std::optional<CryptoBytes> CreateDecryptedData(SecKeyAlgorithm algorithm,
                                                  std::span<const uint8_t> ciphertext,
                                                  std::string* error) const override {
    if (!IsEnclaveAlgorithm(algorithm)) {
      if (error) *error = kEnclaveUnsupported;
      return std::nullopt;
    }
    std::string tpm_error;
    std::optional<CryptoBytes> plaintext = EciesDecryptWithAgreement(
        [&](EVP_PKEY*, std::span<const uint8_t> point) {
          return tpm_->SharedSecret(blob_, point, &tpm_error);
        },
        ciphertext, error);
    if (!plaintext && !tpm_error.empty() && error) *error = tpm_error;
    return plaintext;
  }

 private:
  const std::shared_ptr<TpmDevice> tpm_;
  const TpmKeyBlob blob_;
};

class TpmEnclave final : public SecureEnclave {
 public:
  TpmEnclave(std::shared_ptr<TpmDevice> tpm, std::unique_ptr<SqliteConnection> connection)
      : tpm_(std::move(tpm)), connection_(std::move(connection)) {}

  OSStatus CopyKey(const CryptoBytes& application_tag, SecPrivateKeyRef* key) override {
    if (!tpm_) return errSecItemNotFound;  // keys of an absent TPM are of no use
    std::lock_guard lock(mu_);
    sqlite3_stmt* select = connection_->Prepare(kNewest);
    StatementScope scope(select);
    OSStatus found = EnclaveStepToKey(select, application_tag,
                                      [this](const std::string& what) { return Failed(what); });
    if (found != errSecSuccess) return found;
    TpmKeyBlob blob{EnclaveColumnBlob(select, 1), EnclaveColumnBlob(select, 2),
                    EnclaveColumnBlob(select, 0)};
    if (key) *key = std::make_shared<TpmPrivateKey>(tpm_, std::move(blob));
    return errSecSuccess;
  }

  SecPrivateKeyRef CreateRandomKey(const CryptoBytes& application_tag,
                                   const SecAccessControlRef& access_control,
                                   std::string* error) override {
    std::string ignored;
    std::string* err = error ? error : &ignored;
    if (!tpm_) {
      *err = "The operation couldn’t be completed. (no TPM)";
      return nullptr;
    }
    std::string why;
    std::optional<TpmKeyBlob> blob = tpm_->CreateKey(&why);
    if (!blob) {
      LogKeychain(why);
      *err = "The operation couldn’t be completed. (key generation failed)";
      return nullptr;
    }
    std::lock_guard lock(mu_);
    sqlite3_stmt* insert = connection_->Prepare(kInsert);
    if (insert == nullptr) {
      *err = "The operation couldn’t be completed. (the key store is not available)";
      return nullptr;
    }
    StatementScope scope(insert);
    bool ok = EnclaveBindBlob(insert, 1, application_tag) &&
              EnclaveBindBlob(insert, 2, blob->point) &&
              EnclaveBindBlob(insert, 3, blob->tpm_public) &&
              EnclaveBindBlob(insert, 4, blob->tpm_private) &&
              EnclaveBindAccessControl(insert, 5, 6, access_control);
    if (!ok || sqlite3_step(insert) != SQLITE_DONE) {
      Failed("cannot store a key in");
      *err = "The operation couldn’t be completed. (the key could not be stored)";
      return nullptr;
    }
    return std::make_shared<TpmPrivateKey>(tpm_, std::move(*blob));
  }

  OSStatus DeleteKey(const CryptoBytes& application_tag) override {
    std::lock_guard lock(mu_);
    return EnclaveDeleteByTag(connection_.get(), kDelete, application_tag,
                              [this](const std::string& what) { return Failed(what); });
  }

 private:
  OSStatus Failed(const std::string& what) {
    LogKeychain(what + " " + connection_->path() + ": " + connection_->LastError());
    return errSecIO;
  }

  const std::shared_ptr<TpmDevice> tpm_;  // null: the TPM is not there
  std::mutex mu_;
  std::unique_ptr<SqliteConnection> connection_;  // guarded by mu_
};

}  // namespace

std::unique_ptr<SecureEnclave> OpenTpmEnclaveAt(const std::string& directory,
                                                std::shared_ptr<TpmDevice> tpm,
                                                std::string* error) {
  if (!EnsurePrivateDirectory(directory, error)) return nullptr;
  auto connection = SqliteConnection::Open(directory + "/" + kDatabaseFileName, kSchema, error);
  if (!connection) return nullptr;
  return std::make_unique<TpmEnclave>(std::move(tpm), std::move(connection));
}

}  // namespace kelvo
