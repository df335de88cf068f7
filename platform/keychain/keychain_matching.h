// The item rules every Keychain implementation applies, kept in one place
// so the SQLite keychain and the in-memory fake answer alike. Internal to
// the keychain layer.
//
// Items are generic passwords. An item's attributes are normalised when it
// is added: the primary attributes (account, service, access group: "" when
// absent; synchronizable: false when absent) and the accessibility
// (kSecAttrAccessibleWhenUnlocked when absent, or the protection of the
// access control) are always present, so returned attribute maps always
// hold them. Invisible and negative count as false when absent.
//
// Threading: pure functions.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/keychain/keychain.h"

namespace kelvo {

// A query taken apart: what items must equal, and what the caller wants.
struct KeychainQuery {
  SecDictionary match;  // attribute key -> value the item must equal
  std::optional<int64_t> item_id;  // from kSecValuePersistentRef
  bool return_data = false;
  bool return_attributes = false;
  bool return_ref = false;
  bool limit_all = false;
  bool any_synchronizable = false;  // kSecAttrSynchronizableAny: no condition on it

  bool WantsResult() const { return return_data || return_attributes || return_ref; }
};

// Whether `protection` is one of the kSecAttrAccessible values.
bool IsKeychainProtection(const std::string& protection);

// Parses a query for CopyMatching, Update or Delete. errSecParam for a
// missing or unknown class, an unknown key, or a value of the wrong type.
// Return keys and the match limit are parsed for every operation; Update
// and Delete simply do not use them.
OSStatus ParseKeychainQuery(const SecDictionary& query, KeychainQuery* out);

// Whether an item with the (normalised) `attributes` and `item_id` matches.
bool KeychainItemMatches(const SecDictionary& attributes, int64_t item_id,
                         const KeychainQuery& query);

struct KeychainItem {
  SecDictionary attributes;  // normalised, without kSecValueData
  SecBytes data;
};

// Builds the item SecItemAdd stores: attributes from the dictionary (return,
// match-limit and use keys ignored), kSecValueData as the data (empty when
// absent). errSecParam for a missing or unknown class, an unknown key, a
// value of the wrong type, or both kSecAttrAccessible and
// kSecAttrAccessControl.
OSStatus PrepareKeychainItem(const SecDictionary& attributes, KeychainItem* out);

struct KeychainChanges {
  SecDictionary attributes;      // attributes to set
  std::optional<SecBytes> data;  // new data, when kSecValueData is given
};

// Parses the changes of SecItemUpdate. errSecParam when they name the class,
// a key that is not an attribute or kSecValueData, a value of the wrong
// type, or both kSecAttrAccessible and kSecAttrAccessControl.
OSStatus ParseKeychainChanges(const SecDictionary& changes, KeychainChanges* out);

// Applies parsed changes to an item's attributes (normalised again: setting
// an access control sets the accessibility to its protection, setting only
// the accessibility drops the access control). Data are left to the caller.
void ApplyKeychainChanges(const KeychainChanges& changes, SecDictionary* attributes);

// The attributes that make an item unique.
struct KeychainPrimaryKey {
  std::string account;
  std::string service;
  bool synchronizable = false;
  std::string access_group;
  auto operator<=>(const KeychainPrimaryKey&) const = default;
};
KeychainPrimaryKey PrimaryKeyOf(const SecDictionary& attributes);

// Bytes binding stored data to the item they belong to (used as AES-GCM
// additional data): an item's ciphertext fails to open under another key.
SecBytes PrimaryKeyBinding(const KeychainPrimaryKey& key);
// The same into `out` (replacing its content), from views of the
// attributes, so a caller can reuse one buffer for many items.
void WritePrimaryKeyBinding(std::string_view account, std::string_view service,
                            bool synchronizable, std::string_view access_group, SecBytes* out);

// The opaque persistent reference of an item id, and back (nothing for
// bytes that are no reference).
SecBytes PersistentRefFor(int64_t item_id);
std::optional<int64_t> ItemIdFromPersistentRef(const SecBytes& ref);

// One matching item as the result is built from it.
struct KeychainMatch {
  int64_t item_id = 0;
  SecDictionary attributes;
  SecBytes data;  // only read when the query returns data
};

// The result of SecItemCopyMatching for `matches` (in insertion order, at
// least one): nothing when no return key is set; with limit one, data or a
// reference alone as bytes, otherwise a map; with kSecMatchLimitAll a list
// of maps, each holding the attributes when asked, kSecValueData when data
// were asked and kSecValuePersistentRef when a reference was asked.
SecResult BuildKeychainResult(const KeychainQuery& query, std::vector<KeychainMatch> matches);

}  // namespace kelvo
