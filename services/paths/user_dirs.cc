#include "services/paths/user_dirs.h"


#include "platform/fs/files.h"
#include <fstream>
#include <sstream>

namespace kelvo {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

std::string_view SkipBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

// Only blanks or a comment may follow a value.
bool OnlyCommentLeft(std::string_view s) {
  s = SkipBlanks(s);
  return s.empty() || s.front() == '#';
}

// Length of a leading $HOME / ${HOME} (0 when there is none). "$HOMEX" is
// another variable.
size_t HomePrefix(std::string_view s) {
  if (s.starts_with("${HOME}")) return 7;
  if (s.starts_with("$HOME") && (s.size() == 5 || !IsNameChar(s[5]))) return 5;
  return 0;
}

struct Word {
  bool home_relative = false;
  std::string text;  // after $HOME when home_relative
};

// The value as a shell would read it, or nullopt for what it would expand
// in a way this reader does not (other variables, command substitution) and
// for malformed quoting.
std::optional<Word> ReadValue(std::string_view s) {
  Word word;
  if (s.starts_with('\'')) {
    size_t end = s.find('\'', 1);
    if (end == std::string_view::npos || !OnlyCommentLeft(s.substr(end + 1))) return std::nullopt;
    word.text = std::string(s.substr(1, end - 1));
    return word;
  }
  const bool quoted = s.starts_with('"');
  if (quoted) s.remove_prefix(1);
  if (size_t n = HomePrefix(s)) {
    word.home_relative = true;
    s.remove_prefix(n);
  }
  size_t i = 0;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (quoted && c == '"') break;
    if (!quoted && (IsBlank(c) || c == '#')) break;
    if (c == '$' || c == '`') return std::nullopt;
    if (!quoted && (c == '"' || c == '\'')) return std::nullopt;
    if (c == '\\') {
      if (i + 1 == s.size()) return std::nullopt;
      char next = s[i + 1];
      if (!quoted || next == '$' || next == '`' || next == '"' || next == '\\') {
        word.text += next;
        ++i;
        continue;
      }
    }
    word.text += c;
  }
  if (quoted) {
    if (i == s.size()) return std::nullopt;  // unterminated
    ++i;                                     // the closing quote
  }
  if (!OnlyCommentLeft(s.substr(i))) return std::nullopt;
  return word;
}

// One line: the name and the path, or nullopt to skip it.
std::optional<std::pair<std::string, std::string>> ParseLine(std::string_view line,
                                                             const std::string& home) {
  line = SkipBlanks(line);
  size_t key_end = 0;
  while (key_end < line.size() && IsNameChar(line[key_end])) ++key_end;
  std::string_view key = line.substr(0, key_end);
  if (key.size() <= 8 || !key.starts_with("XDG_") || !key.ends_with("_DIR")) return std::nullopt;
  std::string_view rest = SkipBlanks(line.substr(key_end));
  if (!rest.starts_with('=')) return std::nullopt;
  std::optional<Word> word = ReadValue(SkipBlanks(rest.substr(1)));
  if (!word) return std::nullopt;

  std::string path;
  if (word->home_relative) {
    if (home.empty()) return std::nullopt;
    if (!word->text.empty() && word->text.front() != '/') return std::nullopt;
    // A home of "/" must not make "//x".
    path = (home == "/" && !word->text.empty() ? std::string() : home) + word->text;
  } else {
    if (word->text.empty() || word->text.front() != '/') return std::nullopt;
    path = std::move(word->text);
  }
  return std::make_pair(std::string(key.substr(4, key.size() - 8)),
                        WithoutTrailingSlashes(std::move(path)));
}

}  // namespace

std::map<std::string, std::string> ParseUserDirs(std::string_view text, const std::string& home) {
  std::map<std::string, std::string> dirs;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (auto entry = ParseLine(line, home)) dirs[entry->first] = std::move(entry->second);
  }
  return dirs;
}

std::optional<std::string> ReadUserDir(const std::string& file, const std::string& name,
                                       const std::string& home) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  auto dirs = ParseUserDirs(text.str(), home);
  auto it = dirs.find(name);
  if (it == dirs.end()) return std::nullopt;
  return it->second;
}

}  // namespace kelvo
