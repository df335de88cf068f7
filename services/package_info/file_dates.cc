#include "services/package_info/file_dates.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace kelvo {
namespace {

std::optional<FileDate> StatxDate(const std::string& path, unsigned mask, bool birth) {
  struct statx st {};
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, mask, &st) != 0) return std::nullopt;
  if ((st.stx_mask & mask) == 0) return std::nullopt;
  const struct statx_timestamp& t = birth ? st.stx_btime : st.stx_mtime;
  return FileDate{t.tv_sec, t.tv_nsec};
}

}  // namespace

std::optional<FileDate> CreationDate(const std::string& path) {
  return StatxDate(path, STATX_BTIME, true);
}

std::optional<FileDate> ModificationDate(const std::string& path) {
  return StatxDate(path, STATX_MTIME, false);
}

std::optional<std::string> TimeMillisString(std::optional<FileDate> date) {
  if (!date || date->nanoseconds >= 1'000'000'000u) return std::nullopt;
  int64_t millis = 0;
  if (__builtin_mul_overflow(date->seconds, int64_t{1000}, &millis)) return std::nullopt;
  // Before the epoch the fraction pulls toward zero: round the part up.
  int64_t part = date->seconds < 0 ? (date->nanoseconds + 999'999) / 1'000'000
                                   : date->nanoseconds / 1'000'000;
  if (__builtin_add_overflow(millis, part, &millis)) return std::nullopt;
  return std::to_string(millis);
}

}  // namespace kelvo
