// Private directories and whole-or-nothing file writes: the one place the
// programs create directories and replace files.
//
// Every function returns a failure's description ("<what> <path>: <reason>",
// with errno left at the reason, for callers that answer with the system's
// description alone), or nullopt on success. Modes are exact: the umask and mkdir's dropping of
// the set-group-id bit are undone on what these functions create; what
// already exists keeps its mode. Plain functions, safe from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kelvo {

// Directories that hold secrets or per-user state.
inline constexpr unsigned kPrivateDirectoryMode = 0700;
// Files that hold secrets.
inline constexpr unsigned kSecretFileMode = 0600;

// "/a/b/" -> "/a/b"; "/" stays "/".
std::string WithoutTrailingSlashes(std::string path);

// The directory above `path` ("." for a bare name or "/", "/" for "/x").
std::string ParentOf(const std::string& path);

// "<what> <path>: <strerror(err)>"; sets errno to `err`.
std::string FileFailure(std::string_view what, const std::string& path, int err);

// mkdir of one level that accepts an existing directory (not another kind
// of file); a directory it creates gets exactly `mode`.
std::optional<std::string> EnsureDirectory(const std::string& path, unsigned mode);

// mkdir -p: every missing directory down to `dir` is created with exactly
// `mode`; existing ones are left alone.
std::optional<std::string> MakeDirectories(const std::string& dir,
                                           unsigned mode = kPrivateDirectoryMode);

// Replaces `dir`/`name` whole or not at all: a temporary ".<name>.tmp-…"
// file (readers of the directory skip dot files) with exactly `mode`,
// written, fsynced, renamed over the target, then the directory fsynced so
// the rename survives a crash. On failure the old file is untouched and the
// temporary file removed.
std::optional<std::string> WriteFileAtomically(const std::string& dir, const std::string& name,
                                               std::string_view content, unsigned mode);

// WriteFileAtomically for a full path.
std::optional<std::string> WriteFileAtomically(const std::string& path, std::string_view content,
                                               unsigned mode);

// Reads a regular file of at most `max_bytes` (links not followed).
// `*missing` is set when the file does not exist.
std::optional<std::string> ReadSmallFile(const std::string& path, size_t max_bytes,
                                         std::string* out, bool* missing);

// Writes all of `data` to `fd`, retrying on EINTR; false with errno set.
bool WriteAll(int fd, const void* data, size_t size);

// fsync of a directory, so that names created or removed in it last.
std::optional<std::string> SyncDirectory(const std::string& dir);

}  // namespace kelvo
