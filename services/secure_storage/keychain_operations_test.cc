// The plain keychain operations against the in-memory keychain, with
// faults injected where the keychain refuses: write's update-or-repair,
// presence of both variants, the status rules of delete, and read-all.
#include <gtest/gtest.h>

#include "platform/keychain/fake_keychain.h"
#include "services/secure_storage/flutter_secure_storage.h"
#include "services/secure_storage/parse_call.h"
#include "services/secure_storage/scripted_keychain_test_util.h"

namespace kelvo {
namespace {

using Params = KeychainQueryParameters;
using Map = FlutterSecureStorageResponse::Map;

Params Record(std::optional<std::string> key, ValueMap options = {{"accountName", "svc"}}) {
  ValueMap arguments{{"options", Value(std::move(options))}};
  if (key) arguments.set("key", *key);
  return parseCall(arguments).params;
}

SecBytes Bytes(std::string_view s) { return SecBytes(s.begin(), s.end()); }

bool Synchronizable(const KeychainItem& item) {
  return std::get<bool>(item.attributes.at(kSecAttrSynchronizable));
}

class OperationsTest : public ::testing::Test {
 protected:
  // Adds an item directly, as another program (or an older version) would.
  void Plant(const std::string& account, SecBytes data, bool synchronizable = false,
             const std::string& service = "svc") {
    ASSERT_EQ(fake_->Add({{kSecClass, std::string(kSecClassGenericPassword)},
                          {kSecAttrAccount, account},
                          {kSecAttrService, service},
                          {kSecAttrSynchronizable, synchronizable},
                          {kSecValueData, std::move(data)}}),
              errSecSuccess);
  }
  std::optional<std::string> Read(const Params& p) {
    FlutterSecureStorageResponse r = storage_.read(p);
    EXPECT_EQ(r.status, errSecSuccess);
    auto* text = std::get_if<std::string>(&r.value);
    return text ? std::optional<std::string>(*text) : std::nullopt;
  }

