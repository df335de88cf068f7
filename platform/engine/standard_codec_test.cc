#include "platform/engine/standard_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/engine/method_codec.h"

namespace kelvo {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Enc(const Value& v) { return StandardCodec::Instance().Encode(v); }

Value Dec(const Bytes& b) {
  auto r = StandardCodec::Instance().Decode(b);
  EXPECT_TRUE(r.ok()) << r.error().message;
  return r.ok() ? r.value() : Value();
}

Value RichValue() {
  ValueMap inner{{Value("k"), Value(Value::Bytes{1, 2, 3})}, {Value(7), Value(-0.0)}};
  return Value(ValueList{
      Value(), Value(true), Value(false), Value(42), Value(int64_t{1} << 40), Value(2.5),
      Value(std::nan("")), Value("héllo → ✓"), Value(Value::Bytes{}),
      Value(Value::Int32List{1, -2}), Value(Value::Int64List{int64_t{1} << 50}),
      Value(Value::Float32List{1.5f}), Value(Value::Float64List{0.1, -3.0}),
      Value(ValueList{}), Value(std::move(inner)), Value::Custom(200, Value(ValueList{Value(1)}))});
}

TEST(StandardCodecTest, WritesTheEngineWireFormat) {
  EXPECT_EQ(Enc(Value()), (Bytes{0}));
  EXPECT_EQ(Enc(Value(true)), (Bytes{1}));
  EXPECT_EQ(Enc(Value(false)), (Bytes{2}));
  EXPECT_EQ(Enc(Value(-1)), (Bytes{3, 0xff, 0xff, 0xff, 0xff}));
  EXPECT_EQ(Enc(Value(int64_t{1} << 32)), (Bytes{4, 0, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(Enc(Value("hi")), (Bytes{7, 2, 'h', 'i'}));
  EXPECT_EQ(Enc(Value(Value::Bytes{9})), (Bytes{8, 1, 9}));
  // Doubles are padded to 8 from the start of the message.
  EXPECT_EQ(Enc(Value(1.0)), (Bytes{6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xf0, 0x3f}));
  // [1, 2.0]: the double starts at offset 8 and needs no padding.
  EXPECT_EQ(Enc(Value(ValueList{Value(1), Value(2.0)})),
            (Bytes{12, 2, 3, 1, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0x40}));
  EXPECT_EQ(Enc(Value(Value::Float32List{1.0f})), (Bytes{14, 1, 0, 0, 0, 0, 0x80, 0x3f}));
  EXPECT_EQ(Enc(Value(Value::Int32List{2})), (Bytes{9, 1, 0, 0, 2, 0, 0, 0}));
  EXPECT_EQ(Enc(Value(ValueMap{{Value("a"), Value()}})), (Bytes{13, 1, 7, 1, 'a', 0}));
  EXPECT_EQ(Enc(Value::Custom(129, Value(ValueList{Value()}))), (Bytes{129, 12, 1, 0}));
}

TEST(StandardCodecTest, SizesUseOneThreeOrFiveBytes) {
  for (size_t n : {size_t{253}, size_t{254}, size_t{0xffff}, size_t{0x10000}}) {
    Bytes e = Enc(Value(std::string(n, 'x')));
    size_t header = n < 254 ? 2 : n <= 0xffff ? 4 : 6;
    ASSERT_EQ(e.size(), header + n) << n;
    if (n == 254) {
      EXPECT_EQ((Bytes{e.begin(), e.begin() + 4}), (Bytes{7, 254, 254, 0}));
    }
    if (n == 0x10000) {
      EXPECT_EQ((Bytes{e.begin(), e.begin() + 6}), (Bytes{7, 255, 0, 0, 1, 0}));
    }
    EXPECT_EQ(Dec(e), Value(std::string(n, 'x')));
  }
}

TEST(StandardCodecTest, EveryTypeRoundTrips) {
  Value v = RichValue();
  EXPECT_EQ(Dec(Enc(v)), v);
  // Decoding then encoding gives the same bytes.
  EXPECT_EQ(Enc(Dec(Enc(v))), Enc(v));
}

// The plain codec writes through its own fast writer; a codec with any
// ReaderWriter goes through WriteValue. Both must give the same bytes, also
// when the output grows many times with doubles and typed lists landing at
// every alignment.
TEST(StandardCodecTest, FastWriterMatchesTheHookedWriter) {
  ValueList items;
  for (int i = 0; i < 300; ++i) {
    items.push_back(Value(std::string(static_cast<size_t>(i % 37), 'a')));
    items.push_back(Value(i * 0.5));
    items.push_back(Value(Value::Int64List(static_cast<size_t>(i % 3), i)));
    items.push_back(RichValue());
  }
  items.push_back(Value(std::string(70000, 'z')));
  Value v(std::move(items));
  StandardCodec hooked(std::make_shared<ReaderWriter>());
  Bytes fast = Enc(v);
  EXPECT_EQ(fast, hooked.Encode(v));
  EXPECT_EQ(Dec(fast), v);
}

TEST(StandardCodecTest, IntegerAndDoubleStayDistinct) {
  EXPECT_NE(Value(3), Value(3.0));
  EXPECT_TRUE(Dec(Enc(Value(3))).is_int());
  EXPECT_TRUE(Dec(Enc(Value(3.0))).is_double());
  EXPECT_EQ(Dec(Enc(Value(std::numeric_limits<int64_t>::min()))).as_int(),
            std::numeric_limits<int64_t>::min());
  EXPECT_NE(Value(0.0), Value(-0.0));
}

TEST(StandardCodecTest, ReadsLargeIntAsItsText) {
  EXPECT_EQ(Dec(Bytes{5, 3, 'f', 'f', 'f'}), Value("fff"));
}

TEST(StandardCodecTest, RejectsEveryTruncation) {
  Bytes full = Enc(RichValue());
  for (size_t n = 0; n < full.size(); ++n) {
    auto r = StandardCodec::Instance().Decode(std::span(full.data(), n));
    EXPECT_FALSE(r.ok()) << "prefix of " << n << " bytes decoded";
  }
}

TEST(StandardCodecTest, RejectsMalformedInput) {
  const StandardCodec& c = StandardCodec::Instance();
  struct Case {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"unknown type 15", {15}},
      {"unknown type 127", {127}},
      {"trailing bytes", {0, 0}},
      {"string past the end", {7, 5, 'a'}},
      {"huge list claim", {12, 255, 0xff, 0xff, 0xff, 0xff, 0}},
      {"huge map claim", {13, 255, 0xff, 0xff, 0xff, 0x7f, 0, 0}},
      {"huge float64 list", {11, 255, 0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"map with a missing value", {13, 1, 0}},
      {"custom tag without payload", {130}},
  };
  for (const auto& tc : cases) {
    auto r = c.Decode(tc.bytes);
    EXPECT_FALSE(r.ok()) << tc.what;
    if (!r.ok()) {
      EXPECT_FALSE(r.error().message.empty()) << tc.what;
    }
  }
}

TEST(StandardCodecTest, LimitsNesting) {
  auto nested = [](int depth) {
    Bytes b(depth, 12);
    for (int i = 0; i < depth - 1; ++i) b.insert(b.begin() + 1 + 2 * i, 1);  // [[[...]]]
    b.push_back(0);  // innermost: an empty list
    return b;
  };
  // 65 lists: the outermost at depth 0, the innermost at depth 64.
  EXPECT_TRUE(StandardCodec::Instance().Decode(nested(StandardCodec::kMaxDepth + 1)).ok());
  auto deep = StandardCodec::Instance().Decode(nested(StandardCodec::kMaxDepth + 2));
  ASSERT_FALSE(deep.ok());
  EXPECT_NE(deep.error().message.find("deep"), std::string::npos);
  EXPECT_FALSE(StandardCodec::Instance().Decode(Bytes(100000, 12)).ok());
}

TEST(StandardCodecTest, StringsMustBeUtf8) {
  const StandardCodec& c = StandardCodec::Instance();
  const Bytes bad_texts[] = {
      {0xff},                    // never a UTF-8 byte
      {'a', 0xc3},               // truncated sequence
      {0xc0, 0xaf},              // overlong '/'
      {0xed, 0xa0, 0x80},        // surrogate U+D800
      {0xf4, 0x90, 0x80, 0x80},  // above U+10FFFF
  };
  for (const auto& text : bad_texts) {
    Bytes alone{7, static_cast<uint8_t>(text.size())};
    alone.insert(alone.end(), text.begin(), text.end());
    auto r = c.Decode(alone);
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.error().message.find("UTF-8"), std::string::npos);
    // Just as refused as a map key deep inside a custom record.
    Bytes nested{12, 1, 130, 13, 1};
    nested.insert(nested.end(), alone.begin(), alone.end());
    nested.push_back(0);
    EXPECT_FALSE(c.Decode(nested).ok());
  }
  EXPECT_EQ(Dec(Enc(Value("héllo → ✓ \xf0\x9f\x98\x80"))), Value("héllo → ✓ \xf0\x9f\x98\x80"));
  // Byte lists are not text and carry anything.
  EXPECT_EQ(Dec(Bytes{8, 1, 0xff}), Value(Value::Bytes{0xff}));
}

TEST(StandardCodecTest, BudgetsTheMemoryOneMessageDecodesTo) {
  const StandardCodec& c = StandardCodec::Instance();
  auto list_header = [](size_t n) {
    Bytes b{12, 255};
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(n >> (8 * i)));
    return b;
  };
  auto list_of_nulls = [&](size_t n) {
    Bytes b = list_header(n);
    b.resize(b.size() + n, 0);
    return b;
  };
  // One-byte elements: the list's own node and n more fit, one more does not.
  const size_t nodes = kMaxDecodedBytes / sizeof(Value);
  EXPECT_TRUE(c.Decode(list_of_nulls(nodes - 1)).ok());
  auto over = c.Decode(list_of_nulls(nodes));
  ASSERT_FALSE(over.ok());
  EXPECT_NE(over.error().message.find("too much memory"), std::string::npos);

  // The budget belongs to the message, not to each container: halves in a
  // list, a map under a custom tag and a method call's two parts add up.
  Value half(ValueList(nodes / 2, Value()));
  Value tagged = Value::Custom(140, Value(ValueMap{{Value(1), half}}));
  EXPECT_FALSE(c.Decode(Enc(Value(ValueList{half, tagged}))).ok());
  EXPECT_TRUE(c.Decode(Enc(Value(ValueList{Value(ValueList(1000, Value())), tagged}))).ok());
  Bytes call = MethodCodec::Standard().EncodeMethodCall({"m", Value(ValueList{half, half})});
  EXPECT_FALSE(MethodCodec::Standard().DecodeMethodCall(call).ok());

  // Text counts what it allocates: a frame's worth of 100-byte strings is
  // refused, one 64 MiB byte list is not.
  Bytes strings = list_header(700000);
  for (size_t i = 0; i < 700000; ++i) {
    strings.insert(strings.end(), {7, 100});
    strings.resize(strings.size() + 100, 'x');
  }
  EXPECT_FALSE(c.Decode(strings).ok());
  Bytes big{8, 255, 0, 0, 0, 4};
  big.resize(big.size() + (size_t{64} << 20), 1);
  EXPECT_TRUE(c.Decode(big).ok());
}

// A service codec with its own record type under tag 129.
struct Point {
  int64_t x, y;
};

class PointReaderWriter : public ReaderWriter {
 public:
  bool WriteValue(const StandardCodec& codec, ByteWriter& w, const Value& v) const override {
    const auto* c = v.get_if<CustomValue>();
    if (c == nullptr || c->tag != 129) return ReaderWriter::WriteValue(codec, w, v);
    w.WriteByte(129);
    codec.WriteValue(w, *c->payload);
    return true;
  }
  Result<Value> ReadValueOfType(const StandardCodec& codec, uint8_t type, ByteReader& r,
                                int depth) const override {
    if (type != 129) return DecodeError{"unknown tag", r.position()};
    auto fields = codec.ReadValue(r, depth + 1);
    if (!fields.ok()) return fields;
    const auto* list = fields.value().get_if<ValueList>();
    if (list == nullptr || list->size() != 2) return DecodeError{"bad point", r.position()};
    return Value::Custom(129, fields.value());
  }
};

TEST(StandardCodecTest, ServiceReaderWriterHandlesItsTags) {
  StandardCodec codec(std::make_shared<PointReaderWriter>());
  Value point = Value::Custom(129, Value(ValueList{Value(1), Value(2)}));
  Value msg(ValueList{point, Value("x")});
  auto r = codec.Decode(codec.Encode(msg));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), msg);
  EXPECT_FALSE(codec.Decode(Bytes{129, 12, 1, 0}).ok());  // wrong field count
  EXPECT_FALSE(codec.Decode(Bytes{130, 0}).ok());         // not this codec's tag
}

}  // namespace
}  // namespace kelvo
