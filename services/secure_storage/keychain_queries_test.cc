// From channel arguments to keychain queries: option parsing, the
// accessibility and flag vocabularies, the base query's access rules,
// validation, and reading stored bytes as text.
#include <gtest/gtest.h>

#include "platform/keychain/fake_keychain.h"
#include "services/secure_storage/flutter_secure_storage.h"
#include "services/secure_storage/parse_call.h"
#include "services/secure_storage/utf8_text.h"

namespace kelvo {
namespace {

using Params = KeychainQueryParameters;

ParsedCall Parse(ValueMap options, ValueMap extra = {}) {
  ValueMap arguments = std::move(extra);
  arguments.set("options", Value(std::move(options)));
  return parseCall(arguments);
}

TEST(ParseCallTest, ArgumentsOfTheWrongTypeCountAsAbsent) {
  ParsedCall p = parseCall(ValueMap{{"key", "k"}, {"value", "v"}});
  EXPECT_EQ(p.params.key, "k");
  EXPECT_EQ(p.value, "v");
  EXPECT_EQ(p.params.shouldReturnData, true);
  EXPECT_TRUE(p.params.usesDataProtectionKeychain);  // no options at all

  p = parseCall(ValueMap{{"key", 7}, {"value", Value(ValueList{Value("v")})}});
  EXPECT_EQ(p.params.key, std::nullopt);
  EXPECT_EQ(p.value, std::nullopt);

  // Options as a list, or a non-string option value, count as nothing.
  p = parseCall(ValueMap{{"options", Value(ValueList{Value("accountName"), Value("svc")})}});
  EXPECT_EQ(p.params.service, std::nullopt);
  p = Parse({{"accountName", 5}, {"synchronizable", true}, {"useSecureEnclave", true}});
  EXPECT_EQ(p.params.service, std::nullopt);
  EXPECT_EQ(p.params.isSynchronizable, std::nullopt);
  EXPECT_EQ(p.params.useSecureEnclave, std::nullopt);
  EXPECT_EQ(p.params.authenticationContext, nullptr);

  // Only maps whose keys are all strings are arguments.
  EXPECT_NE(StringKeyedArguments(Value(ValueMap{{"key", "k"}})), nullptr);
  EXPECT_NE(StringKeyedArguments(Value(ValueMap{})), nullptr);
  EXPECT_EQ(StringKeyedArguments(Value(ValueMap{{"key", "k"}, {1, "x"}})), nullptr);
  EXPECT_EQ(StringKeyedArguments(Value()), nullptr);
  EXPECT_EQ(StringKeyedArguments(Value(ValueList{Value("key")})), nullptr);
}

TEST(ParseCallTest, TriStatesAndTheDataProtectionSwitch) {
  auto sync = [](const char* s) { return Parse({{"synchronizable", s}}).params.isSynchronizable; };
  EXPECT_EQ(sync("true"), true);
  EXPECT_EQ(sync("false"), false);
  EXPECT_EQ(sync("TRUE"), std::nullopt);
  EXPECT_EQ(sync("1"), std::nullopt);
  EXPECT_EQ(sync(""), std::nullopt);

  auto dp = [](const char* s) {
    return Parse({{"usesDataProtectionKeychain", s}}).params.usesDataProtectionKeychain;
  };
  EXPECT_FALSE(dp("false"));
  EXPECT_TRUE(dp("False"));
  EXPECT_TRUE(dp("FALSE"));
  EXPECT_TRUE(dp("no"));
  EXPECT_TRUE(dp("true"));
  EXPECT_TRUE(Parse({{"usesDataProtectionKeychain", false}}).params.usesDataProtectionKeychain);

  // The enclave flag brings an authentication context reused for 30 s.
  Params enclave = Parse({{"useSecureEnclave", "true"}}).params;
  EXPECT_EQ(enclave.useSecureEnclave, true);
  ASSERT_NE(enclave.authenticationContext, nullptr);
  EXPECT_EQ(enclave.authenticationContext->touchIDAuthenticationAllowableReuseDuration, 30);
  EXPECT_EQ(Parse({{"useSecureEnclave", "false"}}).params.authenticationContext, nullptr);
}

TEST(VocabularyTest, AccessibilityNamesAndFlagLists) {
  auto attr = [](std::optional<std::string> name) {
    return FlutterSecureStorage::parseAccessibleAttr(name);
  };
  EXPECT_EQ(attr("passcode"), kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly);
  // Exact names only; anything else is the default.
  EXPECT_EQ(attr("Passcode"), kSecAttrAccessibleWhenUnlocked);
  EXPECT_EQ(attr(std::nullopt), kSecAttrAccessibleWhenUnlocked);

  auto flags = [](std::optional<std::string> list) {
    return FlutterSecureStorage::parseAccessControlFlags(list);
  };
  EXPECT_EQ(flags("[userPresence, or, devicePasscode]"), 0x4011u);
  EXPECT_EQ(flags(std::nullopt), 0u);
  EXPECT_EQ(flags(""), 0u);
  EXPECT_EQ(flags(",,  ,[],"), 0u);
  EXPECT_EQ(flags("biometryAny,biometryCurrentSet"), 0xAu);
  EXPECT_EQ(flags(" [and] ,privateKeyUsage"), 0x8000u | 0x40000000u);  // spaces, then brackets
  EXPECT_EQ(flags("applicationPassword]"), 0x80000000u);
  EXPECT_EQ(flags("[userPresence,userPresence]"), 1u);
  // Exact and case-sensitive; unknown tokens add nothing.
  EXPECT_EQ(flags("UserPresence, touchID, user Presence"), 0u);
  // Brackets inside spaces are not trimmed past the space.
  EXPECT_EQ(flags("[ userPresence ]"), 0u);
}

class BaseQueryTest : public ::testing::Test {
 protected:
  SecDictionary Query(const Params& p) {
    SecExpected<SecDictionary> q = storage_.baseQuery(p);
    EXPECT_TRUE(q.has_value()) << (q.has_value() ? "" : q.error().message.value_or(""));
    return q.has_value() ? q.value() : SecDictionary{};
  }
  static SecAccessControlRef AccessControl(const SecDictionary& q) {
    auto it = q.find(kSecAttrAccessControl);
    return it == q.end() ? nullptr : std::get<SecAccessControlRef>(it->second);
  }

