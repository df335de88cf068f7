#include "platform/encoding/base64.h"

#include <openssl/evp.h>

#include <algorithm>

namespace kelvo {
namespace {

int StandardValue(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string Base64Encode(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return std::string();
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');  // + the NUL it writes
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                          static_cast<int>(bytes.size()));
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

std::string Base64Encode(std::string_view bytes) {
  return Base64Encode(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text, Base64Bits bits) {
  if (text.size() % 4 != 0) return std::nullopt;
  if (text.empty()) return std::vector<uint8_t>();
  // EVP_DecodeBlock skips blanks and accepts padding in odd places; check
  // the shape first so that it only ever sees well-formed text.
  size_t padding = 0;
  if (text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  for (size_t i = 0; i + padding < text.size(); ++i) {
    if (StandardValue(text[i]) < 0) return std::nullopt;
  }
  if (bits == Base64Bits::kCanonical && padding > 0) {
    int last = StandardValue(text[text.size() - padding - 1]);
    if ((last & (padding == 1 ? 0x3 : 0xf)) != 0) return std::nullopt;
  }
  std::vector<uint8_t> out(text.size() / 4 * 3);
  int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n < 0 || static_cast<size_t>(n) != out.size()) return std::nullopt;
  out.resize(out.size() - padding);  // EVP_DecodeBlock counts padding as zero bytes
  return out;
}

std::string Base64UrlEncode(std::string_view bytes) {
  std::string out = Base64Encode(bytes);
  out.erase(std::find(out.begin(), out.end(), '='), out.end());
  std::replace(out.begin(), out.end(), '+', '-');
  std::replace(out.begin(), out.end(), '/', '_');
  return out;
}

std::optional<std::string> Base64UrlDecode(std::string_view text) {
  if (text.size() % 4 == 1) return std::nullopt;
  std::string standard(text);
  for (char& c : standard) {
    if (c == '+' || c == '/' || c == '=') return std::nullopt;  // not of this alphabet
    if (c == '-') c = '+';
    if (c == '_') c = '/';
  }
  standard.append((4 - standard.size() % 4) % 4, '=');
  std::optional<std::vector<uint8_t>> bytes = Base64Decode(standard);
  if (!bytes) return std::nullopt;
  return std::string(bytes->begin(), bytes->end());
}

}  // namespace kelvo
