#include "services/preferences/shared_preferences_plugin.h"

#include <gtest/gtest.h>

#include <map>

#include "platform/defaults/fake_user_defaults.h"
#include "platform/dispatch/virtual_dispatch.h"
#include "platform/engine/in_process_messenger.h"
#include "platform/engine/testing/test_registrar.h"
#include "services/preferences/messages.h"

namespace kelvo {
namespace {

const std::string kCurrent = "dev.flutter.pigeon.shared_preferences_foundation.UserDefaultsApi.";
const std::string kLegacy =
    "dev.flutter.pigeon.shared_preferences_foundation.LegacyUserDefaultsApi.";

Value Options(std::optional<std::string> suite = std::nullopt) {
  return SharedPreferencesPigeonOptions{std::move(suite)}.ToValue();
}

ValueList Strings(std::initializer_list<const char*> keys) {
  ValueList out;
  for (const char* k : keys) out.emplace_back(k);
  return out;
}

// A reply map's entries by key: maps come back in the store's order.
std::map<std::string, Value> Entries(const Value& map) {
  std::map<std::string, Value> out;
  if (!map.is_map()) return {{"<not a map>", map}};
  for (const auto& [k, v] : map.as_map()) out[k.is_string() ? k.as_string() : "<key>"] = v;
  return out;
}

class PreferencesTest : public ::testing::Test {
 protected:
  PreferencesTest() { SharedPreferencesPlugin::Register(&registrar); }

  // The whole reply list, or null when there was none.
  Value Send(const std::string& channel, const Value& request) {
    const StandardCodec& codec = MessagesPigeonCodec::Instance();
    std::optional<Payload> reply;
    messenger.SendFromInterface(channel, codec.Encode(request), [&](Payload r) { reply = r; });
    dispatch.RunUntilIdle();
    if (!reply || !*reply) return Value();
    Result<Value> decoded = codec.Decode(**reply);
    EXPECT_TRUE(decoded.ok());
    return decoded.ok() ? decoded.value() : Value();
  }
  // The result of a request that must succeed.
  Value Ok(const std::string& channel, ValueList args) {
    Value reply = Send(channel, Value(std::move(args)));
    EXPECT_TRUE(reply.is_list() && reply.as_list().size() == 1) << channel << ": " << reply;
    return reply.is_list() && reply.as_list().size() == 1 ? reply.as_list()[0] : Value("failed");
  }
  // The error of a request that must fail: [code, message, details].
  ValueList Err(const std::string& channel, Value request) {
    Value reply = Send(channel, request);
    EXPECT_TRUE(reply.is_list() && reply.as_list().size() == 3) << channel << ": " << reply;
    return reply.is_list() ? reply.as_list() : ValueList{};
  }
  Value GetAll(std::optional<std::string> suite = std::nullopt, Value allow = Value()) {
    return Ok(kCurrent + "getAll", {allow, Options(suite)});
  }
  Value GetValue(const char* key, std::optional<std::string> suite = std::nullopt) {
    return Ok(kCurrent + "getValue", {key, Options(suite)});
  }
  void Set(const char* key, Value value, std::optional<std::string> suite = std::nullopt) {
    Ok(kCurrent + "set", {key, std::move(value), Options(suite)});
  }