  std::shared_ptr<FakeKeychain> fake_ = std::make_shared<FakeKeychain>();
  std::shared_ptr<ScriptedKeychain> keychain_ = std::make_shared<ScriptedKeychain>(fake_.get());
  FlutterSecureStorage storage_{keychain_, nullptr};
};

TEST_F(OperationsTest, ItemsAreScopedByService) {
  const std::string text = "contraseña → ✓ \xF0\x9F\x94\x91";
  EXPECT_EQ(storage_.write(Record("k"), text).status, errSecSuccess);
  EXPECT_EQ(storage_.write(Record("k", {{"accountName", "other"}}), "elsewhere").status,
            errSecSuccess);
  EXPECT_EQ(Read(Record("k")), text);
  ASSERT_EQ(fake_->Items().size(), 2u);
  EXPECT_EQ(fake_->Items()[0].data, Bytes(text));  // the UTF-8 bytes, nothing else

  EXPECT_EQ(storage_.deleteItem(Record("k")).status, errSecSuccess);
  EXPECT_EQ(Read(Record("k")), std::nullopt);
  EXPECT_EQ(Read(Record("k", {{"accountName", "other"}})), "elsewhere");
  // Without a service the key names the item of whichever service has it.
  EXPECT_EQ(Read(Record("k", {})), "elsewhere");
  EXPECT_EQ(storage_.write(Record("k", {}), "changed").status, errSecSuccess);
  EXPECT_EQ(Read(Record("k", {{"accountName", "other"}})), "changed");
  EXPECT_EQ(fake_->Items().size(), 1u);

  // Data that are not text read as no value, still with success.
  Plant("binary", {0xFF, 0xFE});
  EXPECT_EQ(Read(Record("binary")), std::nullopt);
}

TEST_F(OperationsTest, WriteUpdatesInPlaceOrStartsAfresh) {
  ASSERT_EQ(storage_.write(Record("k", {{"accountName", "svc"}, {"label", "first"}}), "1").status,
            errSecSuccess);
  EXPECT_EQ(keychain_->adds, 1);
  EXPECT_EQ(storage_.write(Record("k"), "2").status, errSecSuccess);
  EXPECT_EQ(keychain_->updates, 1);
  EXPECT_EQ(keychain_->adds, 1);  // in place: the label stays
  ASSERT_EQ(fake_->Items().size(), 1u);
  EXPECT_EQ(fake_->Items()[0].data, Bytes("2"));
  EXPECT_EQ(fake_->Items()[0].attributes.at(kSecAttrLabel), SecValue(std::string("first")));

  // A refused update: both variants deleted, then a new item.
  keychain_->update_statuses = {errSecAuthFailed};
  EXPECT_EQ(storage_.write(Record("k"), "3").status, errSecSuccess);
  EXPECT_EQ(keychain_->deletes, 2);
  ASSERT_EQ(fake_->Items().size(), 1u);
  EXPECT_EQ(fake_->Items()[0].data, Bytes("3"));
  EXPECT_EQ(fake_->Items()[0].attributes.count(kSecAttrLabel), 0u);

  // Stored as synchronizable, written without saying: the update finds no
  // local item, so the synchronizable one is replaced by a local one.
  fake_->Delete({{kSecClass, std::string(kSecClassGenericPassword)}});
  Plant("k", Bytes("old"), /*synchronizable=*/true);
  EXPECT_EQ(storage_.write(Record("k"), "new").status, errSecSuccess);
  ASSERT_EQ(fake_->Items().size(), 1u);
  EXPECT_FALSE(Synchronizable(fake_->Items()[0]));
  EXPECT_EQ(fake_->Items()[0].data, Bytes("new"));

  // Asked for another accessibility, the presence test does not find the
  // item and the add meets it: the old item stays as it was.
  EXPECT_EQ(storage_.write(Record("k", {{"accountName", "svc"}, {"accessibility", "passcode"}}),
                           "strict")
                .status,
            errSecDuplicateItem);
  ASSERT_EQ(fake_->Items().size(), 1u);
  EXPECT_EQ(fake_->Items()[0].data, Bytes("new"));
}

TEST_F(OperationsTest, WriteReportsTheAddWhenThePresenceTestFails) {
  Plant("k", Bytes("old"));
  keychain_->copy_statuses = {errSecInteractionNotAllowed};
  EXPECT_EQ(storage_.write(Record("k"), "new").status, errSecDuplicateItem);
  EXPECT_EQ(keychain_->updates, 0);
  EXPECT_EQ(fake_->Items()[0].data, Bytes("old"));

  keychain_->add_statuses = {errSecInteractionNotAllowed};
  EXPECT_EQ(storage_.write(Record("fresh"), "v").status, errSecInteractionNotAllowed);
}

TEST_F(OperationsTest, PresenceTestFindsBothVariantsAndReportsFailures) {
  Plant("sync", Bytes("a"), /*synchronizable=*/true);
  Plant("local", Bytes("b"), /*synchronizable=*/false);
  EXPECT_EQ(storage_.containsKey(Record("sync")).value(), true);
  EXPECT_EQ(storage_.containsKey(Record("local")).value(), true);
  EXPECT_EQ(storage_.containsKey(Record("none")).value(), false);
  EXPECT_EQ(storage_.containsKey(Record("local", {{"accountName", "other"}})).value(), false);
  // One search finds either kind, and reads no data.
  keychain_->copies = 0;
  EXPECT_EQ(storage_.containsKey(Record("local")).value(), true);
  EXPECT_EQ(storage_.containsKey(Record("none")).value(), false);
  EXPECT_EQ(keychain_->copies, 2);
  fake_->DamageItems({{kSecClass, std::string(kSecClassGenericPassword)},
                      {kSecAttrAccount, std::string("local")}});
  EXPECT_EQ(storage_.containsKey(Record("local")).value(), true);

  keychain_->copy_statuses = {errSecInteractionNotAllowed};
  SecExpected<bool> failed = storage_.containsKey(Record("local"));
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().status, errSecInteractionNotAllowed);
  EXPECT_EQ(failed.error().message, std::nullopt);

}

TEST_F(OperationsTest, DeleteOfBothVariantsCombinesTheStatuses) {
  struct Case {
    OSStatus s1, s2, want;
  };
  const OSStatus nf = errSecItemNotFound, x = errSecInteractionNotAllowed, y = errSecDecode;
  for (Case c : {Case{nf, nf, 0}, Case{0, nf, 0}, Case{nf, 0, 0}, Case{0, 0, 0}, Case{x, 0, 0},
                 Case{0, x, 0}, Case{nf, x, x}, Case{x, nf, x}, Case{x, y, x}}) {
    keychain_->delete_statuses = {c.s1, c.s2};
    EXPECT_EQ(storage_.performDelete(Record("k"), false).status, c.want)
        << c.s1 << " then " << c.s2;
  }
  // delete stops at a failure of the value item.
  keychain_->delete_statuses = {x, x};
  EXPECT_EQ(storage_.deleteItem(Record("k")).status, x);
}

TEST_F(OperationsTest, DeleteAllRemovesEveryItemOfTheService) {
  EXPECT_EQ(storage_.performDelete(Record(std::nullopt), true).status, errSecSuccess);  // empty
  Plant("a", Bytes("1"));
  Plant("b", Bytes("2"), /*synchronizable=*/true);
  Plant("a", Bytes("3"), false, "other");
  // The key does not narrow it.
  EXPECT_EQ(storage_.performDelete(Record("a"), true).status, errSecSuccess);
  ASSERT_EQ(fake_->Items().size(), 1u);
  EXPECT_EQ(fake_->Items()[0].attributes.at(kSecAttrService), SecValue(std::string("other")));
  // Accessibility and flags of the record do not narrow it either.
  Plant("c", Bytes("4"));
  EXPECT_EQ(storage_
                .performDelete(Record(std::nullopt, {{"accountName", "svc"},
                                                     {"accessibility", "passcode"},
                                                     {"accessControlFlags", "userPresence"}}),
                               true)
                .status,
            errSecSuccess);
  EXPECT_EQ(fake_->Items().size(), 1u);
}

TEST_F(OperationsTest, ReadAllListsTextItemsOfTheService) {
  FlutterSecureStorageResponse r = storage_.readAll(Record(std::nullopt));
  EXPECT_EQ(r.status, errSecSuccess);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(r.value));  // null, not an empty map

