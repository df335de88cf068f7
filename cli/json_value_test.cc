// The JSON form of values: every type round-trips, ints stay ints and
// doubles stay doubles, and bad input is refused with a message that says
// where and why.
#include "cli/json_value.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "platform/engine/standard_codec.h"

namespace kelvo {
namespace {

Value Parse(const std::string& text) {
  auto r = ParseJsonValue(text);
  EXPECT_TRUE(r.ok()) << text << ": " << r.error().message;
  return r.ok() ? r.value() : Value("<parse failed>");
}

std::string ParseError(const std::string& text) {
  auto r = ParseJsonValue(text);
  EXPECT_FALSE(r.ok()) << text << " parsed as " << r.value();
  return r.ok() ? std::string() : r.error().message;
}

// Through the JSON text and through the codec's bytes: both must come back
// equal (Value equality is bitwise for doubles; every NaN is "NaN", so NaNs
// are made with the one payload the text gives back).
void ExpectRoundTrip(const Value& v) {
  std::string text = FormatJsonValue(v);
  auto back = ParseJsonValue(text);
  ASSERT_TRUE(back.ok()) << text << ": " << back.error().message;
  EXPECT_EQ(back.value(), v) << text;
  const auto& codec = StandardCodec::Instance();
  EXPECT_EQ(codec.Encode(back.value()), codec.Encode(v)) << text;
  EXPECT_EQ(FormatJsonValue(back.value()), text);
}

double CanonicalNaN(double d) { return std::isnan(d) ? std::nan("") : d; }
float CanonicalNaN(float f) { return std::isnan(f) ? std::nanf("") : f; }

Value RichValue() {
  ValueMap odd_keys;
  odd_keys.append(Value(1), Value("int key"));
  odd_keys.append(Value(ValueList{Value(1), Value(2)}), Value(2.5));
  odd_keys.append(Value(), Value(true));
  ValueMap dollar;
  dollar.append(Value("$bytes"), Value("not bytes"));
  ValueMap repeated;
  repeated.append(Value("k"), Value(1));
  repeated.append(Value("k"), Value(2));
  return Value(ValueMap{
      {"null", Value()},
      {"bools", Value(ValueList{Value(true), Value(false)})},
      {"ints", Value(ValueList{Value(0), Value(-1), Value(int64_t{2147483648}),
                               Value(std::numeric_limits<int64_t>::min()),
                               Value(std::numeric_limits<int64_t>::max())})},
      {"doubles", Value(ValueList{Value(3.0), Value(-0.0), Value(0.1), Value(1e20), Value(5e-324),
                                  Value(std::numeric_limits<double>::max()), Value(std::nan("")),
                                  Value(std::numeric_limits<double>::infinity()),
                                  Value(-std::numeric_limits<double>::infinity())})},
      {"strings", Value(ValueList{Value(""), Value("línea → ok…"), Value("tab\tquote\"\\"),
                                  Value(std::string("nul\0inside", 10))})},
      {"bytes", Value(Value::Bytes{0, 1, 2, 0xfe, 0xff})},
      {"empty bytes", Value(Value::Bytes{})},
      {"int32", Value(Value::Int32List{std::numeric_limits<int32_t>::min(), 0, 7})},
      {"int64", Value(Value::Int64List{std::numeric_limits<int64_t>::min(), 1})},
      {"float32", Value(Value::Float32List{0.1f, -0.0f, 1.0f, std::nanf(""),
                                           std::numeric_limits<float>::infinity(),
                                           std::numeric_limits<float>::denorm_min()})},
      {"float64", Value(Value::Float64List{0.1, -std::numeric_limits<double>::infinity()})},
      {"odd keys", Value(odd_keys)},
      {"dollar key", Value(dollar)},
      {"repeated key", Value(repeated)},
      {"custom", Value::Custom(130, Value(ValueList{Value("field"), Value(Value::Bytes{9})}))},
      {"nested", Value(ValueList{Value(ValueList{Value(ValueMap{{"a", Value(ValueList{})}})})})},
      {"empty map", Value(ValueMap{})},
  });
}

TEST(JsonValueTest, EveryTypeRoundTripsAndHasItsDocumentedForm) {
  ExpectRoundTrip(RichValue());

  EXPECT_EQ(FormatJsonValue(Value(3)), "3");
  EXPECT_EQ(FormatJsonValue(Value(3.0)), "3.0");
  EXPECT_EQ(FormatJsonValue(Value(-0.0)), "-0.0");
  EXPECT_EQ(FormatJsonValue(Value(1e20)), "1e+20");
  EXPECT_EQ(FormatJsonValue(Value(std::nan(""))), R"({"$double":"NaN"})");
  EXPECT_EQ(FormatJsonValue(Value(Value::Bytes{1, 2, 3})), R"({"$bytes":"AQID"})");
  EXPECT_EQ(FormatJsonValue(Value(Value::Float32List{0.1f, 2.0f})), R"({"$float32":[0.1,2.0]})");
  EXPECT_EQ(FormatJsonValue(Value(Value::Int32List{1, -2})), R"({"$int32":[1,-2]})");
  EXPECT_EQ(FormatJsonValue(Value::Custom(200, Value(1))), R"({"$custom":200,"value":1})");
  ValueMap int_keys;
  int_keys.append(Value(1), Value("a"));
  EXPECT_EQ(FormatJsonValue(Value(int_keys)), R"({"$map":[[1,"a"]]})");
  // Maps keep their entry order both ways.
  EXPECT_EQ(FormatJsonValue(Parse(R"({"b":1,"a":2})")), R"({"b":1,"a":2})");
}

TEST(JsonValueTest, IntegersStayIntegersAndDoublesStayDoubles) {
  EXPECT_EQ(Parse("3"), Value(3));
  EXPECT_TRUE(Parse("3.0").is_double());
  EXPECT_TRUE(Parse("3e0").is_double());
  EXPECT_TRUE(Parse("-0").is_int());
  Value minus_zero = Parse("-0.0");
  ASSERT_TRUE(minus_zero.is_double());
  EXPECT_TRUE(std::signbit(minus_zero.as_double()));
  EXPECT_EQ(Parse("9223372036854775807"), Value(std::numeric_limits<int64_t>::max()));
  EXPECT_EQ(Parse("-9223372036854775808"), Value(std::numeric_limits<int64_t>::min()));
  EXPECT_TRUE(Parse(R"({"$double":3})").is_double());
  EXPECT_TRUE(std::isinf(Parse(R"({"$double":"-Infinity"})").as_double()));

  // Every double by bit pattern, the odd ones among them, survives the text.
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    ExpectRoundTrip(Value(CanonicalNaN(std::bit_cast<double>(rng()))));
  }
  // Floats: among them the two whose shortest text narrows to a neighbour
  // once read as a double.
  Value::Float32List floats = {std::bit_cast<float>(uint32_t{363742205}),
                               std::bit_cast<float>(uint32_t{2511225853})};
  for (int i = 0; i < 20000; ++i) {
    floats.push_back(CanonicalNaN(std::bit_cast<float>(uint32_t(rng()))));
  }
  ExpectRoundTrip(Value(floats));
}

// Random values of every type, nested, from a fixed seed.
class ValueGenerator {
 public:
  explicit ValueGenerator(uint64_t seed) : rng_(seed) {}

