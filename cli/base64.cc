#include "cli/base64.h"

#include <openssl/evp.h>

namespace kelvo {
namespace {

bool IsAlphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
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

std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  if (text.empty()) return std::vector<uint8_t>();
  // EVP_DecodeBlock skips blanks and accepts padding in odd places; check
  // the shape first so that only canonical text decodes.
  size_t padding = 0;
  if (text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  for (size_t i = 0; i + padding < text.size(); ++i) {
    if (!IsAlphabet(text[i])) return std::nullopt;
  }
  std::vector<uint8_t> out(text.size() / 4 * 3);
  int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n < 0 || static_cast<size_t>(n) != out.size()) return std::nullopt;
  // EVP_DecodeBlock counts padding as zero bytes.
  out.resize(out.size() - padding);
  // Unused bits of the last symbol must be zero, else two texts would give
  // the same bytes.
  if (padding > 0 && Base64Encode(out) != text) return std::nullopt;
  return out;
}

}  // namespace kelvo
