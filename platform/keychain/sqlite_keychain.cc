// The user's keychain on SQLite. One row per item: the attributes in
// columns (the primary ones under a unique index; lookups by account and
// listings by service read indexes in id order, so nothing is sorted), the
// data sealed with AES-256-GCM under the master key with a fresh nonce per
// write. The sealing's additional data are the item's primary attributes,
// so data copied into another row fail to open there (errSecDecode) rather
// than reading as that item's.
//
// A lookup is one prepared SELECT whose conditions carry every attribute
// the query names, so SQLite alone picks the rows; data are opened under a
// key made ready once, straight from SQLite's buffer, with the parts of
// their binding that those conditions fix taken from the query, and only
// when the query returns them (a presence test reads only ids).
#include <openssl/crypto.h>
#include <sqlite3.h>

#include <array>
#include <iterator>
#include <map>
#include <mutex>
#include <span>
#include <string_view>

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
    // By service alone, so its entries for one service are in id order and
    // a listing needs no sort (an index by service and sync was in sync
    // order, which made SQLite copy every row, data and all, into a sorter).
    "DROP INDEX IF EXISTS items_by_service;"
    "CREATE INDEX IF NOT EXISTS items_by_service_in_id_order ON items(service);"
    // Likewise for a lookup by account, which names the service and, unless
    // it asks for any, synchronizable: the unique index is in access group
    // order, which made SQLite sort the matches by id in a temporary tree.
    "CREATE INDEX IF NOT EXISTS items_by_account_in_id_order ON items(account, service, sync)";

