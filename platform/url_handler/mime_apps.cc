#include "platform/url_handler/mime_apps.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <vector>

#include "platform/url_handler/key_file.h"

namespace kelvo {
namespace {

// Subdirectories an ID's dashes may stand for, and entries scanned per
// directory: far beyond any real desktop, small enough to bound a call.
constexpr int kMaxIdDepth = 8;
constexpr size_t kMaxEntriesPerDirectory = 20000;

std::string Lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return out;
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> ApplicationDirs(const XdgDirs& dirs) {
  std::vector<std::string> out;
  if (!dirs.data_home.empty()) out.push_back(dirs.data_home + "/applications");
  for (const std::string& d : dirs.data_dirs) out.push_back(d + "/applications");
  return out;
}

std::vector<std::string> MimeAppsFiles(const XdgDirs& dirs) {
  std::vector<std::string> bases;
  if (!dirs.config_home.empty()) bases.push_back(dirs.config_home);
  bases.insert(bases.end(), dirs.config_dirs.begin(), dirs.config_dirs.end());
  for (const std::string& d : ApplicationDirs(dirs)) bases.push_back(d);
  std::vector<std::string> files;
  for (const std::string& base : bases) {
    for (const std::string& desktop : dirs.desktops) {
      files.push_back(base + "/" + desktop + "-mimeapps.list");
    }
    files.push_back(base + "/mimeapps.list");
  }
  return files;
}

bool IsDesktopId(std::string_view id) {
  constexpr std::string_view kSuffix = ".desktop";
  return id.size() > kSuffix.size() && id.substr(id.size() - kSuffix.size()) == kSuffix &&
         id.find('/') == std::string_view::npos && id.find('\0') == std::string_view::npos;
}

// The file for `rest` below `dir`: "a-b-c.desktop" may be dir/a-b-c.desktop,
// dir/a/b-c.desktop, dir/a-b/c.desktop or dir/a/b/c.desktop.
std::optional<std::string> FindIdBelow(const std::string& dir, std::string_view rest, int depth) {
  std::string direct = dir + "/" + std::string(rest);
  if (IsRegularFile(direct)) return direct;
  if (depth >= kMaxIdDepth) return std::nullopt;
  for (size_t i = rest.find('-'); i != std::string_view::npos; i = rest.find('-', i + 1)) {
    std::string_view sub = rest.substr(0, i);
    if (sub.empty() || sub == "." || sub == "..") continue;  // never leave `dir`
    std::string subdir = dir + "/" + std::string(sub);
    if (!IsDirectory(subdir)) continue;
    if (auto found = FindIdBelow(subdir, rest.substr(i + 1), depth + 1)) return found;
  }
  return std::nullopt;
}

// The desktop IDs listed for `type` under `group` (MIME types without case).
std::vector<std::string> ListFor(const KeyFile& file, std::string_view group,
                                 const std::string& type) {
  for (const auto& [key, value] : file.Group(group)) {
    if (Lower(key) == type) return SplitKeyFileList(value);
  }
  return {};
}

struct ScannedEntry {
  std::string id;
  std::string path;
};

// Every desktop entry file below `dir`, by ID.
std::vector<ScannedEntry> DesktopEntriesIn(const std::string& dir) {
  namespace fs = std::filesystem;
  std::vector<ScannedEntry> out;
  std::error_code ec;
  fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (out.size() >= kMaxEntriesPerDirectory) break;
    if (it.depth() > kMaxIdDepth) {
      it.disable_recursion_pending();
      continue;
    }
    std::error_code type_ec;
    if (!it->is_regular_file(type_ec)) continue;
    std::string rel = it->path().lexically_relative(dir).string();
    std::replace(rel.begin(), rel.end(), '/', '-');
    if (IsDesktopId(rel)) out.push_back({rel, it->path().string()});
  }
  std::sort(out.begin(), out.end(),
            [](const ScannedEntry& a, const ScannedEntry& b) { return a.id < b.id; });
  return out;
}

bool DeclaresType(const std::string& entry_path, const std::string& type) {
  std::optional<KeyFile> entry = KeyFile::Load(entry_path);
  const std::string* types = entry ? entry->Get("Desktop Entry", "MimeType") : nullptr;
  if (types == nullptr) return false;
  for (const std::string& t : SplitKeyFileList(*types)) {
    if (Lower(t) == type) return true;
  }
  return false;
}

}  // namespace

std::optional<std::string> FindDesktopEntry(const XdgDirs& dirs, std::string_view desktop_id) {
  if (!IsDesktopId(desktop_id)) return std::nullopt;
  for (const std::string& dir : ApplicationDirs(dirs)) {
    std::optional<std::string> path = FindIdBelow(dir, desktop_id, 0);
    if (!path) continue;
    // The first file with the ID decides, even when it hides the ID.
    std::optional<KeyFile> entry = KeyFile::Load(*path);
    if (!entry) return std::nullopt;
    const std::string* type = entry->Get("Desktop Entry", "Type");
    const std::string* hidden = entry->Get("Desktop Entry", "Hidden");
    if (type == nullptr || *type != "Application" || (hidden != nullptr && *hidden == "true")) {
      return std::nullopt;
    }
    return path;
  }
  return std::nullopt;
}

std::optional<std::string> DefaultApplicationFor(const XdgDirs& dirs, std::string_view mime_type) {
  const std::string type = Lower(mime_type);
  std::vector<KeyFile> lists;
  for (const std::string& path : MimeAppsFiles(dirs)) {
    if (auto file = KeyFile::Load(path)) lists.push_back(std::move(*file));
  }

  for (const KeyFile& list : lists) {
    for (const std::string& id : ListFor(list, "Default Applications", type)) {
      if (auto entry = FindDesktopEntry(dirs, id)) return entry;
    }
  }

  std::set<std::string> removed;
  for (const KeyFile& list : lists) {
    for (std::string& id : ListFor(list, "Removed Associations", type)) removed.insert(id);
    for (const std::string& id : ListFor(list, "Added Associations", type)) {
      if (removed.count(id) != 0) continue;
      if (auto entry = FindDesktopEntry(dirs, id)) return entry;
    }
  }

  for (const std::string& dir : ApplicationDirs(dirs)) {
    for (const ScannedEntry& scanned : DesktopEntriesIn(dir)) {
      if (removed.count(scanned.id) != 0 || !DeclaresType(scanned.path, type)) continue;
      // A file of the same ID earlier in the search path shadows this one.
      if (FindDesktopEntry(dirs, scanned.id) == scanned.path) return scanned.path;
    }
  }
  return std::nullopt;
}

}  // namespace kelvo