  std::vector<std::string> printed_;
  FlutterSecureStorage storage_{std::make_shared<FakeKeychain>(), nullptr,
                                [this](const std::string& line) { printed_.push_back(line); }};
};

TEST_F(BaseQueryTest, CarriesTheGivenFieldsButNotTheGroup) {
  Params bare;
  bare.usesDataProtectionKeychain = false;
  EXPECT_EQ(Query(bare), (SecDictionary{{kSecClass, std::string(kSecClassGenericPassword)}}));

  // Flags given as the texts "true"/"false" reach the query as booleans.
  Params p = Parse({{"accountName", "svc"},
                    {"groupId", "group.x"},
                    {"isHidden", "false"},
                    {"isPlaceholder", "true"}},
                   {{"key", "k"}})
                 .params;
  SecDictionary q = Query(p);
  EXPECT_EQ(q.at(kSecAttrAccount), SecValue(std::string("k")));
  EXPECT_EQ(q.at(kSecAttrService), SecValue(std::string("svc")));
  EXPECT_EQ(q.at(kSecAttrIsInvisible), SecValue(false));
  EXPECT_EQ(q.at(kSecAttrIsNegative), SecValue(true));
  EXPECT_EQ(q.count(kSecAttrAccessGroup), 0u);
}

TEST_F(BaseQueryTest, AccessControlAccessibilityAndSynchronizable) {
  // Flags and a name: access control only, no accessibility, no sync.
  Params p = Parse({{"accessibility", "passcode"},
                    {"accessControlFlags", "[userPresence, or, devicePasscode]"},
                    {"synchronizable", "true"}})
                 .params;
  SecDictionary q = Query(p);
  ASSERT_NE(AccessControl(q), nullptr);
  EXPECT_EQ(*AccessControl(q),
            (SecAccessControl{kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly, 0x4011}));
  EXPECT_EQ(q.count(kSecAttrAccessible), 0u);
  EXPECT_EQ(q.count(kSecAttrSynchronizable), 0u);

  // Flags without a name: no access control, no accessibility; sync applies.
  p = Parse({{"accessControlFlags", "userPresence"}, {"synchronizable", "false"}}).params;
  q = Query(p);
  EXPECT_EQ(AccessControl(q), nullptr);
  EXPECT_EQ(q.count(kSecAttrAccessible), 0u);
  EXPECT_EQ(q.at(kSecAttrSynchronizable), SecValue(false));

  // A name and empty flags: the accessibility attribute.
  p = Parse({{"accessibility", "bogus"}, {"accessControlFlags", ""}}).params;
  q = Query(p);
  EXPECT_EQ(q.at(kSecAttrAccessible), SecValue(std::string(kSecAttrAccessibleWhenUnlocked)));

  // A refused combination is printed and falls back to the accessibility
  // attribute and the synchronizable flag.
  p = Parse({{"accessibility", "first_unlock"},
             {"accessControlFlags", "userPresence,or,and"},
             {"synchronizable", "true"}})
          .params;
  q = Query(p);
  EXPECT_EQ(AccessControl(q), nullptr);
  EXPECT_EQ(q.at(kSecAttrAccessible), SecValue(std::string(kSecAttrAccessibleAfterFirstUnlock)));
  EXPECT_EQ(q.at(kSecAttrSynchronizable), SecValue(true));
  ASSERT_EQ(printed_.size(), 1u);
  EXPECT_TRUE(printed_[0].starts_with("Error creating access control: ")) << printed_[0];
  EXPECT_GT(printed_[0].size(), std::string("Error creating access control: ").size());
}

TEST_F(BaseQueryTest, EnclaveValuesAskForUserPresenceAndAreNeverSynchronizable) {
  Params p = Parse({{"useSecureEnclave", "true"},
                    {"accessibility", "unlocked_this_device"},
                    {"synchronizable", "true"}})
                 .params;
  SecDictionary q = Query(p);
  ASSERT_NE(AccessControl(q), nullptr);
  EXPECT_EQ(*AccessControl(q), (SecAccessControl{kSecAttrAccessibleWhenUnlockedThisDeviceOnly,
                                                 kSecAccessControlUserPresence}));
  EXPECT_EQ(q.count(kSecAttrSynchronizable), 0u);

  // Given flags win over the default.
  p.accessControlFlags = "devicePasscode";
  EXPECT_EQ(AccessControl(Query(p))->flags, kSecAccessControlDevicePasscode);

  // Without an accessibility name there is no access control, and still
  // no synchronizable attribute.
  p = Parse({{"useSecureEnclave", "true"}, {"synchronizable", "false"}}).params;
  q = Query(p);
  EXPECT_EQ(AccessControl(q), nullptr);
  EXPECT_EQ(q.count(kSecAttrAccessible), 0u);
  EXPECT_EQ(q.count(kSecAttrSynchronizable), 0u);
  EXPECT_TRUE(printed_.empty());
}

TEST_F(BaseQueryTest, ValidationRefusesContradictions) {
  Params p;
  p.isHidden = true;
  p.isPlaceholder = true;
  p.shouldReturnPersistentReference = true;
  p.shouldReturnData = true;
  SecExpected<SecDictionary> q = storage_.baseQuery(p);
  ASSERT_FALSE(q.has_value());
  EXPECT_EQ(q.error().status, -50);
  EXPECT_EQ(q.error().message,
            "Cannot use both kSecAttrIsInvisible and kSecAttrIsNegative together.");

  p.isPlaceholder = false;
  q = storage_.baseQuery(p);
  ASSERT_FALSE(q.has_value());
  EXPECT_EQ(q.error().status, -50);
  EXPECT_EQ(q.error().message, "Cannot use kSecReturnPersistentRef and kSecReturnData together.");

  p.shouldReturnData = false;
  EXPECT_TRUE(storage_.baseQuery(p).has_value());
  EXPECT_EQ(FlutterSecureStorage::validateQueryParameters(p), std::nullopt);
}

TEST(Utf8TextTest, OnlyValidTextDecodes) {
  auto decode = [](std::initializer_list<uint8_t> bytes) {
    std::vector<uint8_t> v(bytes);
    return DecodeUtf8Text(v);
  };
  EXPECT_EQ(decode({}), "");
  EXPECT_EQ(decode({'a', 0xC3, 0xA1, 0xE2, 0x86, 0x92, 0xF0, 0x9F, 0x94, 0x91}),
            "a\xC3\xA1\xE2\x86\x92\xF0\x9F\x94\x91");
  EXPECT_EQ(decode({0x00, 'x'}), std::string("\0x", 2));
  EXPECT_EQ(decode({0xC3}), std::nullopt);                    // truncated
  EXPECT_EQ(decode({0xC0, 0xAF}), std::nullopt);              // overlong
  EXPECT_EQ(decode({0xED, 0xA0, 0x80}), std::nullopt);        // surrogate
  EXPECT_EQ(decode({0xF4, 0x90, 0x80, 0x80}), std::nullopt);  // above U+10FFFF
  EXPECT_EQ(decode({0xFF}), std::nullopt);
  EXPECT_EQ(decode({0xE2, 0x28, 0xA1}), std::nullopt);  // bad continuation
}

}  // namespace
}  // namespace kelvo
