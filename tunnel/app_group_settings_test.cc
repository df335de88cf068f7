#include "tunnel/app_group_settings.h"

#include <unistd.h>

#include <filesystem>

#include "gtest/gtest.h"
#include "platform/defaults/fake_user_defaults.h"
#include "platform/defaults/user_defaults.h"

namespace kelvo {
namespace {

class AppGroupSettingsTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeDefaultsControls> controls_ = std::make_shared<FakeDefaultsControls>();
  std::unique_ptr<UserDefaultsSystem> system_ = MakeInMemoryUserDefaultsSystem(controls_);
  std::unique_ptr<AppGroupSettings> settings_ = MakeAppGroupSettings(system_.get());
};

TEST_F(AppGroupSettingsTest, FlagIsOnOnlyForExactlyOne) {
  settings_->WriteString("wd_enabled", "1");
  EXPECT_TRUE(settings_->Flag("wd_enabled"));
  for (const char* off : {"true", " 1", "1 ", "0", "", "01"}) {
    settings_->WriteString("wd_enabled", off);
    EXPECT_FALSE(settings_->Flag("wd_enabled")) << '"' << off << '"';
  }
  EXPECT_FALSE(settings_->Flag("wd_split_tunnel"));  // absent
}

TEST_F(AppGroupSettingsTest, ReadsStringsOnlyAndEveryReadIsFresh) {
  auto suite = system_->Suite(kAppGroupId);
  ASSERT_NE(suite, nullptr);
  ASSERT_TRUE(suite->Set("wd_enabled", 1));  // a number is not the flag "1"
  EXPECT_EQ(settings_->ReadString("wd_enabled"), std::nullopt);
  EXPECT_FALSE(settings_->Flag("wd_enabled"));

  // A change made behind the settings object shows at its next read.
  ASSERT_TRUE(suite->Set("wd_notif_body", "Texto nuevo"));
  EXPECT_EQ(settings_->ReadString("wd_notif_body"), "Texto nuevo");
  ASSERT_TRUE(suite->Remove("wd_notif_body"));
  EXPECT_EQ(settings_->ReadString("wd_notif_body"), std::nullopt);

  settings_->WriteString("wd_debug", "#1 start");
  EXPECT_EQ(suite->Get("wd_debug"), Value("#1 start"));
}

TEST_F(AppGroupSettingsTest, UnavailableSuiteReadsAbsentAndSkipsWrites) {
  settings_->WriteString("wd_enabled", "1");
  controls_->suites_available = false;
  EXPECT_FALSE(settings_->Available());
  EXPECT_EQ(settings_->ReadString("wd_enabled"), std::nullopt);
  EXPECT_FALSE(settings_->Flag("wd_enabled"));
  settings_->WriteString("wd_broken", "1");

  controls_->suites_available = true;
  EXPECT_TRUE(settings_->Available());
  EXPECT_TRUE(settings_->Flag("wd_enabled"));
  EXPECT_EQ(settings_->ReadString("wd_broken"), std::nullopt);  // that write was skipped
}

TEST_F(AppGroupSettingsTest, WritesThatFailAreSkippedQuietly) {
  controls_->writes_fail = true;
  settings_->WriteString("wd_access_token", "tok");
  EXPECT_TRUE(settings_->Available());
  EXPECT_EQ(settings_->ReadString("wd_access_token"), std::nullopt);
}

TEST(AppGroupSettingsOnDisk, ContainerRootDecidesAvailability) {
  std::string base = testing::TempDir() + "kelvo-app-group-" + std::to_string(getpid());
  std::filesystem::remove_all(base);
  DefaultsConfig config;
  config.app_group_root = base + "/root";
  config.data_home = base + "/data";
  auto system = OpenUserDefaultsSystem(config);
  auto settings = MakeAppGroupSettings(system.get());

  EXPECT_FALSE(settings->Available());
  settings->WriteString("wd_broken", "1");
  EXPECT_EQ(settings->ReadString("wd_broken"), std::nullopt);

  ASSERT_TRUE(std::filesystem::create_directories(config.app_group_root));
  EXPECT_TRUE(settings->Available());
  settings->WriteString("wd_broken", "1");
  EXPECT_TRUE(settings->Flag("wd_broken"));
  EXPECT_TRUE(std::filesystem::exists(config.app_group_root + "/" + kAppGroupId + "/" +
                                      kAppGroupDefaultsFile));
  std::filesystem::remove_all(base);
}

}  // namespace
}  // namespace kelvo
