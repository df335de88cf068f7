#include <uriparser/Uri.h>

#include <algorithm>
#include <cctype>

#include "platform/encoding/hex.h"
#include "platform/url_handler/system_url_handler.h"

namespace kelvo {
namespace {

std::string_view RangeText(const UriTextRangeA& range) {
  if (range.first == nullptr || range.afterLast == nullptr) return {};
  return {range.first, static_cast<size_t>(range.afterLast - range.first)};
}

// The parser has checked every escape, so each '%' has two hex digits.
std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 &&
        HexDigitValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::optional<std::string> LocalFilePath(const UriUriA& uri) {
  const bool has_host = uri.hostText.first != nullptr;
  std::string host(RangeText(uri.hostText));
  std::transform(host.begin(), host.end(), host.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  if (has_host && !host.empty() && host != "localhost") return std::nullopt;
  // Without a host only "file:/path" is absolute; with one the path always is.
  if (!has_host && !uri.absolutePath) return std::nullopt;
  if (uri.pathHead == nullptr) return std::nullopt;
  std::string path;
  for (const UriPathSegmentA* s = uri.pathHead; s != nullptr; s = s->next) {
    path += '/';
    path += PercentDecode(RangeText(s->text));
  }
  if (path.find('\0') != std::string::npos) return std::nullopt;
  return path;
}

}  // namespace

std::optional<Url> ParseUrl(std::string_view text) {
  if (text.empty()) return std::nullopt;
  UriUriA uri;
  const char* error_pos = nullptr;
  if (uriParseSingleUriExA(&uri, text.data(), text.data() + text.size(), &error_pos) !=
      URI_SUCCESS) {
    return std::nullopt;
  }
  Url url;
  url.text = std::string(text);
  url.scheme = std::string(RangeText(uri.scheme));
  std::transform(url.scheme.begin(), url.scheme.end(), url.scheme.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  if (url.scheme == "file") url.file_path = LocalFilePath(uri);
  uriFreeUriMembersA(&uri);
  return url;
}

}  // namespace kelvo