// What a SELECT returns: the item's id, then its key and data, so that a
// presence test selects only the id and a lookup that returns no attributes
// only the key and data.
enum Column {
  kCId,
  kCAccount,
  kCService,
  kCSync,
  kCGroup,
  kCData,
  kCLabel,
  kCDescription,
  kCComment,
  kCInvisible,
  kCNegative,
  kCAccessible,
  kCProtection,
  kCFlags,
};
// Which of them a search selects.
enum class Selected { kId, kKeyAndData, kAll };
constexpr char kIdColumn[] = "id";
constexpr char kKeyColumns[] = "id, account, service, sync, access_group, data";
constexpr char kColumns[] =
    "id, account, service, sync, access_group, data, label, description, comment, invisible, "
    "negative, accessible, ac_protection, ac_flags";

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
  a[kSecAttrAccount] = ColumnText(s, kCAccount);
  a[kSecAttrService] = ColumnText(s, kCService);
  a[kSecAttrSynchronizable] = sqlite3_column_int64(s, kCSync) != 0;
  a[kSecAttrAccessGroup] = ColumnText(s, kCGroup);
  const std::pair<int, const char*> optional_text[] = {
      {kCLabel, kSecAttrLabel}, {kCDescription, kSecAttrDescription}, {kCComment, kSecAttrComment}};
  for (const auto& [column, key] : optional_text) {
    if (!IsNull(s, column)) a[key] = ColumnText(s, column);
  }
  if (!IsNull(s, kCInvisible)) a[kSecAttrIsInvisible] = sqlite3_column_int64(s, kCInvisible) != 0;
  if (!IsNull(s, kCNegative)) a[kSecAttrIsNegative] = sqlite3_column_int64(s, kCNegative) != 0;
  a[kSecAttrAccessible] = ColumnText(s, kCAccessible);
  if (!IsNull(s, kCProtection)) {
    a[kSecAttrAccessControl] = std::make_shared<const SecAccessControl>(
        SecAccessControl{ColumnText(s, kCProtection),
                         static_cast<SecAccessControlCreateFlags>(sqlite3_column_int64(s, kCFlags))});
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

// Every attribute a query can name, as a condition of the SELECT, so SQLite
// alone decides which rows match (flags not set on an item count as off).
struct MatchColumn {
  const char* key;
  const char* condition;
};
constexpr MatchColumn kMatchColumns[] = {
    {kSecAttrSynchronizable, "sync = ?"},
    {kSecAttrAccount, "account = ?"},
    {kSecAttrService, "service = ?"},
    {kSecAttrAccessGroup, "access_group = ?"},
    {kSecAttrLabel, "label = ?"},
    {kSecAttrDescription, "description = ?"},
    {kSecAttrComment, "comment = ?"},
    {kSecAttrIsInvisible, "coalesce(invisible, 0) = ?"},
    {kSecAttrIsNegative, "coalesce(negative, 0) = ?"},
    {kSecAttrAccessible, "accessible = ?"},
};
constexpr size_t kMatchColumnCount = std::size(kMatchColumns);
// Entries of kMatchColumns that the index choice and an item's binding
// depend on.
constexpr size_t kSyncCondition = 0;
constexpr size_t kAccountCondition = 1;
constexpr size_t kServiceCondition = 2;
constexpr size_t kGroupCondition = 3;
constexpr uint32_t kShapeBySync = 1u << kSyncCondition;
constexpr uint32_t kShapeByAccount = 1u << kAccountCondition;
constexpr uint32_t kShapeByService = 1u << kServiceCondition;

// The values of a query's conditions in kMatchColumns order (null where it
// has none), looked up once per search for its shape, its bindings and the
// binding parts it already knows.
using Conditions = std::array<const SecValue*, kMatchColumnCount>;

Conditions ConditionsOf(const KeychainQuery& query) {
  Conditions values{};
  for (size_t i = 0; i < kMatchColumnCount; ++i) {
    auto it = query.match.find(kMatchColumns[i].key);
    if (it != query.match.end()) values[i] = &it->second;
  }
  return values;
}

constexpr uint32_t kShapeById = 1u << kMatchColumnCount;
constexpr uint32_t kShapeAllColumns = kShapeById << 1;
constexpr uint32_t kShapeIdOnly = kShapeAllColumns << 1;

// Which conditions a query has (one bit per kMatchColumns entry, then the
// item id) and which columns it selects: the key of its prepared SELECT.
uint32_t SelectShape(const Conditions& conditions, bool by_id, Selected selected) {
  uint32_t shape = selected == Selected::kAll  ? kShapeAllColumns
                   : selected == Selected::kId ? kShapeIdOnly
                                               : 0;
  for (size_t i = 0; i < kMatchColumnCount; ++i) {
    if (conditions[i] != nullptr) shape |= 1u << i;
  }
  if (by_id) shape |= kShapeById;
  return shape;
}

std::string SelectFor(uint32_t shape) {
  const char* columns = shape & kShapeAllColumns ? kColumns
                        : shape & kShapeIdOnly    ? kIdColumn
                                                  : kKeyColumns;
  std::string sql = std::string("SELECT ") + columns + " FROM items WHERE 1";
  for (size_t i = 0; i < kMatchColumnCount; ++i) {
    if (shape & (1u << i)) sql += std::string(" AND ") + kMatchColumns[i].condition;
  }
  if (shape & kShapeById) sql += " AND id = ?";
  // Ordering by the bare id lets the planner pick an index in id order, so
  // nothing is sorted: the account index when the account, service and
  // synchronizable are named, else the service index. With the account
  // alone that would scan a whole service, so "+id" leaves the choice to
  // the conditions and sorts the row or two they find.
  const uint32_t account_index = kShapeByAccount | kShapeByService | kShapeBySync;
  const bool by_account = shape & kShapeByAccount;
  const bool in_account_order = (shape & account_index) == account_index;
  return sql + (by_account && !in_account_order ? " ORDER BY +id" : " ORDER BY id");
}

bool BindSelect(sqlite3_stmt* s, const Conditions& conditions, std::optional<int64_t> item_id) {
  int param = 0;
  for (const SecValue* value : conditions) {
    if (value == nullptr) continue;
    ++param;
    bool ok = false;
    if (const auto* flag = std::get_if<bool>(value)) {
      ok = sqlite3_bind_int64(s, param, *flag ? 1 : 0) == SQLITE_OK;
    } else if (const auto* text = std::get_if<std::string>(value)) {
      // Not copied: the query outlives the search, whose StatementScope
      // clears the bindings when it ends.
      ok = sqlite3_bind_text64(s, param, text->data(), text->size(), SQLITE_STATIC,
                               SQLITE_UTF8) == SQLITE_OK;
    }
    if (!ok) return false;
  }
  return !item_id || sqlite3_bind_int64(s, ++param, *item_id) == SQLITE_OK;
}

std::string_view ColumnView(sqlite3_stmt* s, int column) {
  const unsigned char* text = sqlite3_column_text(s, column);
  int n = sqlite3_column_bytes(s, column);
  return text ? std::string_view(reinterpret_cast<const char*>(text), static_cast<size_t>(n))
              : std::string_view();
}

std::span<const uint8_t> BlobView(sqlite3_stmt* s, int column) {
  const auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(s, column));
  return blob ? std::span<const uint8_t>(blob, static_cast<size_t>(sqlite3_column_bytes(s, column)))
              : std::span<const uint8_t>();
}

