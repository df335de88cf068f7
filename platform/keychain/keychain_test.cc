// The item rules, run against the in-memory fake and the SQLite keychain
// alike: both must answer every query the same way.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/keychain/fake_keychain.h"
#include "platform/keychain/keychain.h"
#include "platform/fs/test_dir.h"

namespace kelvo {
namespace {

SecBytes Bytes(const std::string& s) { return SecBytes(s.begin(), s.end()); }

SecDictionary Item(const std::string& account, const std::string& service,
                   const std::string& data) {
  return {{kSecClass, std::string(kSecClassGenericPassword)},
          {kSecAttrAccount, account},
          {kSecAttrService, service},
          {kSecValueData, Bytes(data)}};
}

SecDictionary Query(const std::string& account, const std::string& service) {
  return {{kSecClass, std::string(kSecClassGenericPassword)},
          {kSecAttrAccount, account},
          {kSecAttrService, service}};
}

SecDictionary ByService(const std::string& service) {
  return {{kSecClass, std::string(kSecClassGenericPassword)}, {kSecAttrService, service}};
}

SecDictionary With(SecDictionary d, const std::string& key, SecValue value) {
  d[key] = std::move(value);
  return d;
}

struct FakeFactory {
  std::unique_ptr<Keychain> Make() { return std::make_unique<FakeKeychain>(); }
};

struct SqliteFactory {
  TestDir dir;
  std::unique_ptr<Keychain> Make() {
    std::string error;
    auto keychain = OpenKeychainAt(dir.path() + "/keychain", &error);
    EXPECT_NE(keychain, nullptr) << error;
    return keychain;
  }
};

template <typename Factory>
class KeychainRulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    keychain_ = factory_.Make();
    ASSERT_NE(keychain_, nullptr);
  }

  // Data of the one item matching `query`, or the status as text.
  std::string Read(SecDictionary query) {
    query[kSecReturnData] = true;
    SecResult result;
    OSStatus s = keychain_->CopyMatching(query, &result);
    if (s != errSecSuccess) return "status " + std::to_string(s);
    const SecBytes* data = std::get_if<SecBytes>(&result);
    return data ? std::string(data->begin(), data->end()) : "no data";
  }

  // Attributes of the one item matching `query`.
  SecDictionary Attributes(SecDictionary query) {
    query[kSecReturnAttributes] = true;
    SecResult result;
    EXPECT_EQ(keychain_->CopyMatching(query, &result), errSecSuccess);
    const SecDictionary* attributes = std::get_if<SecDictionary>(&result);
    return attributes ? *attributes : SecDictionary{};
  }

  Factory factory_;
  std::unique_ptr<Keychain> keychain_;
};

using Implementations = ::testing::Types<FakeFactory, SqliteFactory>;
class ImplementationNames {
 public:
  template <typename T>
  static std::string GetName(int) {
    return std::is_same_v<T, FakeFactory> ? "Fake" : "Sqlite";
  }
};
TYPED_TEST_SUITE(KeychainRulesTest, Implementations, ImplementationNames);

