#include "services/url_launcher/url_launcher_messages.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

using Bytes = std::vector<uint8_t>;

std::optional<UrlLauncherBoolResult> ReadBack(const Bytes& bytes) {
  Result<Value> decoded = UrlLauncherCodec().Decode(bytes);
  if (!decoded.ok()) return std::nullopt;
  return UrlLauncherBoolResult::FromValue(decoded.value());
}

TEST(UrlLauncherCodecTest, ResultsRoundTripOnTheWire) {
  const UrlLauncherBoolResult ok{true, std::nullopt};
  const UrlLauncherBoolResult invalid{false, UrlLauncherError::kInvalidUrl};
  // 130, list of 2, true, null.
  const Bytes ok_bytes = {130, 12, 2, 1, 0};
  // 130, list of 2, false, 129 int32 0.
  const Bytes invalid_bytes = {130, 12, 2, 2, 129, 3, 0, 0, 0, 0};
  EXPECT_EQ(UrlLauncherCodec().Encode(ok.ToValue()), ok_bytes);
  EXPECT_EQ(UrlLauncherCodec().Encode(invalid.ToValue()), invalid_bytes);
  EXPECT_EQ(ReadBack(ok_bytes), ok);
  EXPECT_EQ(ReadBack(invalid_bytes), invalid);
  // As a typed reply: the one-element list around the record.
  Value reply(ValueList{invalid.ToValue()});
  Result<Value> decoded = UrlLauncherCodec().Decode(UrlLauncherCodec().Encode(reply));
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded.value(), reply);
  // Standard values are untouched by the extension.
  Value plain(ValueMap{{"url", "https://kelvo.net"}, {"n", 3}});
  EXPECT_EQ(UrlLauncherCodec().Encode(plain), StandardCodec::Instance().Encode(plain));
}

TEST(UrlLauncherCodecTest, ReadsUnknownErrorCodesAsNoError) {
  EXPECT_EQ(ReadBack({130, 12, 2, 1, 129, 3, 7, 0, 0, 0}),
            (UrlLauncherBoolResult{true, std::nullopt}));
  Result<Value> bare = UrlLauncherCodec().Decode(Bytes{129, 3, 0, 0, 0, 0});
  ASSERT_TRUE(bare.ok());
  EXPECT_EQ(bare.value(), UrlLauncherErrorToValue(UrlLauncherError::kInvalidUrl));
}

TEST(UrlLauncherCodecTest, RefusesMalformedRecordsAndUnknownTags) {
  for (const Bytes& bytes : {
           Bytes{129, 7, 1, 'x'},                // error that is not an integer
           Bytes{130, 12, 2, 3, 1, 0, 0, 0, 0},  // value that is not a bool
           Bytes{130, 12, 1, 1},                 // one field
           Bytes{130, 12, 2, 1, 7, 1, 'e'},      // error field of another type
           Bytes{130, 1},                        // not a list
           Bytes{131, 0},                        // not one of ours
           Bytes{130, 12},                       // truncated
       }) {
    Result<Value> decoded = UrlLauncherCodec().Decode(bytes);
    EXPECT_FALSE(decoded.ok()) << decoded.value().DebugString();
  }
  // A hand-made value of the wrong shape is no result.
  EXPECT_EQ(UrlLauncherBoolResult::FromValue(Value::Custom(130, Value(ValueList{true}))),
            std::nullopt);
  EXPECT_EQ(UrlLauncherBoolResult::FromValue(Value(ValueList{true, Value()})), std::nullopt);
}

}  // namespace
}  // namespace kelvo