  Value Make(int depth) {
    int kinds = depth >= 4 ? 10 : 13;
    switch (Pick(kinds)) {
      case 0:
        return Value();
      case 1:
        return Value(Pick(2) == 0);
      case 2:
        return Value(static_cast<int64_t>(rng_()) >> Pick(64));
      case 3:
        return Value(Double());
      case 4:
        return Value(Text());
      case 5: {
        Value::Bytes b(Pick(40));
        for (auto& x : b) x = static_cast<uint8_t>(rng_());
        return Value(std::move(b));
      }
      case 6: {
        Value::Int32List l(Pick(6));
        for (auto& x : l) x = static_cast<int32_t>(rng_());
        return Value(std::move(l));
      }
      case 7: {
        Value::Int64List l(Pick(6));
        for (auto& x : l) x = static_cast<int64_t>(rng_());
        return Value(std::move(l));
      }
      case 8: {
        Value::Float32List l(Pick(6));
        for (auto& x : l) x = static_cast<float>(Double());
        return Value(std::move(l));
      }
      case 9: {
        Value::Float64List l(Pick(6));
        for (auto& x : l) x = Double();
        return Value(std::move(l));
      }
      case 10: {
        ValueList l;
        for (int n = Pick(5); n > 0; --n) l.push_back(Make(depth + 1));
        return Value(std::move(l));
      }
      case 11: {
        ValueMap m;
        for (int n = Pick(5); n > 0; --n) {
          // Mostly string keys, sometimes "$" ones, repeats or other types.
          Value key = Pick(4) == 0 ? Make(depth + 1) : Value(Pick(3) == 0 ? "$k" : Text());
          m.append(std::move(key), Make(depth + 1));
        }
        return Value(std::move(m));
      }
      default:
        return Value::Custom(static_cast<uint8_t>(128 + Pick(128)), Make(depth + 1));
    }
  }