  Plant("binary", {0xC3, 0x28});
  r = storage_.readAll(Record(std::nullopt));
  EXPECT_EQ(r.status, errSecSuccess);
  EXPECT_EQ(std::get<Map>(r.value), Map{});  // items, none of them text

  Plant("a", Bytes("1"));
  Plant("b", Bytes("2"));
  Plant("fss.wrapped.a", Bytes("wrapped"));
  Plant("c", Bytes("elsewhere"), false, "other");
  r = storage_.readAll(Record(std::nullopt));
  EXPECT_EQ(std::get<Map>(r.value), (Map{{"a", "1"}, {"b", "2"}}));
  // A key narrows the search to that account.
  r = storage_.readAll(Record("b"));
  EXPECT_EQ(std::get<Map>(r.value), (Map{{"b", "2"}}));
  r = storage_.readAll(Record("missing"));
  EXPECT_EQ(r.status, errSecSuccess);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(r.value));

  // Other statuses come back unchanged.
  fake_->DamageItems({{kSecClass, std::string(kSecClassGenericPassword)}, {kSecAttrAccount, "a"}});
  r = storage_.readAll(Record(std::nullopt));
  EXPECT_EQ(r.status, errSecDecode);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(r.value));
  EXPECT_EQ(storage_.read(Record("a")).status, errSecDecode);
}

TEST_F(OperationsTest, InvalidRecordsNeverReachTheKeychain) {
  Params p = Record("k", {{"isHidden", "true"}, {"isPlaceholder", "true"}});
  EXPECT_EQ(storage_.read(p).status, errSecParam);
  EXPECT_EQ(storage_.write(p, "v").status, errSecParam);
  EXPECT_EQ(storage_.deleteItem(p).status, errSecParam);
  EXPECT_EQ(storage_.readAll(p).status, errSecParam);
  EXPECT_FALSE(storage_.containsKey(p).has_value());
  // Every record asks for data, so a persistent reference is refused
  // wherever the record's own query is used.
  Params ref = Record("k", {{"persistentReference", "true"}});
  EXPECT_EQ(storage_.write(ref, "v").status, errSecParam);
  EXPECT_EQ(storage_.read(ref).status, errSecParam);
  EXPECT_EQ(storage_.containsKey(ref).value(), false);  // asks for no data
  EXPECT_EQ(keychain_->adds + keychain_->updates + keychain_->deletes, 0);
  EXPECT_TRUE(fake_->Items().empty());
}

}  // namespace
}  // namespace kelvo
