#include "platform/url_handler/key_file.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace kelvo {
namespace {

constexpr off_t kMaxKeyFileSize = 1 << 20;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

}  // namespace

std::optional<KeyFile> KeyFile::Load(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxKeyFileSize) {
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return Parse(text.str());
}

KeyFile KeyFile::Parse(std::string_view text) {
  KeyFile file;
  Entries* current = nullptr;  // entries before any header belong nowhere
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = Trim(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      current = nullptr;
      if (line.back() != ']') continue;
      std::string name(line.substr(1, line.size() - 2));
      for (auto& [g, entries] : file.groups_) {
        if (g == name) current = &entries;
      }
      if (current == nullptr) current = &file.groups_.emplace_back(name, Entries{}).second;
      continue;
    }
    size_t eq = line.find('=');
    if (current == nullptr || eq == std::string_view::npos) continue;
    std::string key(Trim(line.substr(0, eq)));
    if (key.empty()) continue;
    current->emplace_back(std::move(key), std::string(Trim(line.substr(eq + 1))));
  }
  return file;
}

const std::string* KeyFile::Get(std::string_view group, std::string_view key) const {
  for (const auto& [k, v] : Group(group)) {
    if (k == key) return &v;
  }
  return nullptr;
}

const KeyFile::Entries& KeyFile::Group(std::string_view group) const {
  static const Entries kNone;
  for (const auto& [g, entries] : groups_) {
    if (g == group) return entries;
  }
  return kNone;
}

std::vector<std::string> SplitKeyFileList(std::string_view value) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= value.size()) {
    size_t end = value.find(';', start);
    if (end == std::string_view::npos) end = value.size();
    std::string_view item = Trim(value.substr(start, end - start));
    if (!item.empty()) items.emplace_back(item);
    start = end + 1;
  }
  return items;
}

}  // namespace kelvo
