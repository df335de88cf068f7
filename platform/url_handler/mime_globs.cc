// File name globs of the shared MIME-info database (mime/globs2 lines
// "weight:type:pattern[:flags]"). Simplified: no __NOGLOBS__ overrides and
// no content sniffing; the best match has the highest weight, then the
// longest pattern, then comes from the earliest directory.
#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>

#include "platform/url_handler/mime_apps.h"

namespace kelvo {
namespace {

constexpr size_t kMaxGlobLines = 100000;

std::string Lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return out;
}

struct Match {
  int weight = -1;
  size_t length = 0;
  std::string type;
};

void MatchFile(const std::string& path, const std::string& name, Match* best) {
  std::ifstream in(path);
  std::string line;
  for (size_t n = 0; n < kMaxGlobLines && std::getline(in, line); ++n) {
    if (line.empty() || line[0] == '#') continue;
    size_t c1 = line.find(':');
    size_t c2 = c1 == std::string::npos ? c1 : line.find(':', c1 + 1);
    if (c2 == std::string::npos) continue;
    int weight = 0;
    auto [ptr, ec] = std::from_chars(line.data(), line.data() + c1, weight);
    if (ec != std::errc() || ptr != line.data() + c1) continue;
    std::string type = line.substr(c1 + 1, c2 - c1 - 1);
    size_t c3 = line.find(':', c2 + 1);
    std::string pattern = line.substr(c2 + 1, c3 == std::string::npos ? c3 : c3 - c2 - 1);
    std::string flags = c3 == std::string::npos ? "" : line.substr(c3 + 1);
    if (type.empty() || pattern.empty()) continue;
    const bool case_sensitive = flags.find("cs") != std::string::npos;
    const std::string subject = case_sensitive ? name : Lower(name);
    if (!case_sensitive) pattern = Lower(pattern);
    if (::fnmatch(pattern.c_str(), subject.c_str(), 0) != 0) continue;
    if (weight > best->weight || (weight == best->weight && pattern.size() > best->length)) {
      *best = {weight, pattern.size(), type};
    }
  }
}

}  // namespace

std::optional<std::string> MimeTypeForFileName(const XdgDirs& dirs, std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return std::nullopt;
  std::vector<std::string> files;
  if (!dirs.data_home.empty()) files.push_back(dirs.data_home + "/mime/globs2");
  for (const std::string& d : dirs.data_dirs) files.push_back(d + "/mime/globs2");
  Match best;
  for (const std::string& f : files) MatchFile(f, std::string(name), &best);
  if (best.type.empty()) return std::nullopt;
  return best.type;
}

}  // namespace kelvo
