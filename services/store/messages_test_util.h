// Test helpers shared by the store's message tests: pinning a record's
// wire form, hash and description.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/engine/standard_codec.h"

namespace kelvo {

inline std::string Hex(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

// The bytes, hash and description a record had when the UI's side of the
// channel was last checked against it; the bytes also read back to it, and
// re-encode to themselves. A composite's description is best built from its
// nested records' own (pinned) descriptions.
template <typename T>
void ExpectGolden(const StandardCodec& codec, const T& record, const std::string& hex,
                  uint64_t hash, const std::string& description) {
  SCOPED_TRACE(description);
  const std::vector<uint8_t> bytes = codec.Encode(record.ToValue());
  EXPECT_EQ(Hex(bytes), hex);
  EXPECT_EQ(record.hash(), hash);
  EXPECT_EQ(record.description(), description);
  Result<Value> decoded = codec.Decode(bytes);
  ASSERT_TRUE(decoded.ok()) << decoded.error().message;
  EXPECT_EQ(codec.Encode(decoded.value()), bytes);
  std::optional<T> back = T::FromValue(decoded.value());
  ASSERT_TRUE(back.has_value());
  EXPECT_TRUE(*back == record);
  EXPECT_EQ(back->hash(), hash);
  EXPECT_TRUE(T::fromList(record.toList()) == record);
}

}  // namespace kelvo
