// The "key file" format of freedesktop.org desktop entries, mimeapps.list
// and mimeinfo.cache: [Group] headers, key=value lines, '#' comments.
// Only what finding an application needs: values are raw (no escapes, no
// locales), a repeated group is merged and the first value of a key wins.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvo {

class KeyFile {
 public:
  using Entries = std::vector<std::pair<std::string, std::string>>;

  // nullopt when the file cannot be read, is not a regular file, or is
  // larger than any such file should be (1 MiB).
  static std::optional<KeyFile> Load(const std::string& path);
  static KeyFile Parse(std::string_view text);

  // The value of `key` in `group`, or nullptr. Keys compare exactly.
  const std::string* Get(std::string_view group, std::string_view key) const;
  // Every entry of `group` in file order (empty when absent).
  const Entries& Group(std::string_view group) const;

 private:
  std::vector<std::pair<std::string, Entries>> groups_;
};

// "a;b;;c;" -> {"a", "b", "c"}: the string lists of key files.
std::vector<std::string> SplitKeyFileList(std::string_view value);

}  // namespace kelvo