TYPED_TEST(KeychainRulesTest, ReturnKeysShapeTheResult) {
  Keychain& kc = *this->keychain_;
  SecDictionary item = With(Item("alice", "svc", "secret"), kSecAttrLabel, std::string("L"));
  item[kSecReturnData] = true;  // ignored by Add
  ASSERT_EQ(kc.Add(item), errSecSuccess);

  SecResult result = SecBytes{1};
  EXPECT_EQ(kc.CopyMatching(Query("alice", "svc"), &result), errSecSuccess);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(result));
  EXPECT_EQ(kc.CopyMatching(Query("alice", "svc"), nullptr), errSecSuccess);
  EXPECT_EQ(this->Read(Query("alice", "svc")), "secret");

  const SecDictionary attrs = this->Attributes(Query("alice", "svc"));
  EXPECT_EQ(attrs.at(kSecAttrAccount), SecValue(std::string("alice")));
  EXPECT_EQ(attrs.at(kSecAttrService), SecValue(std::string("svc")));
  EXPECT_EQ(attrs.at(kSecAttrLabel), SecValue(std::string("L")));
  EXPECT_EQ(attrs.at(kSecAttrSynchronizable), SecValue(false));
  EXPECT_EQ(attrs.at(kSecAttrAccessGroup), SecValue(std::string()));
  EXPECT_EQ(attrs.at(kSecAttrAccessible), SecValue(std::string(kSecAttrAccessibleWhenUnlocked)));
  EXPECT_EQ(attrs.count(kSecValueData), 0u);
  EXPECT_EQ(attrs.count(kSecAttrComment), 0u);

  SecDictionary both = With(With(Query("alice", "svc"), kSecReturnAttributes, true),
                            kSecReturnData, true);
  ASSERT_EQ(kc.CopyMatching(both, &result), errSecSuccess);
  EXPECT_EQ(std::get<SecDictionary>(result).at(kSecValueData), SecValue(Bytes("secret")));

  // A persistent reference alone is bytes that find the item again.
  ASSERT_EQ(kc.CopyMatching(With(Query("alice", "svc"), kSecReturnPersistentRef, true), &result),
            errSecSuccess);
  SecBytes ref = std::get<SecBytes>(result);
  ASSERT_EQ(kc.Add(Item("bob", "svc", "other")), errSecSuccess);
  SecDictionary by_ref = {{kSecClass, std::string(kSecClassGenericPassword)},
                          {kSecValuePersistentRef, ref}};
  EXPECT_EQ(this->Read(by_ref), "secret");
  // With attributes it comes under its own key.
  ASSERT_EQ(kc.CopyMatching(With(both, kSecReturnPersistentRef, true), &result), errSecSuccess);
  EXPECT_EQ(std::get<SecDictionary>(result).at(kSecValuePersistentRef), SecValue(ref));

  EXPECT_EQ(kc.CopyMatching(Query("carol", "svc"), &result), errSecItemNotFound);
  EXPECT_EQ(this->Read(Query("alice", "other-svc")), "status -25300");
}

TYPED_TEST(KeychainRulesTest, LimitAllListsInInsertionOrderAndLimitOneTakesTheFirst) {
  Keychain& kc = *this->keychain_;
  for (const char* account : {"zed", "amy", "kim"}) {
    ASSERT_EQ(kc.Add(Item(account, "svc", std::string("v-") + account)), errSecSuccess);
  }
  ASSERT_EQ(kc.Add(Item("other", "elsewhere", "x")), errSecSuccess);
  const SecDictionary by_service = ByService("svc");
  SecDictionary all = With(With(With(by_service, kSecMatchLimit, std::string(kSecMatchLimitAll)),
                                kSecReturnAttributes, true),
                           kSecReturnData, true);
  SecResult result;
  ASSERT_EQ(kc.CopyMatching(all, &result), errSecSuccess);
  const auto& list = std::get<std::vector<SecDictionary>>(result);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].at(kSecAttrAccount), SecValue(std::string("zed")));
  EXPECT_EQ(list[1].at(kSecAttrAccount), SecValue(std::string("amy")));
  EXPECT_EQ(list[2].at(kSecValueData), SecValue(Bytes("v-kim")));

  // Data alone with limit all still comes as one map per item.
  ASSERT_EQ(kc.CopyMatching(With(With(by_service, kSecMatchLimit, std::string(kSecMatchLimitAll)),
                                 kSecReturnData, true),
                            &result),
            errSecSuccess);
  const auto& data_only = std::get<std::vector<SecDictionary>>(result);
  ASSERT_EQ(data_only.size(), 3u);
  EXPECT_EQ(data_only[1], (SecDictionary{{kSecValueData, Bytes("v-amy")}}));

  EXPECT_EQ(this->Read(by_service), "v-zed");
  EXPECT_EQ(this->Read(With(by_service, kSecMatchLimit, std::string(kSecMatchLimitOne))), "v-zed");

  // By account too, where items differ only in group or synchronizable:
  // first added, first found, whichever index serves the lookup.
  ASSERT_EQ(kc.Add(With(Item("dup", "svc", "group z"), kSecAttrAccessGroup, std::string("z"))),
            errSecSuccess);
  ASSERT_EQ(kc.Add(With(Item("dup", "svc", "synced"), kSecAttrSynchronizable, true)),
            errSecSuccess);
  ASSERT_EQ(kc.Add(With(Item("dup", "svc", "group a"), kSecAttrAccessGroup, std::string("a"))),
            errSecSuccess);
  const SecDictionary dup = Query("dup", "svc");
  EXPECT_EQ(this->Read(dup), "group z");
  EXPECT_EQ(this->Read(With(dup, kSecAttrSynchronizable, std::string(kSecAttrSynchronizableAny))),
            "group z");
  ASSERT_EQ(kc.CopyMatching(With(With(dup, kSecMatchLimit, std::string(kSecMatchLimitAll)),
                                 kSecReturnData, true),
                            &result),
            errSecSuccess);
  const auto& dups = std::get<std::vector<SecDictionary>>(result);
  ASSERT_EQ(dups.size(), 2u);
  EXPECT_EQ(dups[1], (SecDictionary{{kSecValueData, Bytes("group a")}}));
}

