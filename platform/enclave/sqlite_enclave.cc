// The enclave store on SQLite: one row per key (application tag, public
// point, private key sealed with AES-256-GCM under the keychain's master
// key, access control). The sealing binds the private key to its tag and
// public point, so a row's key cannot be passed off under another tag.
// Private keys live in memory only inside SecPrivateKey objects.
#include <openssl/crypto.h>
#include <sqlite3.h>

#include <map>
#include <mutex>
#include <string_view>

#include "platform/enclave/ecies.h"
#include "platform/enclave/enclave_backends.h"
#include "platform/enclave/enclave_rows.h"
#include "platform/enclave/secure_enclave.h"
#include "platform/encoding/length_prefixed.h"
#include "platform/keychain/keychain_files.h"
#include "platform/keychain/master_key_source.h"
#include "platform/keychain/sqlite_file.h"

namespace kelvo {
namespace {

constexpr char kDatabaseFileName[] = "enclave.sqlite3";

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS keys("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, tag BLOB NOT NULL, public_key BLOB NOT NULL,"
    "private_key BLOB NOT NULL, ac_protection TEXT, ac_flags INTEGER);"
    "CREATE INDEX IF NOT EXISTS keys_by_tag ON keys(tag, id)";

constexpr char kNewest[] =
    "SELECT id, public_key, private_key FROM keys WHERE tag = ?1 ORDER BY id DESC LIMIT 1";
constexpr char kInsert[] =
    "INSERT INTO keys(tag, public_key, private_key, ac_protection, ac_flags) "
    "VALUES(?1, ?2, ?3, ?4, ?5)";
constexpr char kDelete[] = "DELETE FROM keys WHERE tag = ?1";

constexpr const char* kUnsupported = kEnclaveUnsupported;

CryptoBytes Binding(const CryptoBytes& tag, const CryptoBytes& public_point) {
  constexpr std::string_view kLabel = "kelvo.enclave.key.v1";
  CryptoBytes out;
  AppendLengthPrefixed(&out, kLabel);
  AppendLengthPrefixed(&out, std::span<const uint8_t>(tag));
  AppendLengthPrefixed(&out, std::span<const uint8_t>(public_point));
  return out;
}

CryptoBytes ColumnBlob(sqlite3_stmt* s, int column) { return EnclaveColumnBlob(s, column); }
bool BindBlob(sqlite3_stmt* s, int param, const CryptoBytes& bytes) {
  return EnclaveBindBlob(s, param, bytes);
}
using PublicKey = EciesPublicKey;

class PrivateKey : public SecPrivateKey {
 public:
  PrivateKey(EvpPkey key, CryptoBytes point) : key_(std::move(key)), point_(std::move(point)) {}

  SecPublicKeyRef CopyPublicKey() const override { return std::make_shared<PublicKey>(point_); }
  bool IsAlgorithmSupported(SecKeyOperationType op, SecKeyAlgorithm algorithm) const override {
    return op == SecKeyOperationType::kDecrypt &&
           algorithm == SecKeyAlgorithm::kECIESEncryptionCofactorX963SHA256AESGCM;
  }
  std::optional<CryptoBytes> CreateDecryptedData(SecKeyAlgorithm algorithm,
                                                  std::span<const uint8_t> ciphertext,
                                                  std::string* error) const override {
    if (!IsAlgorithmSupported(SecKeyOperationType::kDecrypt, algorithm)) {
      if (error) *error = kUnsupported;
      return std::nullopt;
    }
    return EciesX963Sha256AesGcmDecrypt(key_.get(), ciphertext, error);
  }

 private:
  const EvpPkey key_;
  const CryptoBytes point_;
};

class SqliteEnclave : public SecureEnclave {
 public:
  SqliteEnclave(std::shared_ptr<MasterKeySource> master_key,
                std::unique_ptr<SqliteConnection> connection)
      : master_key_(std::move(master_key)), connection_(std::move(connection)) {}

  OSStatus CopyKey(const CryptoBytes& application_tag, SecPrivateKeyRef* key) override {
    std::lock_guard lock(mu_);
    sqlite3_stmt* select = connection_->Prepare(kNewest);
    StatementScope scope(select);
    OSStatus found = EnclaveStepToKey(select, application_tag,
                                      [this](const std::string& what) { return Failed(what); });
    if (found != errSecSuccess) return found;
    int64_t id = sqlite3_column_int64(select, 0);
    if (auto it = cache_.find(id); it != cache_.end()) {
      if (key) *key = it->second;
      return errSecSuccess;
    }
    MasterKey master;
    if (OSStatus s = master.Fetch(*master_key_); s != errSecSuccess) return s;
    SecPrivateKeyRef loaded =
        Unseal(master, application_tag, ColumnBlob(select, 1), ColumnBlob(select, 2));
    if (!loaded) {
      LogKeychain("damaged enclave key in " + connection_->path());
      return errSecDecode;
    }
    cache_[id] = loaded;
    if (key) *key = std::move(loaded);
    return errSecSuccess;
  }

  SecPrivateKeyRef CreateRandomKey(const CryptoBytes& application_tag,
                                   const SecAccessControlRef& access_control,
                                   std::string* error) override {
    std::string ignored;
    std::string* err = error ? error : &ignored;
    MasterKey master;
    if (master.Fetch(*master_key_) != errSecSuccess) {
      *err = "The operation couldn’t be completed. (the key store is locked or unavailable)";
      return nullptr;
    }
    EvpPkey pkey = GenerateP256Key();
    std::optional<CryptoBytes> point = pkey ? P256PublicPoint(pkey.get()) : std::nullopt;
    std::optional<CryptoBytes> der = point ? EncodePrivateKey(pkey.get()) : std::nullopt;
    if (!der) {
      *err = "The operation couldn’t be completed. (key generation failed)";
      return nullptr;
    }
    std::optional<CryptoBytes> nonce = AesGcmRandomNonce();
    std::optional<AesGcmSealedBox> box =
        nonce ? AesGcmSeal(master.bytes, *nonce, *der, Binding(application_tag, *point))
              : std::nullopt;
    OPENSSL_cleanse(der->data(), der->size());
    if (!box) {
      *err = "The operation couldn’t be completed. (key sealing failed)";
      return nullptr;
    }
    CryptoBytes sealed = std::move(box->nonce);
    sealed.insert(sealed.end(), box->ciphertext.begin(), box->ciphertext.end());
    sealed.insert(sealed.end(), box->tag.begin(), box->tag.end());

    std::lock_guard lock(mu_);
    sqlite3_stmt* insert = connection_->Prepare(kInsert);
    if (insert == nullptr) {
      *err = "The operation couldn’t be completed. (the key store is not available)";
      return nullptr;
    }
    StatementScope scope(insert);
    bool ok = BindBlob(insert, 1, application_tag) && BindBlob(insert, 2, *point) &&
              BindBlob(insert, 3, sealed);
    if (ok && access_control) {
      ok = sqlite3_bind_text64(insert, 4, access_control->protection.data(),
                               access_control->protection.size(), SQLITE_TRANSIENT,
                               SQLITE_UTF8) == SQLITE_OK &&
           sqlite3_bind_int64(insert, 5, static_cast<sqlite3_int64>(access_control->flags)) ==
               SQLITE_OK;
    }
    if (!ok || sqlite3_step(insert) != SQLITE_DONE) {
      Failed("cannot store a key in");
      *err = "The operation couldn’t be completed. (the key could not be stored)";
      return nullptr;
    }
    auto created = std::make_shared<PrivateKey>(std::move(pkey), std::move(*point));
    cache_[sqlite3_last_insert_rowid(connection_->db())] = created;
    return created;
  }

  OSStatus DeleteKey(const CryptoBytes& application_tag) override {
    std::lock_guard lock(mu_);
    cache_.clear();  // ids never come back, but keep memory to live keys
    return EnclaveDeleteByTag(connection_.get(), kDelete, application_tag,
                              [this](const std::string& what) { return Failed(what); });
  }

 private:
  static SecPrivateKeyRef Unseal(const MasterKey& master, const CryptoBytes& tag,
                                 const CryptoBytes& point, const CryptoBytes& sealed) {
    if (sealed.size() < kAesGcmNonceSize + kAesGcmTagSize) return nullptr;
    AesGcmSealedBox box{CryptoBytes(sealed.begin(), sealed.begin() + kAesGcmNonceSize),
                        CryptoBytes(sealed.begin() + kAesGcmNonceSize, sealed.end() - kAesGcmTagSize),
                        CryptoBytes(sealed.end() - kAesGcmTagSize, sealed.end())};
    std::optional<CryptoBytes> der = AesGcmOpen(master.bytes, box, Binding(tag, point));
    if (!der) return nullptr;
    EvpPkey pkey = DecodePrivateKey(*der);
    OPENSSL_cleanse(der->data(), der->size());
    if (!pkey || P256PublicPoint(pkey.get()) != point) return nullptr;
    return std::make_shared<PrivateKey>(std::move(pkey), point);
  }

  OSStatus Failed(const std::string& what) {
    LogKeychain(what + " " + connection_->path() + ": " + connection_->LastError());
    return errSecIO;
  }

  const std::shared_ptr<MasterKeySource> master_key_;
  std::mutex mu_;
  std::unique_ptr<SqliteConnection> connection_;       // guarded by mu_
  std::map<int64_t, SecPrivateKeyRef> cache_;          // row id -> key; guarded by mu_
};

}  // namespace

std::unique_ptr<SecureEnclave> OpenSoftwareEnclaveAt(const std::string& directory,
                                                     std::shared_ptr<MasterKeySource> master_key,
                                                     std::string* error) {
  std::string ignored;
  std::string* err = error ? error : &ignored;
  if (!master_key || !EnsurePrivateDirectory(directory, err)) return nullptr;
  auto connection = SqliteConnection::Open(directory + "/" + kDatabaseFileName, kSchema, err);
  if (!connection) return nullptr;
  return std::make_unique<SqliteEnclave>(std::move(master_key), std::move(connection));
}

}  // namespace kelvo
