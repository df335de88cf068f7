#include "platform/fs/files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/fs/test_dir.h"

namespace kelvo {
namespace {

unsigned ModeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xffff;
}

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

long EntriesIn(const std::string& dir) {
  return std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator());
}

// Restores the umask when the test ends.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : saved_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(saved_); }

 private:
  mode_t saved_;
};

TEST(MakeDirectories, CreatesEveryMissingLevelWithExactlyTheModeWhateverTheUmask) {
  TestDir tmp;
  ScopedUmask mask(0);  // would leave 0777 on directories mkdir made as asked
  ASSERT_EQ(::mkdir((tmp.path() + "/open").c_str(), 0755), 0);
  EXPECT_EQ(MakeDirectories(tmp.path() + "/open/a/b//c/"), std::nullopt);
  EXPECT_EQ(ModeOf(tmp.path() + "/open"), 0755u);  // what existed keeps its mode
  for (const char* dir : {"/open/a", "/open/a/b", "/open/a/b/c"}) {
    EXPECT_EQ(ModeOf(tmp.path() + dir), 0700u) << dir;
  }
  ScopedUmask strict(077);
  EXPECT_EQ(MakeDirectories(tmp.path() + "/shared/x", 02770), std::nullopt);
  EXPECT_EQ(ModeOf(tmp.path() + "/shared/x"), 02770u);
  // Again: nothing to do is success.
  EXPECT_EQ(MakeDirectories(tmp.path() + "/shared/x", 02770), std::nullopt);
}

TEST(MakeDirectories, RefusesAFileInThePath) {
  TestDir tmp;
  std::ofstream(tmp.path() + "/file") << "x";
  std::optional<std::string> problem = MakeDirectories(tmp.path() + "/file/below");
  ASSERT_TRUE(problem);
  EXPECT_NE(problem->find(tmp.path() + "/file"), std::string::npos) << *problem;
  EXPECT_TRUE(MakeDirectories(tmp.path() + "/file"));
  EXPECT_TRUE(EnsureDirectory(tmp.path() + "/file", 0700));
}

TEST(WriteFileAtomically, ReplacesTheFileWithExactlyTheMode) {
  TestDir tmp;
  ScopedUmask mask(077);
  EXPECT_EQ(WriteFileAtomically(tmp.path(), "shared", "one", 0660), std::nullopt);
  EXPECT_EQ(ModeOf(tmp.path() + "/shared"), 0660u);
  ScopedUmask open(0);
  EXPECT_EQ(WriteFileAtomically(tmp.path() + "/shared", "two", kSecretFileMode), std::nullopt);
  EXPECT_EQ(Contents(tmp.path() + "/shared"), "two");
  EXPECT_EQ(ModeOf(tmp.path() + "/shared"), 0600u);
  // Nothing is left beside it.
  EXPECT_EQ(EntriesIn(tmp.path()), 1);
}

TEST(WriteFileAtomically, AFailedWriteLeavesTheOldFileAndNoTemporaryOne) {
  TestDir tmp;
  ASSERT_EQ(WriteFileAtomically(tmp.path(), "state", "old", 0600), std::nullopt);

  // A file-size limit makes the write itself fail, for root too.
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct sigaction ignore = {}, old_action;
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &old_action), 0);
  struct rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::optional<std::string> problem =
      WriteFileAtomically(tmp.path(), "state", std::string(64 * 1024, 'n'), 0600);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::sigaction(SIGXFSZ, &old_action, nullptr);

  ASSERT_TRUE(problem);
  EXPECT_NE(problem->find("cannot write"), std::string::npos) << *problem;
  EXPECT_EQ(Contents(tmp.path() + "/state"), "old");
  EXPECT_EQ(EntriesIn(tmp.path()), 1);

  // A directory that is not there: a failure, not a stray file elsewhere.
  EXPECT_TRUE(WriteFileAtomically(tmp.path() + "/missing", "state", "x", 0600));
}

TEST(Paths, TrailingSlashesAndParents) {
  EXPECT_EQ(WithoutTrailingSlashes("/a/b//"), "/a/b");
  EXPECT_EQ(WithoutTrailingSlashes("///"), "/");
  EXPECT_EQ(ParentOf("/a/b/"), "/a");
  EXPECT_EQ(ParentOf("/a"), "/");
  EXPECT_EQ(ParentOf("a"), ".");
}

}  // namespace
}  // namespace kelvo
