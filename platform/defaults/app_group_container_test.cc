// The one place that makes the App Group container, against real
// directories: what it makes, and what it refuses to use.
#include "platform/defaults/app_group_container.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/defaults/defaults_failure.h"
#include "platform/fs/test_dir.h"
#include "platform/defaults/user_defaults.h"
#include "platform/engine/peer_access.h"

namespace kelvo {
namespace {

constexpr const char* kGroupId = "group.net.kelvo.app";

struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st;
}

class AppGroupContainerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_.path() + "/app-groups";
    container_ = root_ + "/" + kGroupId;
    ASSERT_EQ(::mkdir(root_.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);
  }
  // A group this process may give files to: its own.
  std::string own_group_ = GroupName(::getegid());
  TestDir dir_;
  std::string root_, container_;
};

TEST_F(AppGroupContainerTest, MakesTheContainerWithItsModeAndGroupWhateverTheUmask) {
  mode_t old = ::umask(077);
  EXPECT_EQ(EnsureAppGroupContainer(root_, kGroupId, own_group_), std::nullopt);
  ::umask(old);
  struct stat st = StatOf(container_);
  EXPECT_EQ(st.st_mode & 07777, 02770u);
  EXPECT_EQ(st.st_gid, ::getegid());
  // Found again as it is: nothing to do, nothing changed.
  EXPECT_EQ(EnsureAppGroupContainer(root_, kGroupId, own_group_), std::nullopt);
  // A group that does not exist constrains nothing.
  EXPECT_EQ(EnsureAppGroupContainer(root_, kGroupId, "k13-no-such-group"), std::nullopt);
}

TEST_F(AppGroupContainerTest, ThreadsMakingItAtOnceAllFindItSound) {
  // A container seen half made (before its mode is set) would be refused
  // as a wrong mode by whoever came second.
  for (int round = 0; round < 20; ++round) {
    const std::string id = std::string(kGroupId) + "." + std::to_string(round);
    std::vector<std::optional<std::string>> problems(6);
    std::vector<std::thread> threads;
    for (auto& problem : problems) {
      threads.emplace_back([&, id] { problem = EnsureAppGroupContainer(root_, id, own_group_); });
    }
    for (auto& thread : threads) thread.join();
    for (const auto& problem : problems) EXPECT_EQ(problem, std::nullopt) << *problem;
  }
  // No draft is left beside the containers.
  size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(root_)) {
    EXPECT_EQ(entry.path().filename().string().find(".new-"), std::string::npos);
    ++entries;
  }
  EXPECT_EQ(entries, 20u);
}

TEST_F(AppGroupContainerTest, ReportsAContainerOfAnotherModeAndLeavesItAlone) {
  ASSERT_EQ(::mkdir(container_.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(container_.c_str(), 0755), 0);
  auto problem = EnsureAppGroupContainer(root_, kGroupId, own_group_);
  ASSERT_TRUE(problem);
  EXPECT_NE(problem->find(container_ + " has mode 0755"), std::string::npos) << *problem;
  EXPECT_NE(problem->find("expected mode 2770, group " + own_group_), std::string::npos)
      << *problem;
  EXPECT_EQ(StatOf(container_).st_mode & 07777, 0755u);

  // The suite does not open on it, and says why.
  DefaultsConfig config;
  config.app_group_root = root_;
  config.data_home = dir_.path() + "/data";
  EXPECT_EQ(OpenUserDefaultsSystem(config)->Suite(kGroupId), nullptr);
  EXPECT_NE(LastDefaultsFailure().find(container_), std::string::npos) << LastDefaultsFailure();
}

TEST_F(AppGroupContainerTest, ReportsARootOrContainerThatCannotBeUsed) {
  std::string missing = dir_.path() + "/no-root";
  auto problem = EnsureAppGroupContainer(missing, kGroupId, own_group_);
  ASSERT_TRUE(problem);
  EXPECT_NE(problem->find("the App Group root " + missing), std::string::npos) << *problem;
  EXPECT_FALSE(std::filesystem::exists(missing)) << "the root is made at install, not here";

  // Anyone could plant a container in a root everyone may write.
  ASSERT_EQ(::chmod(root_.c_str(), 0777), 0);
  problem = EnsureAppGroupContainer(root_, kGroupId, own_group_);
  ASSERT_TRUE(problem);
  EXPECT_NE(problem->find("writable by everyone"), std::string::npos) << *problem;
  EXPECT_FALSE(std::filesystem::exists(container_));
  ASSERT_EQ(::chmod(root_.c_str(), 01777), 0);  // sticky, as /tmp: fine
  EXPECT_EQ(EnsureAppGroupContainer(root_, kGroupId, own_group_), std::nullopt);

  std::filesystem::remove_all(container_);
  std::ofstream(container_) << "not a directory";
  problem = EnsureAppGroupContainer(root_, kGroupId, own_group_);
  ASSERT_TRUE(problem);
  EXPECT_NE(problem->find(container_ + " is not a directory"), std::string::npos) << *problem;

  EXPECT_TRUE(EnsureAppGroupContainer("relative", kGroupId, own_group_));
}

TEST_F(AppGroupContainerTest, SaysWhyARootItMayNotWriteGivesNoContainer) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
  ASSERT_EQ(::chmod(root_.c_str(), 0555), 0);
  auto problem = EnsureAppGroupContainer(root_, kGroupId, own_group_);
  ::chmod(root_.c_str(), 0755);
  ASSERT_TRUE(problem);
  EXPECT_NE(problem->find("cannot create the App Group container " + container_),
            std::string::npos)
      << *problem;
  EXPECT_NE(problem->find("expected the container to exist"), std::string::npos) << *problem;
}

}  // namespace
}  // namespace kelvo
