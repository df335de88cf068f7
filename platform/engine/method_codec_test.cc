#include "platform/engine/method_codec.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

const MethodCodec& C() { return MethodCodec::Standard(); }

TEST(MethodCodecTest, CallsRoundTrip) {
  MethodCall call{"write", Value(ValueMap{{Value("key"), Value("k")}})};
  auto bytes = C().EncodeMethodCall(call);
  EXPECT_EQ((std::vector<uint8_t>{bytes.begin(), bytes.begin() + 7}),
            (std::vector<uint8_t>{7, 5, 'w', 'r', 'i', 't', 'e'}));
  auto back = C().DecodeMethodCall(bytes);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value().method, "write");
  EXPECT_EQ(back.value().arguments, call.arguments);

  EXPECT_FALSE(C().DecodeMethodCall(std::vector<uint8_t>{3, 1, 0, 0, 0, 0}).ok());  // name not string
  EXPECT_FALSE(C().DecodeMethodCall(std::vector<uint8_t>{7, 1, 'a'}).ok());        // no arguments
}

TEST(MethodCodecTest, EnvelopesRoundTrip) {
  auto ok = C().DecodeEnvelope(C().EncodeSuccessEnvelope(Value(3)));
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(std::get<Value>(ok.value()), Value(3));

  FlutterError err{"BAD_ARGS", std::nullopt, Value(ValueList{Value(1)})};
  auto bytes = C().EncodeErrorEnvelope(err);
  EXPECT_EQ((std::vector<uint8_t>{bytes.begin(), bytes.begin() + 2}), (std::vector<uint8_t>{1, 7}));
  auto back = C().DecodeEnvelope(bytes);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(std::get<FlutterError>(back.value()), err);
}

TEST(MethodCodecTest, ErrorEnvelopeMayCarryAStackTrace) {
  auto bytes = C().EncodeErrorEnvelope({"E", std::string("m"), Value()});
  auto with_trace = bytes;
  with_trace.insert(with_trace.end(), {7, 2, 'a', 't'});
  auto back = C().DecodeEnvelope(with_trace);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(std::get<FlutterError>(back.value()).message, "m");

  with_trace.push_back(0);
  EXPECT_FALSE(C().DecodeEnvelope(with_trace).ok());
  EXPECT_FALSE(C().DecodeEnvelope(std::vector<uint8_t>{2, 0}).ok());
  EXPECT_FALSE(C().DecodeEnvelope(std::vector<uint8_t>{}).ok());
  EXPECT_FALSE(C().DecodeEnvelope(std::vector<uint8_t>{1, 3, 0, 0, 0, 0, 0, 0}).ok());  // code not a string
}

}  // namespace
}  // namespace kelvo