TYPED_TEST(KeychainRulesTest, DuplicatesAreDecidedByThePrimaryAttributes) {
  Keychain& kc = *this->keychain_;
  ASSERT_EQ(kc.Add(Item("a", "s", "1")), errSecSuccess);
  EXPECT_EQ(kc.Add(Item("a", "s", "2")), errSecDuplicateItem);
  // Attributes outside the primary key do not make an item different.
  EXPECT_EQ(kc.Add(With(Item("a", "s", "2"), kSecAttrLabel, std::string("new"))),
            errSecDuplicateItem);
  EXPECT_EQ(this->Read(Query("a", "s")), "1");
  EXPECT_EQ(kc.Add(Item("a", "t", "3")), errSecSuccess);
  EXPECT_EQ(kc.Add(With(Item("a", "s", "4"), kSecAttrSynchronizable, true)), errSecSuccess);
  EXPECT_EQ(kc.Add(With(Item("a", "s", "5"), kSecAttrAccessGroup, std::string("grp"))),
            errSecSuccess);
  // Absent primary attributes are empty, and clash with explicitly empty ones.
  SecDictionary bare = {{kSecClass, std::string(kSecClassGenericPassword)}};
  ASSERT_EQ(kc.Add(bare), errSecSuccess);
  EXPECT_EQ(kc.Add(Query("", "")), errSecDuplicateItem);
  EXPECT_EQ(this->Read(Query("", "")), "");
}

TYPED_TEST(KeychainRulesTest, SynchronizableMustBeNamedToBeFound) {
  Keychain& kc = *this->keychain_;
  ASSERT_EQ(kc.Add(With(Item("k", "s", "synced"), kSecAttrSynchronizable, true)), errSecSuccess);
  EXPECT_EQ(this->Read(Query("k", "s")), "status -25300");
  EXPECT_EQ(kc.Delete(Query("k", "s")), errSecItemNotFound);
  EXPECT_EQ(kc.Update(Query("k", "s"), {{kSecValueData, Bytes("x")}}), errSecItemNotFound);
  EXPECT_EQ(this->Read(With(Query("k", "s"), kSecAttrSynchronizable, true)), "synced");

  ASSERT_EQ(kc.Add(Item("k", "s", "local")), errSecSuccess);
  EXPECT_EQ(this->Read(Query("k", "s")), "local");
  EXPECT_EQ(this->Read(With(Query("k", "s"), kSecAttrSynchronizable, false)), "local");
  EXPECT_EQ(kc.Delete(With(Query("k", "s"), kSecAttrSynchronizable, true)), errSecSuccess);
  EXPECT_EQ(this->Read(Query("k", "s")), "local");
}