 private:
  int Pick(int n) { return static_cast<int>(rng_() % static_cast<uint64_t>(n)); }
  double Double() { return CanonicalNaN(std::bit_cast<double>(rng_())); }
  std::string Text() {
    static const char* const pieces[] = {"a", "Z", " ",    "\"", "\\", "\n", "é",
                                         "→", "…", "🙂", "$",  "/",  "~"};
    std::string s;
    for (int n = Pick(6); n > 0; --n) s += pieces[Pick(13)];
    return s;
  }

  std::mt19937_64 rng_;
};

TEST(JsonValueTest, RandomValuesRoundTrip) {
  ValueGenerator gen(2024);
  for (int i = 0; i < 2000; ++i) {
    Value v = gen.Make(0);
    ExpectRoundTrip(v);
    if (::testing::Test::HasFailure()) break;
  }
}

TEST(JsonValueTest, BadInputIsRefusedSayingWhereAndWhy) {
  struct Case {
    const char* text;
    const char* says;
  };
  const Case cases[] = {
      {"", "bad JSON"},
      {"[1,", "bad JSON"},
      {"{\"a\":}", "bad JSON"},
      {"nul", "bad JSON"},
      {"1 2", "bad JSON"},
      {"1e400", "number overflow"},
      {"18446744073709551615", "does not fit in a signed 64-bit integer"},
      {"99999999999999999999", "does not fit in 64 bits"},
      {R"({"$bytes":"abc"})", "at /$bytes: not valid base64"},
      {R"({"$bytes":5})", "base64 string"},
      {R"({"$int32":[1,2147483648]})", "at /$int32/1: out of range for a 32-bit integer"},
      {R"({"$int64":[1.5]})", "at /$int64/0: expected an integer"},
      {R"({"$float32":[1e39]})", "out of range for a 32-bit float"},
      {R"({"$float64":["nan"]})", "expected a number or \"NaN\""},
      {R"({"$map":[[1]]})", "at /$map/0: expected a [key, value] pair"},
      {R"({"$map":{"a":1}})", "expected an array of [key, value] pairs"},
      {R"({"$custom":127,"value":1})", "at /$custom: expected a type tag from 128 to 255"},
      {R"({"$custom":130})", "exactly the keys"},
      {R"({"$foo":1})", "unknown form \"$foo\""},
      {R"({"$bytes":"","x":1})", "takes no other keys"},
      {R"({"a/b":[{"$double":"nan"}]})", "at /a~1b/0/$double:"},
  };
  for (const auto& c : cases) {
    std::string error = ParseError(c.text);
    EXPECT_NE(error.find(c.says), std::string::npos) << c.text << " gave: " << error;
  }
  // Deep nesting is refused before it can reach a decoder's limit.
  std::string deep(100, '[');
  deep += std::string(100, ']');
  EXPECT_NE(ParseError(deep).find("nested deeper than"), std::string::npos);
}

}  // namespace
}  // namespace kelvo
