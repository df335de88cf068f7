#include "platform/tunnels/tunnel_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace kelvo {
namespace {

namespace fs = std::filesystem;

TEST(TunnelProfilesTest, LoadsInFileNameOrderAndSkipsBadFiles) {
  fs::path dir = fs::temp_directory_path() / ("kelvo-profiles-" + std::to_string(getpid()));
  fs::remove_all(dir);
  EXPECT_TRUE(LoadTunnelProfiles(dir.string()).profiles.empty()) << "no directory, no profiles";
  EXPECT_FALSE(LoadTunnelProfiles(dir.string()).error);

  ASSERT_FALSE(WriteTunnelProfile(dir.string(), "b.json", {"second", "/run/b.sock", ""}));
  ASSERT_FALSE(WriteTunnelProfile(dir.string(), "a.json", {"first", "/run/a.sock", ""}));
  std::ofstream(dir / "c.json") << R"({"name": 3})";
  std::ofstream(dir / "d.json") << "not json";
  std::ofstream(dir / "notes.txt") << "ignored";
  std::vector<std::string> skipped;
  auto load = LoadTunnelProfiles(dir.string(), [&](const std::string& s) { skipped.push_back(s); });
  ASSERT_EQ(load.profiles.size(), 2u);
  EXPECT_EQ(load.profiles[0], (TunnelProfile{"first", "/run/a.sock", "a.json"}));
  EXPECT_EQ(load.profiles[1].name, "second");
  EXPECT_EQ(skipped.size(), 2u);

  struct stat st {};
  ASSERT_EQ(::stat((dir / "a.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);

  EXPECT_TRUE(WriteTunnelProfile(dir.string(), "../x.json", {"x", "y", ""}));
  EXPECT_FALSE(RemoveTunnelProfile(dir.string(), "a.json"));
  EXPECT_FALSE(RemoveTunnelProfile(dir.string(), "a.json")) << "removing twice is fine";
  EXPECT_EQ(LoadTunnelProfiles(dir.string()).profiles.size(), 1u);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kelvo
