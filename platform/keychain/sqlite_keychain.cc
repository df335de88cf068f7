// The user's keychain on SQLite. One row per item: the attributes in
// columns (the primary ones under a unique index, which also serves lookups
// by account, and an index by service for listing), the data sealed with
// AES-256-GCM under the master key with a fresh nonce per write. The
// sealing's additional data are the item's primary attributes, so data
// copied into another row fail to open there (errSecDecode) rather than
// reading as that item's.
#include <openssl/crypto.h>
#include <sqlite3.h>

#include <mutex>

#include "platform/crypto/aes_gcm.h"
#include "platform/keychain/keychain.h"
#include "platform/keychain/keychain_files.h"
#include "platform/keychain/keychain_matching.h"
#include "platform/keychain/master_key_source.h"
#include "platform/keychain/sqlite_file.h"

namespace kelvo {
namespace {

constexpr char kDatabaseFileName[] = "keychain.sqlite3";

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS items("
    "id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "account TEXT NOT NULL, service TEXT NOT NULL, sync INTEGER NOT NULL,"
    "access_group TEXT NOT NULL,"
    "label TEXT, description TEXT, comment TEXT, invisible INTEGER, negative INTEGER,"
    "accessible TEXT NOT NULL, ac_protection TEXT, ac_flags INTEGER,"
    "data BLOB NOT NULL,"
    "UNIQUE(account, service, sync, access_group));"
    "CREATE INDEX IF NOT EXISTS items_by_service ON items(service, sync)";

constexpr char kColumns[] =
    "id, account, service, sync, access_group, label, description, comment, invisible, "
    "negative, accessible, ac_protection, ac_flags, data";

// Parameter numbers shared by INSERT and UPDATE.
enum Param {
  kPAccount = 1,
  kPService,
  kPSync,
  kPGroup,
  kPLabel,
  kPDescription,
  kPComment,
  kPInvisible,
  kPNegative,
  kPAccessible,
  kPProtection,
  kPFlags,
  kPData,
  kPId,
};

constexpr char kInsert[] =
    "INSERT INTO items(account, service, sync, access_group, label, description, comment, "
    "invisible, negative, accessible, ac_protection, ac_flags, data) "
    "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)";
constexpr char kUpdate[] =
    "UPDATE items SET account = ?1, service = ?2, sync = ?3, access_group = ?4, label = ?5, "
    "description = ?6, comment = ?7, invisible = ?8, negative = ?9, accessible = ?10, "
    "ac_protection = ?11, ac_flags = ?12, data = ?13 WHERE id = ?14";
constexpr char kDelete[] = "DELETE FROM items WHERE id = ?1";

bool IsUniqueViolation(int rc) { return rc == SQLITE_CONSTRAINT_UNIQUE; }

std::string ColumnText(sqlite3_stmt* s, int column) {
  const unsigned char* text = sqlite3_column_text(s, column);
  int n = sqlite3_column_bytes(s, column);
  return text ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(n))
              : std::string();
}

SecBytes ColumnBlob(sqlite3_stmt* s, int column) {
  const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(s, column));
  int n = sqlite3_column_bytes(s, column);
  return blob ? SecBytes(blob, blob + n) : SecBytes();
}

bool IsNull(sqlite3_stmt* s, int column) { return sqlite3_column_type(s, column) == SQLITE_NULL; }

// A row (selected with kColumns) as normalised attributes.
SecDictionary RowAttributes(sqlite3_stmt* s) {
  SecDictionary a;
  a[kSecClass] = std::string(kSecClassGenericPassword);
  a[kSecAttrAccount] = ColumnText(s, 1);
  a[kSecAttrService] = ColumnText(s, 2);
  a[kSecAttrSynchronizable] = sqlite3_column_int64(s, 3) != 0;
  a[kSecAttrAccessGroup] = ColumnText(s, 4);
  const std::pair<int, const char*> optional_text[] = {
      {5, kSecAttrLabel}, {6, kSecAttrDescription}, {7, kSecAttrComment}};
  for (const auto& [column, key] : optional_text) {
    if (!IsNull(s, column)) a[key] = ColumnText(s, column);
  }
  if (!IsNull(s, 8)) a[kSecAttrIsInvisible] = sqlite3_column_int64(s, 8) != 0;
  if (!IsNull(s, 9)) a[kSecAttrIsNegative] = sqlite3_column_int64(s, 9) != 0;
  a[kSecAttrAccessible] = ColumnText(s, 10);
  if (!IsNull(s, 11)) {
    a[kSecAttrAccessControl] = std::make_shared<const SecAccessControl>(SecAccessControl{
        ColumnText(s, 11), static_cast<SecAccessControlCreateFlags>(sqlite3_column_int64(s, 12))});
  }
  return a;
}

bool BindText(sqlite3_stmt* s, int param, const std::string& text) {
  return sqlite3_bind_text64(s, param, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8) ==
         SQLITE_OK;
}

bool BindOptional(sqlite3_stmt* s, int param, const SecDictionary& a, const char* key) {
  auto it = a.find(key);
  if (it == a.end()) return sqlite3_bind_null(s, param) == SQLITE_OK;
  if (const auto* text = std::get_if<std::string>(&it->second)) return BindText(s, param, *text);
  if (const auto* flag = std::get_if<bool>(&it->second)) {
    return sqlite3_bind_int64(s, param, *flag ? 1 : 0) == SQLITE_OK;
  }
  return false;
}

// Binds parameters 1 to 13 from normalised attributes and the sealed data.
bool BindItem(sqlite3_stmt* s, const SecDictionary& a, const SecBytes& sealed) {
  KeychainPrimaryKey key = PrimaryKeyOf(a);
  bool ok = BindText(s, kPAccount, key.account) && BindText(s, kPService, key.service) &&
            sqlite3_bind_int64(s, kPSync, key.synchronizable ? 1 : 0) == SQLITE_OK &&
            BindText(s, kPGroup, key.access_group) && BindOptional(s, kPLabel, a, kSecAttrLabel) &&
            BindOptional(s, kPDescription, a, kSecAttrDescription) &&
            BindOptional(s, kPComment, a, kSecAttrComment) &&
            BindOptional(s, kPInvisible, a, kSecAttrIsInvisible) &&
            BindOptional(s, kPNegative, a, kSecAttrIsNegative) &&
            BindOptional(s, kPAccessible, a, kSecAttrAccessible) &&
            sqlite3_bind_blob64(s, kPData, sealed.data(), sealed.size(), SQLITE_TRANSIENT) ==
                SQLITE_OK;
  if (!ok) return false;
  auto ac = a.find(kSecAttrAccessControl);
  if (ac == a.end()) {
    return sqlite3_bind_null(s, kPProtection) == SQLITE_OK &&
           sqlite3_bind_null(s, kPFlags) == SQLITE_OK;
  }
  const SecAccessControl& control = *std::get<SecAccessControlRef>(ac->second);
  return BindText(s, kPProtection, control.protection) &&
         sqlite3_bind_int64(s, kPFlags, static_cast<sqlite3_int64>(control.flags)) == SQLITE_OK;
}

// The SELECT for a query: conditions on the indexed columns it names; the
// shared matching rules then decide on each row.
std::string SelectFor(const KeychainQuery& query) {
  std::string sql = std::string("SELECT ") + kColumns + " FROM items WHERE sync = ?1";
  if (query.match.count(kSecAttrAccount)) sql += " AND account = ?2";
  if (query.match.count(kSecAttrService)) sql += " AND service = ?3";
  if (query.item_id) sql += " AND id = ?4";
  // Ordering by the bare id lets the planner pick the service index (which
  // is in id order) over the unique one even when the account narrows the
  // search to one row; "+id" leaves the choice to the conditions.
  return sql + (query.match.count(kSecAttrAccount) ? " ORDER BY +id" : " ORDER BY id");
}

bool BindSelect(sqlite3_stmt* s, const KeychainQuery& query) {
  const SecDictionary& m = query.match;
  bool ok = sqlite3_bind_int64(s, 1, std::get<bool>(m.at(kSecAttrSynchronizable)) ? 1 : 0) ==
            SQLITE_OK;
  if (auto it = m.find(kSecAttrAccount); ok && it != m.end()) {
    ok = BindText(s, 2, std::get<std::string>(it->second));
  }
  if (auto it = m.find(kSecAttrService); ok && it != m.end()) {
    ok = BindText(s, 3, std::get<std::string>(it->second));
  }
  if (ok && query.item_id) ok = sqlite3_bind_int64(s, 4, *query.item_id) == SQLITE_OK;
  return ok;
}

struct Row {
  int64_t id;
  SecDictionary attributes;
  SecBytes sealed;
};

class SqliteKeychain : public Keychain {
 public:
  SqliteKeychain(std::shared_ptr<MasterKeySource> master_key,
                 std::unique_ptr<SqliteConnection> connection)
      : master_key_(std::move(master_key)), connection_(std::move(connection)) {}

