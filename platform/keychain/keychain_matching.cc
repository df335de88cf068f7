#include "platform/keychain/keychain_matching.h"

#include <cstring>
#include <string_view>

namespace kelvo {
namespace {

enum class KeyRole { kClass, kAttribute, kData, kRef, kReturn, kLimit, kUse };
enum class ValueType { kString, kBool, kBytes, kAccessControl, kContext };

struct KeyRule {
  std::string_view key;  // compared by length first: most keys differ there
  KeyRole role;
  ValueType type;
};

constexpr KeyRule kKeys[] = {
    {kSecClass, KeyRole::kClass, ValueType::kString},
    {kSecAttrAccount, KeyRole::kAttribute, ValueType::kString},
    {kSecAttrService, KeyRole::kAttribute, ValueType::kString},
    {kSecAttrLabel, KeyRole::kAttribute, ValueType::kString},
    {kSecAttrDescription, KeyRole::kAttribute, ValueType::kString},
    {kSecAttrComment, KeyRole::kAttribute, ValueType::kString},
    {kSecAttrIsInvisible, KeyRole::kAttribute, ValueType::kBool},
    {kSecAttrIsNegative, KeyRole::kAttribute, ValueType::kBool},
    {kSecAttrSynchronizable, KeyRole::kAttribute, ValueType::kBool},
    {kSecAttrAccessible, KeyRole::kAttribute, ValueType::kString},
    {kSecAttrAccessControl, KeyRole::kAttribute, ValueType::kAccessControl},
    {kSecAttrAccessGroup, KeyRole::kAttribute, ValueType::kString},
    {kSecValueData, KeyRole::kData, ValueType::kBytes},
    {kSecValuePersistentRef, KeyRole::kRef, ValueType::kBytes},
    {kSecReturnData, KeyRole::kReturn, ValueType::kBool},
    {kSecReturnAttributes, KeyRole::kReturn, ValueType::kBool},
    {kSecReturnPersistentRef, KeyRole::kReturn, ValueType::kBool},
    {kSecMatchLimit, KeyRole::kLimit, ValueType::kString},
    {kSecUseAuthenticationUI, KeyRole::kUse, ValueType::kString},
    {kSecUseAuthenticationContext, KeyRole::kUse, ValueType::kContext},
    {kSecUseDataProtectionKeychain, KeyRole::kUse, ValueType::kBool},
};

const KeyRule* FindKey(const std::string& key) {
  for (const KeyRule& rule : kKeys) {
    if (key == rule.key) return &rule;
  }
  return nullptr;
}

bool HasType(const SecValue& value, ValueType type) {
  switch (type) {
    case ValueType::kString:
      return std::holds_alternative<std::string>(value);
    case ValueType::kBool:
      return std::holds_alternative<bool>(value);
    case ValueType::kBytes:
      return std::holds_alternative<SecBytes>(value);
    case ValueType::kAccessControl: {
      auto* ac = std::get_if<SecAccessControlRef>(&value);
      return ac != nullptr && *ac != nullptr;
    }
    case ValueType::kContext: {
      auto* context = std::get_if<LAContextRef>(&value);
      return context != nullptr && *context != nullptr;
    }
  }
  return false;
}

}  // namespace

bool IsKeychainProtection(const std::string& protection) {
  for (const char* known :
       {kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly, kSecAttrAccessibleWhenUnlocked,
        kSecAttrAccessibleWhenUnlockedThisDeviceOnly, kSecAttrAccessibleAfterFirstUnlock,
        kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly}) {
    if (protection == known) return true;
  }
  return false;
}

namespace {

bool IsAnySynchronizable(const std::string& key, const SecValue& value) {
  const std::string* text = std::get_if<std::string>(&value);
  return text != nullptr && key == kSecAttrSynchronizable && *text == kSecAttrSynchronizableAny;
}

// Checks every key and value type, and the values with a closed set.
// `query`: kSecAttrSynchronizableAny is allowed (it finds items, it is none).
OSStatus CheckEntries(const SecDictionary& dict, bool query = false) {
  for (const auto& [key, value] : dict) {
    const KeyRule* rule = FindKey(key);
    if (query && IsAnySynchronizable(key, value)) continue;
    if (rule == nullptr || !HasType(value, rule->type)) return errSecParam;
    if (key == kSecAttrAccessible && !IsKeychainProtection(std::get<std::string>(value))) {
      return errSecParam;
    }
    if (key == kSecMatchLimit) {
      const auto& limit = std::get<std::string>(value);
      if (limit != kSecMatchLimitOne && limit != kSecMatchLimitAll) return errSecParam;
    }
  }
  return errSecSuccess;
}

OSStatus CheckClass(const SecDictionary& dict) {
  auto it = dict.find(kSecClass);
  if (it == dict.end()) return errSecParam;
  // CheckEntries has made sure it is a string.
  return std::get<std::string>(it->second) == kSecClassGenericPassword ? errSecSuccess
                                                                       : errSecParam;
}

bool BothAccessKinds(const SecDictionary& dict) {
  return dict.count(kSecAttrAccessible) != 0 && dict.count(kSecAttrAccessControl) != 0;
}

bool GetBool(const SecDictionary& dict, const char* key) {
  auto it = dict.find(key);
  if (it == dict.end()) return false;
  const bool* b = std::get_if<bool>(&it->second);
  return b != nullptr && *b;
}

std::string GetString(const SecDictionary& dict, const char* key) {
  auto it = dict.find(key);
  if (it == dict.end()) return {};
  const std::string* s = std::get_if<std::string>(&it->second);
  return s ? *s : std::string();
}

// Fills in what every stored item has.
void Normalise(SecDictionary* attributes) {
  (*attributes)[kSecClass] = std::string(kSecClassGenericPassword);
  for (const char* key : {kSecAttrAccount, kSecAttrService, kSecAttrAccessGroup}) {
    attributes->try_emplace(key, std::string());
  }
  attributes->try_emplace(kSecAttrSynchronizable, false);
  auto ac = attributes->find(kSecAttrAccessControl);
  if (ac != attributes->end()) {
    (*attributes)[kSecAttrAccessible] = std::get<SecAccessControlRef>(ac->second)->protection;
  } else {
    attributes->try_emplace(kSecAttrAccessible, std::string(kSecAttrAccessibleWhenUnlocked));
  }
}

bool ValuesEqual(const SecValue& a, const SecValue& b) { return a == b; }

constexpr char kRefMagic[] = "kvkc";  // 4 bytes, then the id big-endian

void AppendField(SecBytes* out, std::string_view field) {
  uint32_t n = static_cast<uint32_t>(field.size());
  const uint8_t length[4] = {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                             static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
  // One resize and two copies: a listing builds this for every item.
  const size_t at = out->size();
  out->resize(at + sizeof length + field.size());
  std::memcpy(out->data() + at, length, sizeof length);
  if (!field.empty()) std::memcpy(out->data() + at + sizeof length, field.data(), field.size());
}

}  // namespace

OSStatus ParseKeychainQuery(const SecDictionary& query, KeychainQuery* out) {
  if (OSStatus s = CheckEntries(query, /*query=*/true); s != errSecSuccess) return s;
  if (OSStatus s = CheckClass(query); s != errSecSuccess) return s;
  KeychainQuery parsed;
  for (const auto& [key, value] : query) {
    const KeyRule* rule = FindKey(key);
    switch (rule->role) {
      case KeyRole::kAttribute:
        // Access control is how an item is protected, not something to find it by.
        if (IsAnySynchronizable(key, value)) {
          parsed.any_synchronizable = true;
        } else if (key != kSecAttrAccessControl) {
          parsed.match.emplace(key, value);
        }
        break;
      case KeyRole::kRef: {
        std::optional<int64_t> id = ItemIdFromPersistentRef(std::get<SecBytes>(value));
        if (!id) return errSecParam;
        parsed.item_id = id;
        break;
      }
      case KeyRole::kReturn:
        if (key == kSecReturnData) parsed.return_data = std::get<bool>(value);
        if (key == kSecReturnAttributes) parsed.return_attributes = std::get<bool>(value);
        if (key == kSecReturnPersistentRef) parsed.return_ref = std::get<bool>(value);
        break;
      case KeyRole::kLimit:
        parsed.limit_all = std::get<std::string>(value) == kSecMatchLimitAll;
        break;
      case KeyRole::kClass:  // checked above
      case KeyRole::kData:   // the data of a password item are not searched
      case KeyRole::kUse:    // steer authentication, which the session satisfies
        break;
    }
  }
  // As on the system: leaving synchronizable out finds only local items.
  if (!parsed.any_synchronizable) parsed.match.try_emplace(kSecAttrSynchronizable, false);
  *out = std::move(parsed);
  return errSecSuccess;
}

bool KeychainItemMatches(const SecDictionary& attributes, int64_t item_id,
                         const KeychainQuery& query) {
  if (query.item_id && *query.item_id != item_id) return false;
  for (const auto& [key, wanted] : query.match) {
    auto it = attributes.find(key);
    if (it != attributes.end()) {
      if (!ValuesEqual(it->second, wanted)) return false;
      continue;
    }
    // Flags not set on an item are off.
    bool is_flag = key == kSecAttrIsInvisible || key == kSecAttrIsNegative;
    if (!is_flag || wanted != SecValue(false)) return false;
  }
  return true;
}

OSStatus PrepareKeychainItem(const SecDictionary& attributes, KeychainItem* out) {
  if (OSStatus s = CheckEntries(attributes); s != errSecSuccess) return s;
  if (OSStatus s = CheckClass(attributes); s != errSecSuccess) return s;
  if (BothAccessKinds(attributes)) return errSecParam;
  KeychainItem item;
  for (const auto& [key, value] : attributes) {
    const KeyRule* rule = FindKey(key);
    if (rule->role == KeyRole::kAttribute) item.attributes.emplace(key, value);
    if (rule->role == KeyRole::kData) item.data = std::get<SecBytes>(value);
    // A new item cannot take over another's reference.
    if (rule->role == KeyRole::kRef) return errSecParam;
  }
  Normalise(&item.attributes);
  *out = std::move(item);
  return errSecSuccess;
}

OSStatus ParseKeychainChanges(const SecDictionary& changes, KeychainChanges* out) {
  if (OSStatus s = CheckEntries(changes); s != errSecSuccess) return s;
  if (BothAccessKinds(changes)) return errSecParam;
  KeychainChanges parsed;
  for (const auto& [key, value] : changes) {
    const KeyRule* rule = FindKey(key);
    if (rule->role == KeyRole::kAttribute) {
      parsed.attributes.emplace(key, value);
    } else if (rule->role == KeyRole::kData) {
      parsed.data = std::get<SecBytes>(value);
    } else {
      return errSecParam;  // the class, return keys, limits and use keys are no changes
    }
  }
  *out = std::move(parsed);
  return errSecSuccess;
}

void ApplyKeychainChanges(const KeychainChanges& changes, SecDictionary* attributes) {
  if (changes.attributes.count(kSecAttrAccessible) != 0) {
    attributes->erase(kSecAttrAccessControl);
  }
  for (const auto& [key, value] : changes.attributes) (*attributes)[key] = value;
  Normalise(attributes);
}

KeychainPrimaryKey PrimaryKeyOf(const SecDictionary& attributes) {
  return {GetString(attributes, kSecAttrAccount), GetString(attributes, kSecAttrService),
          GetBool(attributes, kSecAttrSynchronizable), GetString(attributes, kSecAttrAccessGroup)};
}

SecBytes PrimaryKeyBinding(const KeychainPrimaryKey& key) {
  SecBytes out;
  WritePrimaryKeyBinding(key.account, key.service, key.synchronizable, key.access_group, &out);
  return out;
}

void WritePrimaryKeyBinding(std::string_view account, std::string_view service,
                            bool synchronizable, std::string_view access_group, SecBytes* out) {
  out->clear();
  out->reserve(64 + account.size() + service.size() + access_group.size());
  AppendField(out, "kelvo.keychain.item.v1");
  AppendField(out, kSecClassGenericPassword);
  AppendField(out, account);
  AppendField(out, service);
  AppendField(out, synchronizable ? "1" : "0");
  AppendField(out, access_group);
}

SecBytes PersistentRefFor(int64_t item_id) {
  SecBytes out(kRefMagic, kRefMagic + 4);
  uint64_t id = static_cast<uint64_t>(item_id);
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(id >> shift));
  return out;
}

std::optional<int64_t> ItemIdFromPersistentRef(const SecBytes& ref) {
  if (ref.size() != 12 || std::memcmp(ref.data(), kRefMagic, 4) != 0) return std::nullopt;
  uint64_t id = 0;
  for (size_t i = 4; i < 12; ++i) id = (id << 8) | ref[i];
  return static_cast<int64_t>(id);
}

SecResult BuildKeychainResult(const KeychainQuery& query, std::vector<KeychainMatch> matches) {
  if (!query.WantsResult() || matches.empty()) return std::monostate{};
  auto as_map = [&query](KeychainMatch& match) {
    SecDictionary out;
    if (query.return_attributes) out = std::move(match.attributes);
    if (query.return_data) out[kSecValueData] = std::move(match.data);
    if (query.return_ref) out[kSecValuePersistentRef] = PersistentRefFor(match.item_id);
    return out;
  };
  if (query.limit_all) {
    std::vector<SecDictionary> list;
    list.reserve(matches.size());
    for (KeychainMatch& match : matches) list.push_back(as_map(match));
    return list;
  }
  KeychainMatch& first = matches.front();
  int kinds = int{query.return_data} + int{query.return_attributes} + int{query.return_ref};
  if (kinds == 1 && query.return_data) return std::move(first.data);
  if (kinds == 1 && query.return_ref) return PersistentRefFor(first.item_id);
  return as_map(first);
}

namespace {

// An item of a CopyMatching result list seen through the visitor's view.
class ListedItem final : public SecItemView {
 public:
  explicit ListedItem(const SecDictionary& item) : item_(item) {
    if (auto it = item.find(kSecAttrAccount); it != item.end()) {
      if (const auto* text = std::get_if<std::string>(&it->second)) account = *text;
    }
    if (auto it = item.find(kSecValueData); it != item.end()) {
      if (const auto* bytes = std::get_if<SecBytes>(&it->second)) data = *bytes;
    }
  }
  SecDictionary Attributes() const override {
    SecDictionary out = item_;
    out.erase(kSecValueData);
    out.erase(kSecValuePersistentRef);
    return out;
  }

 private:
  const SecDictionary& item_;
};

}  // namespace

OSStatus Keychain::CopyMatchingEach(const SecDictionary& query, const SecItemVisitor& visit) {
  SecDictionary all = query;
  all[kSecMatchLimit] = std::string(kSecMatchLimitAll);
  SecResult result;
  OSStatus status = CopyMatching(all, &result);
  if (status != errSecSuccess) return status;
  if (const auto* items = std::get_if<std::vector<SecDictionary>>(&result)) {
    for (const SecDictionary& item : *items) visit(ListedItem(item));
  }
  return errSecSuccess;
}

}  // namespace kelvo
