// The preferences service inside a real `kelvo`, reached over the engine
// socket as the user interface reaches it: values survive a restart of the
// host because the store is on disk.
#include <gtest/gtest.h>
#include <signal.h>

#include "host/testing/kelvo_process.h"
#include "services/preferences/messages.h"

namespace kelvo {
namespace {

using testing::HostEnvironment;
using testing::KelvoProcess;

const std::string kCurrent = "dev.flutter.pigeon.shared_preferences_foundation.UserDefaultsApi.";
const std::string kLegacy =
    "dev.flutter.pigeon.shared_preferences_foundation.LegacyUserDefaultsApi.";

// The reply list of one typed message, or a string saying why there is none.
Value Send(KelvoProcess& kelvo, const std::string& channel, const ValueList& args) {
  const StandardCodec& codec = MessagesPigeonCodec::Instance();
  EngineCallResult r =
      kelvo.client().SendAndWait(channel, codec.Encode(Value(args)), std::chrono::seconds(10));
  if (!r.ok()) return Value("transport: " + *r.error);
  if (!r.reply) return Value("no handler");
  Result<Value> decoded = codec.Decode(*r.reply);
  return decoded.ok() ? decoded.value() : Value("undecodable");
}

Value Options(std::optional<std::string> suite = std::nullopt) {
  return SharedPreferencesPigeonOptions{std::move(suite)}.ToValue();
}

TEST(PreferencesProcessTest, ValuesSurviveARestartOfTheHost) {
  HostEnvironment env;
  ValueList list{Value("a"), Value(2)};
  {
    KelvoProcess kelvo(env);
    ASSERT_EQ(kelvo.Start(), std::nullopt);
    EXPECT_EQ(Send(kelvo, kCurrent + "set", {"flutter.theme", "dark", Options()}),
              Value(ValueList{Value()}));
    EXPECT_EQ(Send(kelvo, kCurrent + "set", {"flutter.list", list, Options("com.example.prefs")}),
              Value(ValueList{Value()}));
    EXPECT_EQ(Send(kelvo, kCurrent + "getAll", {Value(), Options()}),
              Value(ValueList{Value(ValueMap{{"flutter.theme", "dark"}})}));
    EXPECT_EQ(Send(kelvo, kCurrent + "getValue", {"k", Options("NSGlobalDomain")}),
              Value(ValueList{"Argument Error",
                              "The provided Suite Name 'NSGlobalDomain' does not exist", ""}));
    EXPECT_EQ(kelvo.Stop(SIGTERM), 0);
  }
  KelvoProcess kelvo(env);
  ASSERT_EQ(kelvo.Start(), std::nullopt);
  EXPECT_EQ(Send(kelvo, kCurrent + "getValue", {"flutter.theme", Options()}),
            Value(ValueList{Value("dark")}));
  EXPECT_EQ(Send(kelvo, kCurrent + "getValue", {"flutter.list", Options("com.example.prefs")}),
            Value(ValueList{Value(list)}));
  EXPECT_EQ(Send(kelvo, kLegacy + "getAll", {"flutter.", Value()}),
            Value(ValueList{Value(ValueMap{{"flutter.theme", "dark"}})}));
  EXPECT_EQ(kelvo.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace kelvo