  OSStatus CopyMatching(const SecDictionary& query, SecResult* result) override {
    KeychainQuery parsed;
    if (OSStatus s = ParseKeychainQuery(query, &parsed); s != errSecSuccess) return s;
    std::lock_guard lock(mu_);
    std::vector<Row> rows;
    if (OSStatus s = SelectLocked(parsed, !parsed.limit_all, &rows); s != errSecSuccess) return s;
    if (rows.empty()) return errSecItemNotFound;
    MasterKey master;
    if (parsed.return_data) {
      if (OSStatus s = master.Fetch(*master_key_); s != errSecSuccess) return s;
    }
    std::vector<KeychainMatch> matches;
    for (Row& row : rows) {
      KeychainMatch match{row.id, std::move(row.attributes), {}};
      if (parsed.return_data) {
        std::optional<SecBytes> data = Open(master, row.sealed, PrimaryKeyOf(match.attributes));
        if (!data) return errSecDecode;
        match.data = std::move(*data);
      }
      matches.push_back(std::move(match));
    }
    if (result != nullptr) *result = BuildKeychainResult(parsed, std::move(matches));
    return errSecSuccess;
  }

  OSStatus Add(const SecDictionary& attributes) override {
    KeychainItem item;
    if (OSStatus s = PrepareKeychainItem(attributes, &item); s != errSecSuccess) return s;
    MasterKey master;
    if (OSStatus s = master.Fetch(*master_key_); s != errSecSuccess) {
      OPENSSL_cleanse(item.data.data(), item.data.size());
      return s;
    }
    std::optional<SecBytes> sealed = Seal(master, item.data, PrimaryKeyOf(item.attributes));
    OPENSSL_cleanse(item.data.data(), item.data.size());
    if (!sealed) return errSecIO;
    std::lock_guard lock(mu_);
    sqlite3_stmt* insert = connection_->Prepare(kInsert);
    if (insert == nullptr) return errSecIO;
    StatementScope scope(insert);
    if (!BindItem(insert, item.attributes, *sealed)) return Failed("cannot add an item to");
    int rc = sqlite3_step(insert);
    if (IsUniqueViolation(rc)) return errSecDuplicateItem;
    if (rc != SQLITE_DONE) return Failed("cannot add an item to");
    return errSecSuccess;
  }