TYPED_TEST(KeychainRulesTest, AnySynchronizableFindsBothKindsButIsNoAttributeOfAnItem) {
  Keychain& kc = *this->keychain_;
  const SecValue any = std::string(kSecAttrSynchronizableAny);
  ASSERT_EQ(kc.Add(With(Item("k", "s", "synced"), kSecAttrSynchronizable, true)), errSecSuccess);
  EXPECT_EQ(kc.CopyMatching(With(Query("k", "s"), kSecAttrSynchronizable, any), nullptr),
            errSecSuccess);
  ASSERT_EQ(kc.Add(Item("k", "s", "local")), errSecSuccess);
  EXPECT_EQ(this->Read(With(Query("k", "s"), kSecAttrSynchronizable, any)), "synced");  // first
  EXPECT_EQ(kc.CopyMatching(With(Query("x", "s"), kSecAttrSynchronizable, any), nullptr),
            errSecItemNotFound);

  EXPECT_EQ(kc.Add(With(Item("n", "s", "v"), kSecAttrSynchronizable, any)), errSecParam);
  EXPECT_EQ(kc.Update(Query("k", "s"), {{kSecAttrSynchronizable, any}}), errSecParam);
  EXPECT_EQ(kc.Delete(With(Query("k", "s"), kSecAttrSynchronizable, any)), errSecSuccess);
  EXPECT_EQ(kc.CopyMatching(With(Query("k", "s"), kSecAttrSynchronizable, any), nullptr),
            errSecItemNotFound);
}

TYPED_TEST(KeychainRulesTest, ItemsHandedOneByOneAreThoseOfTheList) {
  Keychain& kc = *this->keychain_;
  // A long value before a short one: each item's data are its own length.
  ASSERT_EQ(kc.Add(Item("b", "s", "the second, longer")), errSecSuccess);
  ASSERT_EQ(kc.Add(Item("a", "s", "1")), errSecSuccess);
  ASSERT_EQ(kc.Add(Item("c", "other", "3")), errSecSuccess);
  ASSERT_EQ(kc.Add(With(Item("", "s", "empty account"), kSecAttrLabel, std::string("l"))),
            errSecSuccess);
  SecDictionary all = With(With(ByService("s"), kSecReturnAttributes, true), kSecReturnData, true);

  struct Seen {
    std::optional<std::string> account;
    std::string data;
    SecDictionary attributes;
  };
  auto each = [&kc](const SecDictionary& query, std::vector<Seen>* seen) {
    return kc.CopyMatchingEach(query, [seen](const SecItemView& item) {
      seen->push_back({item.account ? std::optional<std::string>(*item.account) : std::nullopt,
                       std::string(item.data.begin(), item.data.end()), item.Attributes()});
    });
  };
  std::vector<Seen> seen;
  ASSERT_EQ(each(all, &seen), errSecSuccess);
  SecResult listed;
  ASSERT_EQ(kc.CopyMatching(With(all, kSecMatchLimit, std::string(kSecMatchLimitAll)), &listed),
            errSecSuccess);
  const auto& list = std::get<std::vector<SecDictionary>>(listed);
  ASSERT_EQ(seen.size(), 3u);
  ASSERT_EQ(list.size(), 3u);
  for (size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(SecValue(*seen[i].account), list[i].at(kSecAttrAccount));
    EXPECT_EQ(SecValue(Bytes(seen[i].data)), list[i].at(kSecValueData));
    SecDictionary attributes = list[i];
    attributes.erase(kSecValueData);
    EXPECT_EQ(seen[i].attributes, attributes);
  }
  EXPECT_EQ(seen[0].account, "b");
  EXPECT_EQ(seen[2].account, "");  // an empty account is still an account

  // Without attributes no account; without data no data.
  seen.clear();
  SecDictionary data_only = all;
  data_only.erase(kSecReturnAttributes);
  ASSERT_EQ(each(data_only, &seen), errSecSuccess);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].account, std::nullopt);
  EXPECT_EQ(seen[0].data, "the second, longer");
  EXPECT_EQ(seen[1].data, "1");
  // Whether the query names the binding's service, synchronizable and group
  // or none of them, the same items open.
  auto data_of = [&](const SecDictionary& query) {
    seen.clear();
    EXPECT_EQ(each(query, &seen), errSecSuccess);
    std::vector<std::string> data;
    for (const Seen& item : seen) data.push_back(item.data);
    return data;
  };
  EXPECT_EQ(data_of(With(With(data_only, kSecAttrSynchronizable, false), kSecAttrAccessGroup,
                         std::string())),
            (std::vector<std::string>{"the second, longer", "1", "empty account"}));
  EXPECT_EQ(data_of(With(SecDictionary{{kSecClass, std::string(kSecClassGenericPassword)}},
                         kSecReturnData, true)),
            (std::vector<std::string>{"the second, longer", "1", "3", "empty account"}));
  seen.clear();
  SecDictionary attributes_only = all;
  attributes_only.erase(kSecReturnData);
  ASSERT_EQ(each(attributes_only, &seen), errSecSuccess);
  EXPECT_EQ(seen[1].data, "");

  seen.clear();
  EXPECT_EQ(each(With(all, kSecAttrService, std::string("none")), &seen), errSecItemNotFound);
  EXPECT_EQ(each(With(all, kSecAttrService, int64_t{5}), &seen), errSecParam);
  EXPECT_TRUE(seen.empty());
}

