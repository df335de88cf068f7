// File dates as the package information reports them: a file's creation
// (birth) and modification times, and the millisecond strings sent to the
// user interface.
//
// Pure apart from reading file attributes; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kelvo {

// A point in time: seconds since 1 January 1970 UTC plus 0..999999999 ns.
struct FileDate {
  int64_t seconds = 0;
  uint32_t nanoseconds = 0;

  bool operator==(const FileDate&) const = default;
};

// The item's own dates (a final symbolic link is not followed, as the
// platform's file attributes are those of the link). nullopt when the item
// cannot be read or the file system keeps no such date (creation needs
// statx birth times: ext4, btrfs, xfs, tmpfs...).
std::optional<FileDate> CreationDate(const std::string& path);
std::optional<FileDate> ModificationDate(const std::string& path);

// The decimal number of whole milliseconds since the epoch, truncated
// toward zero (1.5 s after the epoch is "1500", 1.5 s before it "-1500");
// nullopt for none, and for a date too far away to count in int64.
std::optional<std::string> TimeMillisString(std::optional<FileDate> date);

}  // namespace kelvo
