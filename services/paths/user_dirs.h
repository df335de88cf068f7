// The XDG user-directories file ($XDG_CONFIG_HOME/user-dirs.dirs), read the
// way a shell sourcing it would, as xdg-user-dirs-update writes it:
//
//   # comment
//   XDG_DOCUMENTS_DIR="$HOME/Documents"
//   XDG_DOWNLOAD_DIR="/srv/downloads"
//
// A value is double-quoted (a backslash escapes $ ` " and \), single-quoted
// (literal) or bare (a backslash escapes any character, a blank ends it).
// It must be $HOME (or ${HOME}), unquoted or in double quotes at its very
// start and followed by nothing or "/...", or an absolute path. A line of
// any other form (a relative path, another variable, a command
// substitution, an unterminated quote, text after the value) is skipped,
// so the directory falls back to its default rather than to a guess. When a
// name appears twice the last line wins, as when sourced.
//
// A value of $HOME alone gives the home directory itself (the file's way of
// disabling a directory; the desktop's own lookups answer the same).
//
// Pure functions; safe from any thread.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kelvo {

// NAME of each XDG_NAME_DIR line ("DOCUMENTS", "DOWNLOAD") -> absolute path
// without trailing slashes. $HOME-relative lines are skipped when `home` is
// empty (unknown).
std::map<std::string, std::string> ParseUserDirs(std::string_view text, const std::string& home);

// The entry `name` of the file at `file`, read now; nullopt when the file or
// the entry is missing or unusable.
std::optional<std::string> ReadUserDir(const std::string& file, const std::string& name,
                                       const std::string& home);

}  // namespace kelvo