TYPED_TEST(KeychainRulesTest, OnlyAttributesAreMatched) {
  Keychain& kc = *this->keychain_;
  std::string error;
  SecAccessControlRef ac = SecAccessControlCreateWithFlags(
      kSecAttrAccessibleWhenUnlockedThisDeviceOnly, kSecAccessControlUserPresence, &error);
  ASSERT_NE(ac, nullptr) << error;
  SecDictionary item = With(With(Item("a", "s", "v"), kSecAttrAccessControl, ac), kSecAttrComment,
                            std::string("c"));
  ASSERT_EQ(kc.Add(item), errSecSuccess);

  SecDictionary q = Query("a", "s");
  EXPECT_EQ(this->Read(With(q, kSecAttrComment, std::string("c"))), "v");
  EXPECT_EQ(this->Read(With(q, kSecAttrComment, std::string("d"))), "status -25300");
  EXPECT_EQ(this->Read(With(q, kSecAttrLabel, std::string("c"))), "status -25300");
  // Unset flags are off.
  EXPECT_EQ(this->Read(With(q, kSecAttrIsInvisible, false)), "v");
  EXPECT_EQ(this->Read(With(q, kSecAttrIsNegative, true)), "status -25300");
  // The access control's protection is the item's accessibility.
  EXPECT_EQ(this->Read(With(q, kSecAttrAccessible,
                            std::string(kSecAttrAccessibleWhenUnlockedThisDeviceOnly))),
            "v");
  EXPECT_EQ(this->Read(With(q, kSecAttrAccessible, std::string(kSecAttrAccessibleWhenUnlocked))),
            "status -25300");
  // Access control, use keys and data steer the call and are not matched.
  SecAccessControlRef other = SecAccessControlCreateWithFlags(
      kSecAttrAccessibleAfterFirstUnlock, kSecAccessControlDevicePasscode, &error);
  SecDictionary steering = With(With(With(With(q, kSecAttrAccessControl, other),
                                          kSecUseAuthenticationContext,
                                          std::make_shared<LAContext>()),
                                     kSecUseAuthenticationUI, std::string("u_AuthUIF")),
                                kSecUseDataProtectionKeychain, true);
  EXPECT_EQ(this->Read(With(steering, kSecValueData, Bytes("not the data"))), "v");

  const SecDictionary attrs = this->Attributes(q);
  EXPECT_EQ(*std::get<SecAccessControlRef>(attrs.at(kSecAttrAccessControl)), *ac);
  EXPECT_EQ(attrs.at(kSecAttrAccessible),
            SecValue(std::string(kSecAttrAccessibleWhenUnlockedThisDeviceOnly)));
}

