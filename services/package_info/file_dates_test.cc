#include "services/package_info/file_dates.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <limits>

#include "platform/fs/test_dir.h"

namespace kelvo {
namespace {

TEST(PackageInfoTimeMillis, WholeMillisecondsTruncatedTowardZero) {
  EXPECT_EQ(TimeMillisString(FileDate{1, 500'000'000}), "1500");
  EXPECT_EQ(TimeMillisString(FileDate{0, 999'999}), "0");
  EXPECT_EQ(TimeMillisString(FileDate{1'700'000'000, 123'999'999}), "1700000000123");
  // Before the epoch: -1.5 s is -2 s + 0.5 s.
  EXPECT_EQ(TimeMillisString(FileDate{-2, 500'000'000}), "-1500");
  EXPECT_EQ(TimeMillisString(FileDate{-1, 999'999}), "-999");
  EXPECT_EQ(TimeMillisString(FileDate{-1, 0}), "-1000");
  // None, and dates that do not fit.
  EXPECT_EQ(TimeMillisString(std::nullopt), std::nullopt);
  EXPECT_EQ(TimeMillisString(FileDate{std::numeric_limits<int64_t>::max() / 100, 0}), std::nullopt);
  EXPECT_EQ(TimeMillisString(FileDate{0, 1'000'000'000}), std::nullopt);
}

TEST(PackageInfoFileDates, ReadsTheItemsOwnDates) {
  TestDir dir;
  const std::string file = dir.path() + "/f";
  std::ofstream(file) << "x";
  struct timespec times[2] = {{0, UTIME_OMIT}, {1'600'000'000, 250'000'000}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  EXPECT_EQ(ModificationDate(file), (FileDate{1'600'000'000, 250'000'000}));
  // A symbolic link has dates of its own.
  const std::string link = dir.path() + "/l";
  std::filesystem::create_symlink(file, link);
  struct timespec link_times[2] = {{0, UTIME_OMIT}, {1'500'000'000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, link.c_str(), link_times, AT_SYMLINK_NOFOLLOW), 0);
  EXPECT_EQ(ModificationDate(link), (FileDate{1'500'000'000, 0}));

  EXPECT_EQ(ModificationDate(dir.path() + "/missing"), std::nullopt);
  EXPECT_EQ(CreationDate(dir.path() + "/missing"), std::nullopt);
  // Where the file system keeps birth times, a new file was born just now,
  // not at its (back-dated) modification time.
  if (auto born = CreationDate(file)) {
    EXPECT_GT(born->seconds, 1'600'000'000);
  }
}

}  // namespace
}  // namespace kelvo