  OSStatus Update(const SecDictionary& query, const SecDictionary& changes) override {
    KeychainQuery parsed;
    if (OSStatus s = ParseKeychainQuery(query, &parsed); s != errSecSuccess) return s;
    KeychainChanges parsed_changes;
    if (OSStatus s = ParseKeychainChanges(changes, &parsed_changes); s != errSecSuccess) return s;
    // Updates reseal data, so they need the key even when only attributes
    // change; asked before the transaction so a locked store costs nothing.
    MasterKey master;
    if (OSStatus s = master.Fetch(*master_key_); s != errSecSuccess) return s;
    std::lock_guard lock(mu_);
    WriteTransaction transaction(connection_.get());
    if (!transaction.started()) return errSecIO;
    std::vector<Row> rows;
    if (OSStatus s = SelectLocked(parsed, false, &rows); s != errSecSuccess) return s;
    if (rows.empty()) return errSecItemNotFound;
    sqlite3_stmt* update = connection_->Prepare(kUpdate);
    if (update == nullptr) return errSecIO;
    for (Row& row : rows) {
      KeychainPrimaryKey old_key = PrimaryKeyOf(row.attributes);
      ApplyKeychainChanges(parsed_changes, &row.attributes);
      KeychainPrimaryKey new_key = PrimaryKeyOf(row.attributes);
      std::optional<SecBytes> sealed;
      if (parsed_changes.data) {
        sealed = Seal(master, *parsed_changes.data, new_key);
      } else if (new_key != old_key) {
        // The data are bound to the old key: reseal them for the new one.
        std::optional<SecBytes> data = Open(master, row.sealed, old_key);
        if (!data) return errSecDecode;
        sealed = Seal(master, *data, new_key);
        OPENSSL_cleanse(data->data(), data->size());
      } else {
        sealed = std::move(row.sealed);
      }
      if (!sealed) return errSecIO;
      StatementScope scope(update);
      if (!BindItem(update, row.attributes, *sealed) ||
          sqlite3_bind_int64(update, kPId, row.id) != SQLITE_OK) {
        return Failed("cannot update an item in");
      }
      int rc = sqlite3_step(update);
      if (IsUniqueViolation(rc)) return errSecDuplicateItem;  // rolled back
      if (rc != SQLITE_DONE) return Failed("cannot update an item in");
    }
    return transaction.Commit() ? errSecSuccess : errSecIO;
  }

