#include "services/preferences/messages.h"

#include <gtest/gtest.h>

#include "services/preferences/user_defaults_api.h"

namespace kelvo {
namespace {

const StandardCodec& Codec() { return MessagesPigeonCodec::Instance(); }

TEST(MessagesPigeonCodecTest, OptionsAreTag129AndTheirFieldList) {
  SharedPreferencesPigeonOptions none;
  EXPECT_EQ(Codec().Encode(none.ToValue()), (std::vector<uint8_t>{129, 12, 1, 0}));
  SharedPreferencesPigeonOptions suite{"s.x"};
  EXPECT_EQ(Codec().Encode(suite.ToValue()),
            (std::vector<uint8_t>{129, 12, 1, 7, 3, 's', '.', 'x'}));

  // Nested in a request and back.
  Value request(ValueList{Value("k"), Value(1.5), suite.ToValue()});
  Result<Value> decoded = Codec().Decode(Codec().Encode(request));
  ASSERT_TRUE(decoded.ok()) << decoded.error().message;
  EXPECT_EQ(decoded.value(), request);
  EXPECT_EQ(SharedPreferencesPigeonOptions::FromValue(decoded.value().as_list()[2]), suite);
  EXPECT_EQ(&MessagesPigeonCodec::Instance(), &MessagesPigeonCodec::Instance());
}

TEST(MessagesPigeonCodecTest, ReadsLenientlySoHandlersCanRefuse) {
  EXPECT_FALSE(Codec().Decode(std::vector<uint8_t>{129}).ok());  // truncated
  Result<Value> other = Codec().Decode(std::vector<uint8_t>{130, 12, 1, 0});
  ASSERT_TRUE(other.ok());
  EXPECT_EQ(SharedPreferencesPigeonOptions::FromValue(other.value()), std::nullopt);

  // A record of the wrong shape still decodes; the handler refuses it.
  Result<Value> odd = Codec().Decode(std::vector<uint8_t>{129, 3, 5, 0, 0, 0});
  ASSERT_TRUE(odd.ok());
  EXPECT_EQ(SharedPreferencesPigeonOptions::FromValue(odd.value()), std::nullopt);
}

TEST(PreferencesChannelsTest, NamesFollowTheTypedMessageConvention) {
  const std::string base = "dev.flutter.pigeon.shared_preferences_foundation.";
  EXPECT_EQ(UserDefaultsApiChannels(),
            (std::vector<std::string>{base + "UserDefaultsApi.set", base + "UserDefaultsApi.clear",
                                      base + "UserDefaultsApi.getAll",
                                      base + "UserDefaultsApi.getValue",
                                      base + "UserDefaultsApi.getKeys"}));
  std::vector<std::string> legacy;
  for (const char* m : {"remove", "setBool", "setDouble", "setValue", "getAll", "clear"}) {
    legacy.push_back(base + "LegacyUserDefaultsApi." + m);
  }
  EXPECT_EQ(LegacyUserDefaultsApiChannels(), legacy);
  EXPECT_EQ(UserDefaultsApiChannels("two")[0], base + "UserDefaultsApi.set.two");
}

}  // namespace
}  // namespace kelvo
