// The small file-system steps the notification spool is made of (also
// used by kelvo-tun for the configuration it remembers). Each returns a failure's description, or nullopt.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelvo {

// mkdir that accepts an existing directory; a directory it creates gets
// exactly `mode` (the umask and mkdir's dropping of set-group-id undone).
std::optional<std::string> EnsureDirectory(const std::string& path, unsigned mode);

// Writes `dir`/`name` whole or not at all (temporary ".<name>.tmp-…" file,
// fsync, rename), with exactly `mode`.
std::optional<std::string> WriteFileAtomically(const std::string& dir, const std::string& name,
                                               std::string_view content, unsigned mode);

// Reads a regular file of at most `max_bytes`. `*missing` is set when the
// file does not exist (and the description is then "no such file").
std::optional<std::string> ReadSmallFile(const std::string& path, size_t max_bytes,
                                         std::string* out, bool* missing);

}  // namespace kelvo
