#include "platform/keychain/fake_keychain.h"

namespace kelvo {

OSStatus FakeKeychain::CopyMatching(const SecDictionary& query, SecResult* result) {
  KeychainQuery parsed;
  if (OSStatus s = ParseKeychainQuery(query, &parsed); s != errSecSuccess) return s;
  std::lock_guard lock(mu_);
  std::vector<KeychainMatch> matches;
  for (const Stored& stored : items_) {
    if (!KeychainItemMatches(stored.item.attributes, stored.id, parsed)) continue;
    if (parsed.return_data && stored.damaged) return errSecDecode;
    matches.push_back({stored.id, stored.item.attributes, stored.item.data});
    if (!parsed.limit_all) break;
  }
  if (matches.empty()) return errSecItemNotFound;
  if (result != nullptr) *result = BuildKeychainResult(parsed, std::move(matches));
  return errSecSuccess;
}

OSStatus FakeKeychain::Add(const SecDictionary& attributes) {
  KeychainItem item;
  if (OSStatus s = PrepareKeychainItem(attributes, &item); s != errSecSuccess) return s;
  std::lock_guard lock(mu_);
  KeychainPrimaryKey key = PrimaryKeyOf(item.attributes);
  for (const Stored& stored : items_) {
    if (PrimaryKeyOf(stored.item.attributes) == key) return errSecDuplicateItem;
  }
  items_.push_back({next_id_++, std::move(item)});
  return errSecSuccess;
}

OSStatus FakeKeychain::Update(const SecDictionary& query, const SecDictionary& changes) {
  KeychainQuery parsed;
  if (OSStatus s = ParseKeychainQuery(query, &parsed); s != errSecSuccess) return s;
  KeychainChanges parsed_changes;
  if (OSStatus s = ParseKeychainChanges(changes, &parsed_changes); s != errSecSuccess) return s;
  std::lock_guard lock(mu_);
  // Work on a copy so a collision leaves every item as it was. Items change
  // one at a time in insertion order, each checked against all others as
  // they stand, as a store updating row by row under a unique index does.
  std::vector<Stored> updated = items_;
  bool any = false;
  for (Stored& stored : updated) {
    if (!KeychainItemMatches(stored.item.attributes, stored.id, parsed)) continue;
    any = true;
    KeychainPrimaryKey old_key = PrimaryKeyOf(stored.item.attributes);
    ApplyKeychainChanges(parsed_changes, &stored.item.attributes);
    KeychainPrimaryKey new_key = PrimaryKeyOf(stored.item.attributes);
    if (parsed_changes.data) {
      stored.item.data = *parsed_changes.data;
      stored.damaged = false;
    } else if (stored.damaged && new_key != old_key) {
      return errSecDecode;  // damaged data cannot be moved to the new key
    }
    for (const Stored& other : updated) {
      if (&other != &stored && PrimaryKeyOf(other.item.attributes) == new_key) {
        return errSecDuplicateItem;
      }
    }
  }
  if (!any) return errSecItemNotFound;
  items_ = std::move(updated);
  return errSecSuccess;
}

OSStatus FakeKeychain::Delete(const SecDictionary& query) {
  KeychainQuery parsed;
  if (OSStatus s = ParseKeychainQuery(query, &parsed); s != errSecSuccess) return s;
  std::lock_guard lock(mu_);
  size_t before = items_.size();
  std::erase_if(items_, [&parsed](const Stored& stored) {
    return KeychainItemMatches(stored.item.attributes, stored.id, parsed);
  });
  return items_.size() == before ? errSecItemNotFound : errSecSuccess;
}

std::vector<KeychainItem> FakeKeychain::Items() const {
  std::lock_guard lock(mu_);
  std::vector<KeychainItem> out;
  for (const Stored& stored : items_) out.push_back(stored.item);
  return out;
}

int FakeKeychain::DamageItems(const SecDictionary& query) {
  KeychainQuery parsed;
  if (ParseKeychainQuery(query, &parsed) != errSecSuccess) return 0;
  std::lock_guard lock(mu_);
  int n = 0;
  for (Stored& stored : items_) {
    if (KeychainItemMatches(stored.item.attributes, stored.id, parsed)) {
      stored.damaged = true;
      ++n;
    }
  }
  return n;
}

}  // namespace kelvo