  VirtualDispatch dispatch;
  InProcessMessenger messenger{dispatch.MainQueue()};
  std::shared_ptr<FakeDefaultsControls> controls = std::make_shared<FakeDefaultsControls>();
  std::unique_ptr<UserDefaultsSystem> defaults = MakeInMemoryUserDefaultsSystem(controls);
  testing::TestRegistrar registrar{&messenger, {&dispatch, defaults.get(), DefaultsConfig{}}};
};

TEST_F(PreferencesTest, RegisterSetsUpBothApisOnEveryChannel) {
  for (const auto& name : UserDefaultsApiChannels()) EXPECT_TRUE(messenger.HasNativeHandler(name));
  for (const auto& name : LegacyUserDefaultsApiChannels()) {
    EXPECT_TRUE(messenger.HasNativeHandler(name)) << name;
  }
  EXPECT_EQ(registrar.published.size(), 2u);
}

TEST_F(PreferencesTest, SuitesAreSeparateAndSetReadsBack) {
  ValueList list{Value(1), Value("two"), Value(3.0), Value(true), Value(ValueList{})};
  Set("b", true);
  Set("i", 7);
  Set("d", 0.5);
  Set("s", "x");
  Set("l", list);
  Set("s", "in suite", "com.example.other");
  EXPECT_EQ(Entries(GetAll()), Entries(ValueMap{{"b", true}, {"d", 0.5}, {"i", 7}, {"l", list},
                                                {"s", "x"}}));
  EXPECT_EQ(GetValue("s"), Value("x"));
  EXPECT_EQ(GetValue("s", "com.example.other"), Value("in suite"));
  EXPECT_EQ(GetAll("com.example.other"), Value(ValueMap{{"s", "in suite"}}));
  EXPECT_EQ(Ok(kCurrent + "getKeys", {Value(), Options("com.example.other")}),
            Value(Strings({"s"})));
  EXPECT_EQ(GetValue("missing"), Value());
}

TEST_F(PreferencesTest, IncompatibleValuesAreStoredButNeverRead) {
  Set("map", ValueMap{{"a", 1}});
  Set("bytes", Value::Bytes{1, 2});
  Set("ints", Value::Int32List{1});
  Set("one_bad", ValueList{Value(1), Value(ValueMap{})});
  Set("nested_bad", ValueList{Value(ValueList{Value("a"), Value(Value::Bytes{})})});
  Set("nested_ok", ValueList{Value(ValueList{Value("a")}), Value(ValueList{})});
  for (const char* key : {"map", "bytes", "ints", "one_bad", "nested_bad"}) {
    EXPECT_EQ(GetValue(key), Value()) << key;
  }
  Value nested_ok(ValueList{Value(ValueList{Value("a")}), Value(ValueList{})});
  EXPECT_EQ(GetValue("nested_ok"), nested_ok);
  EXPECT_EQ(GetAll(), Value(ValueMap{{"nested_ok", nested_ok}}));
  EXPECT_EQ(Ok(kCurrent + "getKeys", {Value(), Options()}), Value(Strings({"nested_ok"})));
  EXPECT_EQ(defaults->PersistentDomain("net.kelvo.app")->size(), 6u);  // all stored
}

TEST_F(PreferencesTest, GetValueLooksThroughTheSearchListButGetAllOnlyTheDomain) {
  defaults->GlobalDomain()->Set("global", "g");
  defaults->RegisterDefaults(ValueMap{{"registered", 1}});
  Set("own", "o");
  EXPECT_EQ(GetValue("global"), Value("g"));
  EXPECT_EQ(GetValue("registered"), Value(1));
  EXPECT_EQ(GetValue("global", "com.example.other"), Value("g"));
  EXPECT_EQ(GetAll(), Value(ValueMap{{"own", "o"}}));
  EXPECT_EQ(GetAll("com.example.other"), Value(ValueMap{}));

  // Clearing everything changes only the own domain.
  Ok(kCurrent + "clear", {Value(), Options()});
  EXPECT_EQ(GetAll(), Value(ValueMap{}));
  EXPECT_EQ(GetValue("global"), Value("g"));
  EXPECT_EQ(GetValue("registered"), Value(1));
}

TEST_F(PreferencesTest, AllowListsMatchKeysExactly) {
  Set("a", 1);
  Set("ab", 2);
  Set("map", ValueMap{});
  Value allow(Strings({"a", "map", "nothing"}));
  EXPECT_EQ(GetAll(std::nullopt, allow), Value(ValueMap{{"a", 1}}));
  EXPECT_EQ(Ok(kCurrent + "getKeys", {allow, Options()}), Value(Strings({"a"})));

  Ok(kCurrent + "clear", {Value(ValueList{}), Options()});  // empty: removes nothing
  EXPECT_EQ(GetAll(), Value(ValueMap{{"a", 1}, {"ab", 2}}));
  Ok(kCurrent + "clear", {Value(Strings({"ab", "never"})), Options()});
  EXPECT_EQ(GetAll(), Value(ValueMap{{"a", 1}}));
  Ok(kCurrent + "clear", {Value(), Options()});  // null: removes every key, incompatible too
  EXPECT_EQ(defaults->PersistentDomain("net.kelvo.app"), ValueMap{});
}

TEST_F(PreferencesTest, RefusedSuiteNameFailsEveryCurrentMethod) {
  auto expect_refused = [&](const std::string& suite) {
    ValueList expected{"Argument Error", "The provided Suite Name '" + suite + "' does not exist",
                       ""};
    Value o = Options(suite);
    EXPECT_EQ(Err(kCurrent + "set", Value(ValueList{"k", 1, o})), expected) << suite;
    EXPECT_EQ(Err(kCurrent + "clear", Value(ValueList{Value(), o})), expected) << suite;
    EXPECT_EQ(Err(kCurrent + "getAll", Value(ValueList{Value(), o})), expected) << suite;
    EXPECT_EQ(Err(kCurrent + "getValue", Value(ValueList{"k", o})), expected) << suite;
    EXPECT_EQ(Err(kCurrent + "getKeys", Value(ValueList{Value(), o})), expected) << suite;
  };
  for (const char* suite : {"", "NSGlobalDomain", "net.kelvo.app", "a/b"}) expect_refused(suite);

  // A suite the store cannot open right now (App Group root missing).
  controls->suites_available = false;
  expect_refused("group.net.kelvo.app");
  EXPECT_EQ(defaults->PersistentDomain("net.kelvo.app"), std::nullopt);  // nothing written
}

TEST_F(PreferencesTest, LegacyApiWorksOnTheStandardDomainByPrefix) {
  Ok(kLegacy + "setBool", {"flutter.b", true});
  Ok(kLegacy + "setDouble", {"flutter.d", 2.5});
  Ok(kLegacy + "setValue", {"flutter.l", ValueList{Value("x")}});
  Ok(kLegacy + "setValue", {"flutter.map", ValueMap{{"a", 1}}});
  Ok(kLegacy + "setValue", {"Flutter.upper", 1});
  Set("other", "o");  // the current API's standard store is the same domain
  defaults->GlobalDomain()->Set("flutter.global", 1);

  ValueMap flutter{{"flutter.b", true}, {"flutter.d", 2.5}, {"flutter.l", ValueList{Value("x")}}};
  EXPECT_EQ(Entries(Ok(kLegacy + "getAll", {"flutter.", Value()})), Entries(flutter));
  EXPECT_EQ(Ok(kLegacy + "getAll", {"flutter.", Value(Strings({"flutter.d", "other"}))}),
            Value(ValueMap{{"flutter.d", 2.5}}));
  EXPECT_EQ(Ok(kLegacy + "getAll", {"", Value()}).as_map().size(), 5u);

  Ok(kLegacy + "remove", {"flutter.b"});
  Ok(kLegacy + "remove", {"never.stored"});
  EXPECT_EQ(GetValue("flutter.b"), Value());

  // Prefix "" and no allow list: every compatible entry goes, the map stays.
  EXPECT_EQ(Ok(kLegacy + "clear", {"", Value()}), Value(true));
  EXPECT_EQ(defaults->PersistentDomain("net.kelvo.app"),
            (ValueMap{{"flutter.map", ValueMap{{"a", 1}}}}));
  EXPECT_EQ(GetValue("flutter.global"), Value(1));
  EXPECT_EQ(Ok(kLegacy + "clear", {"", Value()}), Value(true));  // nothing left to remove
}

TEST_F(PreferencesTest, RequestsOfTheWrongShapeGetAnErrorReply) {
  Value record_bad_payload = Value::Custom(kSharedPreferencesPigeonOptionsTag, Value(5));
  Value record_empty = Value::Custom(kSharedPreferencesPigeonOptionsTag, Value(ValueList{}));
  const std::vector<std::pair<std::string, Value>> cases = {
      {kCurrent + "set", Value("not a list")},
      {kCurrent + "set", Value(ValueList{})},
      {kCurrent + "set", Value(ValueList{"k", 1})},
      {kCurrent + "set", Value(ValueList{"k", Value(), Options()})},
      {kCurrent + "set", Value(ValueList{1, 1, Options()})},
      {kCurrent + "set", Value(ValueList{"k", Options(), Options()})},
      {kCurrent + "set", Value(ValueList{"k", 1, Value()})},
      {kCurrent + "set", Value(ValueList{"k", 1, "suite"})},
      {kCurrent + "set", Value(ValueList{"k", 1, record_bad_payload})},
      {kCurrent + "set", Value(ValueList{"k", 1, record_empty})},
      {kCurrent + "set", Value(ValueList{"k", 1, Value::Custom(130, Value(ValueList{Value()}))})},
      {kCurrent + "set", Value(ValueList{"k", ValueList{Options()}, Options()})},
      {kCurrent + "clear", Value(ValueList{"a", Options()})},
      {kCurrent + "getAll", Value(ValueList{Value(ValueList{1}), Options()})},
      {kCurrent + "getValue", Value(ValueList{Value(), Options()})},
      {kCurrent + "getKeys", Value(ValueList{Value()})},
      {kLegacy + "remove", Value()},
      {kLegacy + "setBool", Value(ValueList{"k", 1})},
      {kLegacy + "setDouble", Value(ValueList{"k", 1})},
      {kLegacy + "setValue", Value(ValueList{"k", Value()})},
      {kLegacy + "getAll", Value(ValueList{Value(), Value()})},
      {kLegacy + "clear", Value(ValueList{""})},
  };
  for (const auto& [channel, request] : cases) {
    ValueList error = Err(channel, request);
    EXPECT_TRUE(!error.empty() && error[0] == Value("bad-request")) << channel << " " << request;
  }
  EXPECT_EQ(defaults->PersistentDomain("net.kelvo.app"), std::nullopt);  // nothing stored
}

TEST_F(PreferencesTest, WritesTheStoreDidNotMakeAreErrors) {
  controls->writes_fail = true;
  ValueList set_error = Err(kCurrent + "set", Value(ValueList{"k", 1, Options()}));
  ASSERT_EQ(set_error.size(), 3u);
  EXPECT_EQ(set_error[0], Value("Storage Error"));
  EXPECT_EQ(Err(kLegacy + "setBool", Value(ValueList{"k", true}))[0], Value("Storage Error"));
}

}  // namespace
}  // namespace kelvo