TYPED_TEST(KeychainRulesTest, MalformedDictionariesAreParamErrors) {
  Keychain& kc = *this->keychain_;
  ASSERT_EQ(kc.Add(Item("a", "s", "v")), errSecSuccess);
  SecDictionary no_class = Query("a", "s");
  no_class.erase(kSecClass);
  SecDictionary bad_class = With(Query("a", "s"), kSecClass, std::string("keys"));
  const SecDictionary bad_queries[] = {
      no_class,
      bad_class,
      With(Query("a", "s"), kSecAttrAccount, true),
      With(Query("a", "s"), kSecAttrSynchronizable, std::string("true")),
      With(Query("a", "s"), kSecReturnData, int64_t{1}),
      With(Query("a", "s"), kSecMatchLimit, std::string("m_LimitSome")),
      With(Query("a", "s"), kSecMatchLimit, int64_t{1}),
      With(Query("a", "s"), kSecAttrAccessible, std::string("always")),
      With(Query("a", "s"), kSecAttrAccessControl, SecAccessControlRef()),
      With(Query("a", "s"), kSecUseAuthenticationContext, LAContextRef()),
      With(Query("a", "s"), "unknown", std::string("x")),
      With(Query("a", "s"), kSecValuePersistentRef, Bytes("not a reference")),
  };
  for (const SecDictionary& q : bad_queries) {
    SecResult result;
    EXPECT_EQ(kc.CopyMatching(q, &result), errSecParam);
    EXPECT_EQ(kc.Delete(q), errSecParam);
    EXPECT_EQ(kc.Update(q, {{kSecValueData, Bytes("x")}}), errSecParam);
    // The same entries make a bad item (under a new name, so no clash decides).
    SecDictionary add = q;
    if (std::holds_alternative<std::string>(add[kSecAttrAccount])) {
      add[kSecAttrAccount] = std::string("fresh");
    }
    EXPECT_EQ(kc.Add(With(add, kSecValueData, Bytes("v"))), errSecParam);
  }
  std::string error;
  SecAccessControlRef ac = SecAccessControlCreateWithFlags(kSecAttrAccessibleWhenUnlocked, 0, &error);
  EXPECT_EQ(kc.Add(With(With(Item("b", "s", "v"), kSecAttrAccessControl, ac), kSecAttrAccessible,
                        std::string(kSecAttrAccessibleWhenUnlocked))),
            errSecParam);
  EXPECT_EQ(kc.Add(With(Item("b", "s", "v"), kSecAttrAccount, SecBytes{1})), errSecParam);
  // Changes cannot name the class or steering keys.
  for (const auto& [key, value] :
       std::vector<std::pair<std::string, SecValue>>{{kSecClass, std::string("genp")},
                                                     {kSecReturnData, true},
                                                     {kSecMatchLimit, std::string(kSecMatchLimitAll)},
                                                     {kSecAttrLabel, int64_t{3}}}) {
    EXPECT_EQ(kc.Update(Query("a", "s"), {{key, value}}), errSecParam) << key;
  }
  EXPECT_EQ(this->Read(Query("a", "s")), "v");
  EXPECT_EQ(this->Read(Query("b", "s")), "status -25300");
}