  OSStatus Delete(const SecDictionary& query) override {
    KeychainQuery parsed;
    if (OSStatus s = ParseKeychainQuery(query, &parsed); s != errSecSuccess) return s;
    std::lock_guard lock(mu_);
    WriteTransaction transaction(connection_.get());
    if (!transaction.started()) return errSecIO;
    std::vector<Row> rows;
    if (OSStatus s = SelectLocked(parsed, false, &rows); s != errSecSuccess) return s;
    if (rows.empty()) return errSecItemNotFound;
    sqlite3_stmt* remove = connection_->Prepare(kDelete);
    if (remove == nullptr) return errSecIO;
    for (const Row& row : rows) {
      StatementScope scope(remove);
      if (sqlite3_bind_int64(remove, 1, row.id) != SQLITE_OK || sqlite3_step(remove) != SQLITE_DONE) {
        return Failed("cannot delete an item from");
      }
    }
    return transaction.Commit() ? errSecSuccess : errSecIO;
  }

 private:
  // The rows matching `query` in insertion order (only the first when
  // `first_only`).
  OSStatus SelectLocked(const KeychainQuery& query, bool first_only, std::vector<Row>* rows) {
    sqlite3_stmt* select = connection_->Prepare(SelectFor(query));
    if (select == nullptr) return errSecIO;
    StatementScope scope(select);
    if (!BindSelect(select, query)) return Failed("cannot search");
    int rc;
    while ((rc = sqlite3_step(select)) == SQLITE_ROW) {
      int64_t id = sqlite3_column_int64(select, 0);
      SecDictionary attributes = RowAttributes(select);
      if (!KeychainItemMatches(attributes, id, query)) continue;
      rows->push_back({id, std::move(attributes), ColumnBlob(select, 13)});
      if (first_only) return errSecSuccess;
    }
    if (rc != SQLITE_DONE) return Failed("cannot search");
    return errSecSuccess;
  }

  OSStatus Failed(const std::string& what) {
    LogKeychain(what + " " + connection_->path() + ": " + connection_->LastError());
    return errSecIO;
  }

  // nonce || ciphertext || tag
  static std::optional<SecBytes> Seal(const MasterKey& master, const SecBytes& data,
                                      const KeychainPrimaryKey& key) {
    std::optional<CryptoBytes> nonce = AesGcmRandomNonce();
    if (!nonce) return std::nullopt;
    std::optional<AesGcmSealedBox> box =
        AesGcmSeal(master.bytes, *nonce, data, PrimaryKeyBinding(key));
    if (!box) return std::nullopt;
    SecBytes out = std::move(box->nonce);
    out.insert(out.end(), box->ciphertext.begin(), box->ciphertext.end());
    out.insert(out.end(), box->tag.begin(), box->tag.end());
    return out;
  }

  static std::optional<SecBytes> Open(const MasterKey& master, const SecBytes& sealed,
                                      const KeychainPrimaryKey& key) {
    if (sealed.size() < kAesGcmNonceSize + kAesGcmTagSize) return std::nullopt;
    AesGcmSealedBox box;
    box.nonce.assign(sealed.begin(), sealed.begin() + kAesGcmNonceSize);
    box.ciphertext.assign(sealed.begin() + kAesGcmNonceSize, sealed.end() - kAesGcmTagSize);
    box.tag.assign(sealed.end() - kAesGcmTagSize, sealed.end());
    return AesGcmOpen(master.bytes, box, PrimaryKeyBinding(key));
  }

  const std::shared_ptr<MasterKeySource> master_key_;
  std::mutex mu_;
  std::unique_ptr<SqliteConnection> connection_;  // guarded by mu_
};

}  // namespace

std::unique_ptr<Keychain> OpenKeychainAt(const std::string& directory,
                                         std::shared_ptr<MasterKeySource> master_key,
                                         std::string* error) {
  std::string ignored;
  std::string* err = error ? error : &ignored;
  if (!master_key || !EnsurePrivateDirectory(directory, err)) return nullptr;
  auto connection =
      SqliteConnection::Open(directory + "/" + kDatabaseFileName, kSchema, err);
  if (!connection) return nullptr;
  return std::make_unique<SqliteKeychain>(std::move(master_key), std::move(connection));
}

}  // namespace kelvo