// The parts of an item's binding that a query's conditions fix, so a search
// takes them from the query instead of reading them from every row (a
// condition holds only for equal bytes).
struct KnownKeyParts {
  explicit KnownKeyParts(const Conditions& conditions)
      : service(Text(conditions[kServiceCondition])),
        access_group(Text(conditions[kGroupCondition])) {
    const SecValue* sync = conditions[kSyncCondition];
    if (const bool* flag = sync ? std::get_if<bool>(sync) : nullptr) synchronizable = *flag;
  }
  static std::optional<std::string_view> Text(const SecValue* value) {
    const auto* text = value ? std::get_if<std::string>(value) : nullptr;
    return text ? std::optional<std::string_view>(*text) : std::nullopt;
  }

  std::optional<std::string_view> service;
  std::optional<std::string_view> access_group;
  std::optional<bool> synchronizable;
};

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
  ~SqliteKeychain() override {
    Wipe(&plain_);
    Wipe(&key_bytes_);
  }

  OSStatus CopyMatching(const SecDictionary& query, SecResult* result) override {
    KeychainQuery parsed;
    if (OSStatus s = ParseKeychainQuery(query, &parsed); s != errSecSuccess) return s;
    // A presence test reads no data and builds nothing.
    const bool build = result != nullptr && parsed.WantsResult();
    const bool attributes = build && parsed.return_attributes;
    const bool data = build && parsed.return_data;
    // A presence test or a lookup of references reads only the id, which
    // every index holds: a lookup by indexed attributes visits no row.
    const Selected selected = attributes ? Selected::kAll
                              : data     ? Selected::kKeyAndData
                                         : Selected::kId;
    std::lock_guard lock(mu_);
    std::vector<KeychainMatch> matches;
    KeyOnce key;
    const Conditions conditions = ConditionsOf(parsed);
    const KnownKeyParts known(conditions);
    OSStatus status = EachRowLocked(parsed, conditions, selected, [&](sqlite3_stmt* row) {
      KeychainMatch match{sqlite3_column_int64(row, kCId), {}, {}};
      if (attributes) match.attributes = RowAttributes(row);
      if (data) {
        if (OSStatus s = key.Ready(this); s != errSecSuccess) return s;
        if (!OpenRowLocked(row, ColumnView(row, kCAccount), known, &match.data)) {
          return errSecDecode;
        }
      }
      matches.push_back(std::move(match));
      return parsed.limit_all && build ? errSecSuccess : kStop;
    });
    if (status != errSecSuccess) return status;
    if (matches.empty()) return errSecItemNotFound;
    if (result != nullptr) *result = BuildKeychainResult(parsed, std::move(matches));
    return errSecSuccess;
  }

  OSStatus CopyMatchingEach(const SecDictionary& query, const SecItemVisitor& visit) override {
    KeychainQuery parsed;
    if (OSStatus s = ParseKeychainQuery(query, &parsed); s != errSecSuccess) return s;
    std::lock_guard lock(mu_);
    bool any = false;
    KeyOnce key;
    const Conditions conditions = ConditionsOf(parsed);
    const KnownKeyParts known(conditions);
    OSStatus status = EachRowLocked(parsed, conditions, Selected::kKeyAndData,
                                    [&](sqlite3_stmt* row) {
      any = true;
      RowView view(this, row);
      const std::string_view account = ColumnView(row, kCAccount);
      if (parsed.return_attributes) view.account = account;
      if (parsed.return_data) {
        if (OSStatus s = key.Ready(this); s != errSecSuccess) return s;
        std::optional<std::span<const uint8_t>> plain = OpenListedRowLocked(row, account, known);
        if (!plain) return errSecDecode;
        view.data = *plain;
      }
      visit(view);
      return errSecSuccess;
    });
    Wipe(&plain_);
    if (status != errSecSuccess) return status;
    return any ? errSecSuccess : errSecItemNotFound;
  }

  OSStatus Add(const SecDictionary& attributes) override {
    KeychainItem item;
    if (OSStatus s = PrepareKeychainItem(attributes, &item); s != errSecSuccess) return s;
    std::lock_guard lock(mu_);
    if (OSStatus s = ReadyKeyLocked(); s != errSecSuccess) {
      OPENSSL_cleanse(item.data.data(), item.data.size());
      return s;
    }
    std::optional<SecBytes> sealed = Seal(item.data, PrimaryKeyOf(item.attributes));
    OPENSSL_cleanse(item.data.data(), item.data.size());
    if (!sealed) return errSecIO;
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
    std::lock_guard lock(mu_);
    // Updates reseal data, so they need the key even when only attributes
    // change; asked before the transaction so a locked store costs nothing.
    if (OSStatus s = ReadyKeyLocked(); s != errSecSuccess) return s;
    WriteTransaction transaction(connection_.get());
    if (!transaction.started()) return errSecIO;
    std::vector<Row> rows;
    if (OSStatus s = SelectLocked(parsed, &rows); s != errSecSuccess) return s;
    if (rows.empty()) return errSecItemNotFound;
    sqlite3_stmt* update = connection_->Prepare(kUpdate);
    if (update == nullptr) return errSecIO;
    for (Row& row : rows) {
      KeychainPrimaryKey old_key = PrimaryKeyOf(row.attributes);
      ApplyKeychainChanges(parsed_changes, &row.attributes);
      KeychainPrimaryKey new_key = PrimaryKeyOf(row.attributes);
      std::optional<SecBytes> sealed;
      if (parsed_changes.data) {
        sealed = Seal(*parsed_changes.data, new_key);
      } else if (new_key != old_key) {
        // The data are bound to the old key: reseal them for the new one.
        std::optional<SecBytes> data = Open(row.sealed, old_key);
        if (!data) return errSecDecode;
        sealed = Seal(*data, new_key);
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
    if (OSStatus s = SelectLocked(parsed, &rows); s != errSecSuccess) return s;
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
  // A listed item; its attributes are read when asked for, by its id, which
  // is read then too (the row is still current during the visit).
  class RowView final : public SecItemView {
   public:
    RowView(SqliteKeychain* keychain, sqlite3_stmt* row) : keychain_(keychain), row_(row) {}
    SecDictionary Attributes() const override {
      return keychain_->AttributesLocked(sqlite3_column_int64(row_, kCId));
    }

   private:
    SqliteKeychain* keychain_;
    sqlite3_stmt* row_;
  };

  // The key asked for once per search, at its first returned data: a search
  // that finds nothing leaves a locked store alone, and a long listing does
  // not fetch (and compare) the key for every item.
  class KeyOnce {
   public:
    OSStatus Ready(SqliteKeychain* keychain) {
      if (!asked_) {
        asked_ = true;
        status_ = keychain->ReadyKeyLocked();
      }
      return status_;
    }

   private:
    bool asked_ = false;
    OSStatus status_ = errSecSuccess;
  };

  // Returned by a row callback to end the search early with success.
  static constexpr OSStatus kStop = 1;

  static void Wipe(SecBytes* bytes) {
    if (!bytes->empty()) OPENSSL_cleanse(bytes->data(), bytes->size());
    bytes->clear();
  }

  // Runs `on_row` on each row matching `query` (whose `conditions` these
  // are) in insertion order, until it returns something other than
  // errSecSuccess (kStop ends with success). `selected`: the columns on_row
  // reads (kAll: what RowAttributes reads).
  template <typename OnRow>
  OSStatus EachRowLocked(const KeychainQuery& query, const Conditions& conditions,
                         Selected selected, OnRow on_row) {
    sqlite3_stmt* select =
        SelectStatementLocked(SelectShape(conditions, query.item_id.has_value(), selected));
    if (select == nullptr) return errSecIO;
    StatementScope scope(select);
    if (!BindSelect(select, conditions, query.item_id)) return Failed("cannot search");
    int rc;
    while ((rc = sqlite3_step(select)) == SQLITE_ROW) {
      OSStatus status = on_row(select);
      if (status == kStop) return errSecSuccess;
      if (status != errSecSuccess) return status;
    }
    if (rc != SQLITE_DONE) return Failed("cannot search");
    return errSecSuccess;
  }

  sqlite3_stmt* SelectStatementLocked(uint32_t shape) {
    auto it = selects_.find(shape);
    if (it != selects_.end()) return it->second;
    sqlite3_stmt* select = connection_->Prepare(SelectFor(shape));
    if (select != nullptr) selects_.emplace(shape, select);
    return select;
  }

  // The rows matching `query`, with their attributes, in insertion order.
  OSStatus SelectLocked(const KeychainQuery& query, std::vector<Row>* rows) {
    return EachRowLocked(query, ConditionsOf(query), Selected::kAll, [rows](sqlite3_stmt* row) {
      rows->push_back(
          {sqlite3_column_int64(row, kCId), RowAttributes(row), ColumnBlob(row, kCData)});
      return errSecSuccess;
    });
  }

  // The attributes of item `id` (empty when it is gone).
  SecDictionary AttributesLocked(int64_t id) {
    KeychainQuery by_id;
    by_id.item_id = id;
    SecDictionary attributes;
    EachRowLocked(by_id, ConditionsOf(by_id), Selected::kAll, [&attributes](sqlite3_stmt* row) {
      attributes = RowAttributes(row);
      return kStop;
    });
    return attributes;
  }

  // Builds the current row's binding into binding_.
  void WriteRowBindingLocked(sqlite3_stmt* row, std::string_view account,
                             const KnownKeyParts& known) {
    WritePrimaryKeyBinding(
        account, known.service ? *known.service : ColumnView(row, kCService),
        known.synchronizable ? *known.synchronizable : sqlite3_column_int64(row, kCSync) != 0,
        known.access_group ? *known.access_group : ColumnView(row, kCGroup), &binding_);
  }

  // Opens the current row's data into `out`, straight from SQLite's buffer.
  bool OpenRowLocked(sqlite3_stmt* row, std::string_view account, const KnownKeyParts& known,
                     SecBytes* out) {
    WriteRowBindingLocked(row, account, known);
    return OpenInto(BlobView(row, kCData), binding_, out);
  }

  // Opens a listed row into plain_, which only grows during a listing (it is
  // wiped before it moves and at the end), so items are not zero-filled
  // first. The view is valid until the next row.
  std::optional<std::span<const uint8_t>> OpenListedRowLocked(sqlite3_stmt* row,
                                                              std::string_view account,
                                                              const KnownKeyParts& known) {
    WriteRowBindingLocked(row, account, known);
    const std::span<const uint8_t> sealed = BlobView(row, kCData);
    const std::optional<size_t> n = PlainSize(sealed);
    if (!n) return std::nullopt;
    if (plain_.size() < *n) {
      if (plain_.capacity() < *n) {
        Wipe(&plain_);
        plain_.reserve(*n);
      }
      plain_.resize(*n);
    }
    if (!OpenTo(sealed, binding_, plain_.data())) return std::nullopt;
    return std::span<const uint8_t>(plain_.data(), *n);
  }

  OSStatus Failed(const std::string& what) {
    LogKeychain(what + " " + connection_->path() + ": " + connection_->LastError());
    return errSecIO;
  }

  // Asks the source for the key every time, so a locked store answers
  // for itself; the prepared cipher is rebuilt only when the key changes.
  // Callers hold mu_.
  OSStatus ReadyKeyLocked() {
    MasterKey master;
    if (OSStatus s = master.Fetch(*master_key_); s != errSecSuccess) {
      key_.reset();
      Wipe(&key_bytes_);
      return s;
    }
    if (key_ && master.bytes == key_bytes_) return errSecSuccess;
    key_.reset();
    Wipe(&key_bytes_);
    std::optional<AesGcmKey> created = AesGcmKey::Create(master.bytes);
    if (!created) return errSecIO;
    key_.emplace(std::move(*created));
    key_bytes_ = master.bytes;
    return errSecSuccess;
  }

  // nonce || ciphertext || tag. Callers hold mu_.
  std::optional<SecBytes> Seal(const SecBytes& data, const KeychainPrimaryKey& key) {
    std::optional<CryptoBytes> nonce = AesGcmRandomNonce();
    if (!nonce || !key_) return std::nullopt;
    SecBytes out(kAesGcmNonceSize + data.size() + kAesGcmTagSize);
    std::copy(nonce->begin(), nonce->end(), out.begin());
    if (!key_->Seal(*nonce, data, PrimaryKeyBinding(key), out.data() + kAesGcmNonceSize,
                    out.data() + kAesGcmNonceSize + data.size())) {
      return std::nullopt;
    }
    return out;
  }

  // Callers hold mu_.
  bool OpenInto(std::span<const uint8_t> sealed, std::span<const uint8_t> binding, SecBytes* out) {
    const std::optional<size_t> n = PlainSize(sealed);
    if (!n) return false;
    Wipe(out);
    out->resize(*n);
    return OpenTo(sealed, binding, out->data());
  }

  // The plaintext size of sealed data; nothing when too short to be any.
  static std::optional<size_t> PlainSize(std::span<const uint8_t> sealed) {
    if (sealed.size() < kAesGcmNonceSize + kAesGcmTagSize) return std::nullopt;
    return sealed.size() - kAesGcmNonceSize - kAesGcmTagSize;
  }

  // Opens `sealed` into `out`, which holds PlainSize(sealed) bytes. Callers
  // hold mu_.
  bool OpenTo(std::span<const uint8_t> sealed, std::span<const uint8_t> binding, uint8_t* out) {
    const size_t n = sealed.size() - kAesGcmNonceSize - kAesGcmTagSize;
    return key_ && key_->Open(sealed.first(kAesGcmNonceSize), sealed.subspan(kAesGcmNonceSize, n),
                              sealed.last(kAesGcmTagSize), binding, out);
  }

  std::optional<SecBytes> Open(const SecBytes& sealed, const KeychainPrimaryKey& key) {
    SecBytes out;
    if (!OpenInto(sealed, PrimaryKeyBinding(key), &out)) return std::nullopt;
    return out;
  }

  const std::shared_ptr<MasterKeySource> master_key_;
  std::optional<AesGcmKey> key_;  // guarded by mu_; set by ReadyKeyLocked
  CryptoBytes key_bytes_;         // guarded by mu_; the key key_ was made from
  std::mutex mu_;
  std::unique_ptr<SqliteConnection> connection_;  // guarded by mu_
  std::map<uint32_t, sqlite3_stmt*> selects_;     // guarded by mu_; owned by connection_
  SecBytes binding_;                              // guarded by mu_; reused per item
  SecBytes plain_;                                // guarded by mu_; wiped after each use
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