TYPED_TEST(KeychainRulesTest, UpdateChangesEveryMatchOrNothing) {
  Keychain& kc = *this->keychain_;
  ASSERT_EQ(kc.Add(Item("a", "s", "1")), errSecSuccess);
  ASSERT_EQ(kc.Add(Item("b", "s", "2")), errSecSuccess);
  ASSERT_EQ(kc.Add(Item("b", "t", "3")), errSecSuccess);

  // Return keys and the match limit in the query are ignored.
  SecDictionary q = With(With(Query("a", "s"), kSecReturnData, true), kSecMatchLimit,
                         std::string(kSecMatchLimitAll));
  EXPECT_EQ(kc.Update(q, {{kSecValueData, Bytes("1b")}}), errSecSuccess);
  EXPECT_EQ(this->Read(Query("a", "s")), "1b");
  EXPECT_EQ(kc.Update(Query("x", "s"), {{kSecValueData, Bytes("?")}}), errSecItemNotFound);

  // Every match changes.
  const SecDictionary by_service = ByService("s");
  EXPECT_EQ(kc.Update(by_service, {{kSecAttrLabel, std::string("both")}}), errSecSuccess);
  EXPECT_EQ(this->Read(With(Query("b", "s"), kSecAttrLabel, std::string("both"))), "2");
  EXPECT_EQ(this->Read(With(Query("a", "s"), kSecAttrLabel, std::string("both"))), "1b");

  // Renaming into another item's primary key changes nothing at all.
  EXPECT_EQ(kc.Update(Query("a", "s"), {{kSecAttrAccount, std::string("b")},
                                        {kSecValueData, Bytes("clobber")}}),
            errSecDuplicateItem);
  EXPECT_EQ(kc.Update(by_service, {{kSecAttrService, std::string("t")}}), errSecDuplicateItem);
  EXPECT_EQ(this->Read(Query("a", "s")), "1b");
  EXPECT_EQ(this->Read(Query("b", "s")), "2");
  EXPECT_EQ(this->Read(Query("b", "t")), "3");
  EXPECT_EQ(this->Read(With(Query("a", "t"), kSecAttrLabel, std::string("both"))),
            "status -25300");

  // A rename carries the data along.
  EXPECT_EQ(kc.Update(Query("a", "s"), {{kSecAttrAccount, std::string("z")},
                                        {kSecAttrSynchronizable, true}}),
            errSecSuccess);
  EXPECT_EQ(this->Read(Query("a", "s")), "status -25300");
  EXPECT_EQ(this->Read(With(Query("z", "s"), kSecAttrSynchronizable, true)), "1b");

  // Setting an access control sets the accessibility; setting the
  // accessibility alone drops the access control.
  std::string error;
  SecAccessControlRef ac = SecAccessControlCreateWithFlags(
      kSecAttrAccessibleAfterFirstUnlock, kSecAccessControlUserPresence, &error);
  EXPECT_EQ(kc.Update(Query("b", "s"), {{kSecAttrAccessControl, ac}}), errSecSuccess);
  EXPECT_EQ(this->Attributes(Query("b", "s")).at(kSecAttrAccessible),
            SecValue(std::string(kSecAttrAccessibleAfterFirstUnlock)));
  EXPECT_EQ(kc.Update(Query("b", "s"), {{kSecAttrAccessible, std::string(kSecAttrAccessibleWhenUnlocked)}}),
            errSecSuccess);
  EXPECT_EQ(this->Attributes(Query("b", "s")).count(kSecAttrAccessControl), 0u);
}

