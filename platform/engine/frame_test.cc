#include "platform/engine/frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "platform/engine/standard_codec.h"

namespace kelvo {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes WithHeader(const Bytes& body) {
  Bytes out(4 + body.size());
  uint32_t n = static_cast<uint32_t>(body.size());
  std::memcpy(out.data(), &n, 4);
  std::copy(body.begin(), body.end(), out.begin() + 4);
  return out;
}

Bytes Header(uint32_t n) {
  Bytes out(4);
  std::memcpy(out.data(), &n, 4);
  return out;
}

Bytes EncodedList(ValueList items) {
  return StandardCodec::Instance().Encode(Value(std::move(items)));
}

std::vector<Frame> SampleFrames() {
  return {
      Frame{FrameKind::kMessage, 7, "dev.flutter.pigeon.x.y", Payload(Bytes{1, 2, 3})},
      Frame{FrameKind::kReply, int64_t{1} << 40, "", std::nullopt},
      Frame{FrameKind::kMessage, -1, "é → ✓", Payload(Bytes(300, 0xab))},
  };
}

TEST(FrameTest, EncodesTheStandardCodecList) {
  for (const Frame& f : SampleFrames()) {
    Value data = f.data ? Value(*f.data) : Value();
    Bytes expected = WithHeader(EncodedList(
        {Value(static_cast<int64_t>(f.kind)), Value(f.id), Value(f.channel), data}));
    EXPECT_EQ(EncodeFrame(f), expected) << f.channel;
  }
}

TEST(FrameTest, ReadsFramesSplitAtEveryByteBoundary) {
  Bytes stream;
  for (const Frame& f : SampleFrames()) AppendFrame(f, &stream);
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    FrameReader reader;
    std::vector<Frame> got;
    ASSERT_TRUE(reader.Feed(std::span(stream).first(cut), &got));
    ASSERT_TRUE(reader.Feed(std::span(stream).subspan(cut), &got)) << reader.error();
    ASSERT_EQ(got, SampleFrames()) << "cut at " << cut;
    EXPECT_EQ(reader.buffered(), 0u);
  }
  // One byte at a time, and everything in one chunk.
  FrameReader bytewise;
  std::vector<Frame> got;
  for (uint8_t b : stream) ASSERT_TRUE(bytewise.Feed(std::span(&b, 1), &got));
  EXPECT_EQ(got, SampleFrames());
  FrameReader whole;
  got.clear();
  ASSERT_TRUE(whole.Feed(stream, &got));
  EXPECT_EQ(got, SampleFrames());
}

TEST(FrameTest, LengthLimitIsCheckedFromTheHeaderAlone) {
  // Exactly the limit is allowed and buffered only as the body arrives.
  FrameReader at_limit;
  std::vector<Frame> got;
  Bytes start = Header(static_cast<uint32_t>(kMaxFrameBody));
  start.insert(start.end(), 100, 0);
  EXPECT_TRUE(at_limit.Feed(start, &got));
  EXPECT_EQ(at_limit.buffered(), start.size());

  // One over fails as soon as the 4th header byte comes, split or not.
  Bytes over = Header(static_cast<uint32_t>(kMaxFrameBody + 1));
  FrameReader split;
  EXPECT_TRUE(split.Feed(std::span(over).first(3), &got));
  EXPECT_FALSE(split.Feed(std::span(over).subspan(3), &got));
  EXPECT_NE(split.error().find("exceeds the limit"), std::string::npos) << split.error();
  EXPECT_EQ(split.buffered(), 0u);

  // A good frame before the bad header is still delivered; the reader then
  // stays failed.
  Bytes stream = EncodeFrame(SampleFrames()[0]);
  Bytes huge = Header(0xffffffffu);
  stream.insert(stream.end(), huge.begin(), huge.end());
  FrameReader reader;
  got.clear();
  EXPECT_FALSE(reader.Feed(stream, &got));
  EXPECT_EQ(got.size(), 1u);
  Bytes good = EncodeFrame(SampleFrames()[1]);
  EXPECT_FALSE(reader.Feed(good, &got));
  EXPECT_EQ(got.size(), 1u);
}

TEST(FrameTest, RejectsMalformedBodies) {
  Value bytes(Bytes{1});
  struct Case {
    const char* name;
    Bytes body;
    const char* error;
  } cases[] = {
      {"empty", {}, "not a list"},
      {"garbage", {0xff, 0xfe, 0x00}, "not a list"},
      {"a map", StandardCodec::Instance().Encode(Value(ValueMap{})), "not a list"},
      {"three elements", EncodedList({Value(0), Value(1), Value("c")}), "3 elements"},
      {"five elements", EncodedList({Value(0), Value(1), Value("c"), Value(), Value()}),
       "5 elements"},
      {"unknown kind", EncodedList({Value(2), Value(1), Value("c"), bytes}),
       "unknown frame kind 2"},
      {"kind as string", EncodedList({Value("0"), Value(1), Value("c"), bytes}), "kind is not"},
      {"id as double", EncodedList({Value(0), Value(1.0), Value("c"), bytes}), "id is not"},
      {"channel as int", EncodedList({Value(0), Value(1), Value(5), bytes}), "channel"},
      {"data as string", EncodedList({Value(0), Value(1), Value("c"), Value("x")}), "data"},
      {"data as list", EncodedList({Value(0), Value(1), Value("c"), Value(ValueList{})}), "data"},
      {"truncated", [] {
         Bytes b = EncodedList({Value(0), Value(1), Value("chan"), Value(Bytes{1, 2})});
         b.pop_back();
         return b;
       }(), "truncated"},
      {"trailing", [&] {
         Bytes b = EncodedList({Value(0), Value(1), Value("c"), bytes});
         b.push_back(0);
         return b;
       }(), "trailing"},
  };
  for (const Case& c : cases) {
    Frame frame;
    std::string error;
    EXPECT_FALSE(DecodeFrameBody(c.body, &frame, &error)) << c.name;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
    FrameReader reader;
    std::vector<Frame> got;
    EXPECT_FALSE(reader.Feed(WithHeader(c.body), &got)) << c.name;
    EXPECT_TRUE(got.empty());
  }
  // A peer that writes small ints as int64 still speaks the codec.
  Bytes wide{12, 4, 4, 0, 0, 0, 0, 0, 0, 0, 0, 4, 9, 0, 0, 0, 0, 0, 0, 0, 7, 1, 'c', 0};
  Frame frame;
  std::string error;
  ASSERT_TRUE(DecodeFrameBody(wide, &frame, &error)) << error;
  EXPECT_EQ(frame, (Frame{FrameKind::kMessage, 9, "c", std::nullopt}));
}

}  // namespace
}  // namespace kelvo
