#include <gtest/gtest.h>

#include "platform/encoding/base64.h"
#include "platform/encoding/uuid.h"

namespace kelvo {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(Base64, StandardVectorsInBothAlphabets) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(Base64Encode(plain), encoded);
    EXPECT_EQ(Base64Decode(encoded), B(plain));
    std::string url = encoded.substr(0, encoded.find('='));
    EXPECT_EQ(Base64UrlEncode(plain), url);
    EXPECT_EQ(Base64UrlDecode(url), plain);
  }
  const std::string high("\xfb\xff\xfe", 3);
  EXPECT_EQ(Base64Encode(high), "+//+");
  EXPECT_EQ(Base64UrlEncode(high), "-__-");
  EXPECT_EQ(Base64UrlDecode("-__-"), high);
  for (size_t n = 0; n < 10; ++n) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(0xf0 + i);
    EXPECT_EQ(Base64Decode(Base64Encode(bytes)), bytes) << n;
  }
  // Long enough that a line-breaking encoder would break it.
  std::string long_text = Base64Encode(std::string(300, 'x'));
  EXPECT_EQ(long_text.size(), 400u);
  EXPECT_EQ(long_text.find('\n'), std::string::npos);
}

TEST(Base64, MalformedTextIsRefusedNeverHalfDecoded) {
  for (Base64Bits bits : {Base64Bits::kCanonical, Base64Bits::kAnyUnused}) {
    for (const char* bad : {"Zg=", "Zg", "Z===", "====", "Zm9v!", "-__-", "TWFu\n", "TW Fu",
                            " TWFu", "TQ==TQ==", "AB=C", "Zg==\n", "QQ=A", "QQ\n=="}) {
      EXPECT_EQ(Base64Decode(bad, bits), std::nullopt) << bad;
    }
  }
  for (const char* bad : {"+//+", "Z", "Zg==", "Zg="}) {
    EXPECT_EQ(Base64UrlDecode(bad), std::nullopt) << bad;
  }
}

TEST(Base64, StrayBitsInTheLastSymbolOnlyWhereAllowed) {
  // These carry bits the padding says are unused.
  for (const auto& [text, plain] : {std::pair{"Zh==", "f"}, std::pair{"Zm9=", "fo"}}) {
    EXPECT_EQ(Base64Decode(text), std::nullopt) << text;
    EXPECT_EQ(Base64Decode(text, Base64Bits::kAnyUnused), B(plain)) << text;
  }
  EXPECT_EQ(Base64UrlDecode("Zh"), std::nullopt);
}

TEST(Uuid, CanonicalFormIsUpperCaseAndNothingElsePasses) {
  EXPECT_EQ(CanonicalUuid("6f9619ff-8b86-d011-b42d-00c04fc964ff"),
            "6F9619FF-8B86-D011-B42D-00C04FC964FF");
  for (const char* bad :
       {"", "6F9619FF8B86D011B42D00C04FC964FF", "{6F9619FF-8B86-D011-B42D-00C04FC964FF}",
        "6F9619FF-8B86-D011-B42D-00C04FC964F", "6F9619FF-8B86-D011-B42D-00C04FC964FG",
        "6F9619FF-8B86-D011-B42D_00C04FC964FF", "6F9619FF-8B86-D011-B42D-00C04FC964FF "}) {
    EXPECT_EQ(CanonicalUuid(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace kelvo