TYPED_TEST(KeychainRulesTest, DeleteRemovesEveryMatch) {
  Keychain& kc = *this->keychain_;
  ASSERT_EQ(kc.Add(Item("a", "s", "1")), errSecSuccess);
  ASSERT_EQ(kc.Add(Item("b", "s", "2")), errSecSuccess);
  ASSERT_EQ(kc.Add(With(Item("c", "s", "3"), kSecAttrSynchronizable, true)), errSecSuccess);
  ASSERT_EQ(kc.Add(Item("a", "t", "4")), errSecSuccess);
  const SecDictionary by_service = With(ByService("s"), kSecReturnData, true);
  EXPECT_EQ(kc.Delete(by_service), errSecSuccess);
  EXPECT_EQ(kc.Delete(by_service), errSecItemNotFound);
  EXPECT_EQ(this->Read(Query("b", "s")), "status -25300");
  EXPECT_EQ(this->Read(With(Query("c", "s"), kSecAttrSynchronizable, true)), "3");
  EXPECT_EQ(this->Read(Query("a", "t")), "4");
  // A deleted item's key is free again.
  EXPECT_EQ(kc.Add(Item("a", "s", "again")), errSecSuccess);
  EXPECT_EQ(this->Read(Query("a", "s")), "again");
}

TEST(AccessControlTest, InvalidCombinationsFailWithATextAndValidOnesKeepTheirFlags) {
  std::string error;
  SecAccessControlRef ac = SecAccessControlCreateWithFlags(
      kSecAttrAccessibleWhenUnlocked,
      kSecAccessControlUserPresence | kSecAccessControlOr | kSecAccessControlDevicePasscode,
      &error);
  ASSERT_NE(ac, nullptr);
  EXPECT_EQ(ac->flags, 0x4011u);
  EXPECT_EQ(ac->protection, kSecAttrAccessibleWhenUnlocked);

  struct Case {
    std::string protection;
    SecAccessControlCreateFlags flags;
  } bad[] = {
      {"", kSecAccessControlUserPresence},
      {"unlocked", kSecAccessControlUserPresence},  // a name, not a protection value
      {kSecAttrAccessibleWhenUnlocked, 1u << 2},
      {kSecAttrAccessibleWhenUnlocked, uint64_t{1} << 40},
      {kSecAttrAccessibleWhenUnlocked, kSecAccessControlOr | kSecAccessControlAnd},
  };
  for (const Case& c : bad) {
    error.clear();
    EXPECT_EQ(SecAccessControlCreateWithFlags(c.protection, c.flags, &error), nullptr)
        << c.protection << " " << c.flags;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_EQ(SecAccessControlCreateWithFlags("", 0, nullptr), nullptr);
}

TEST(AccessControlTest, StatusTextsExistOnlyForKnownStatuses) {
  EXPECT_EQ(SecCopyErrorMessageString(errSecItemNotFound),
            "The specified item could not be found in the keychain.");
  for (OSStatus s : {0, -4, -36, -25293, -25308, -26275}) {
    EXPECT_TRUE(SecCopyErrorMessageString(s).has_value()) << s;
  }
  for (OSStatus s : {1, -1, -25301, -34018, -67671}) {
    EXPECT_FALSE(SecCopyErrorMessageString(s).has_value()) << s;
  }
}

TEST(FakeKeychainTest, DamagedItemsAnswerDecodeUntilRewritten) {
  FakeKeychain kc;
  ASSERT_EQ(kc.Add(Item("a", "s", "v")), errSecSuccess);
  ASSERT_EQ(kc.Add(Item("b", "s", "w")), errSecSuccess);
  EXPECT_EQ(kc.DamageItems(Query("a", "s")), 1);
  SecResult result;
  EXPECT_EQ(kc.CopyMatching(With(Query("a", "s"), kSecReturnData, true), &result), errSecDecode);
  EXPECT_EQ(kc.CopyMatching(With(Query("a", "s"), kSecReturnAttributes, true), &result),
            errSecSuccess);
  EXPECT_EQ(kc.CopyMatching(With(Query("b", "s"), kSecReturnData, true), &result), errSecSuccess);
  EXPECT_EQ(kc.Update(Query("a", "s"), {{kSecValueData, Bytes("new")}}), errSecSuccess);
  EXPECT_EQ(kc.CopyMatching(With(Query("a", "s"), kSecReturnData, true), &result), errSecSuccess);
  EXPECT_EQ(std::get<SecBytes>(result), Bytes("new"));
}

}  // namespace
}  // namespace kelvo
