// Delivery of spooled notifications to the desktop, in virtual time.
#include "host/user_notification_center.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "host/testing/shell_fixture.h"
#include "platform/notifications/notification_spool.h"

namespace kelvo {
namespace {

using testing::ShellFixture;

class NotificationCenterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    container_ = *f.defaults->AppGroupContainer("group.net.kelvo.app");
    ASSERT_TRUE(f.defaults->Suite("group.net.kelvo.app"));  // makes the container
  }

  void Spool(const std::string& id, const std::string& body, bool sound = true,
             double trigger = 1.0, bool repeats = false) {
    SpooledNotification n{{id, {"Kelvo", body, sound}, trigger, repeats}, f.dispatch.WallSeconds()};
    ASSERT_EQ(SpoolNotification(container_, n), std::nullopt);
  }
  size_t Pending() { return SpoolReader(container_).Pending().entries.size(); }
  int LogLinesWith(const std::string& part) {
    auto texts = f.log_book->texts();
    return static_cast<int>(std::count_if(texts.begin(), texts.end(), [&](const std::string& t) {
      return t.find(part) != std::string::npos;
    }));
  }

  ShellFixture f;
  std::string container_;
};

TEST_F(NotificationCenterTest, DeliversDueRequestsWithTheForegroundPresentation) {
  f.center->SetDelegate(&f.delegate);
  f.center->Start();
  Spool("kelvo.tunnel.broken.1800000000", "VPN tunnel is not responding.", true);
  Spool("quiet", "", false, 5.0);
  f.dispatch.RunUntilIdle();
  EXPECT_TRUE(f.notifier->shown().empty());  // the 1 s trigger has not passed

  f.dispatch.AdvanceBy(std::chrono::seconds(2));
  ASSERT_EQ(f.notifier->shown().size(), 1u);
  EXPECT_EQ(f.notifier->shown()[0],
            (DesktopNotification{"Kelvo", "Kelvo", "VPN tunnel is not responding.",
                                 std::string("message-new-instant")}));
  EXPECT_EQ(Pending(), 1u);

  f.dispatch.AdvanceBy(std::chrono::seconds(4));
  ASSERT_EQ(f.notifier->shown().size(), 2u);
  EXPECT_EQ(f.notifier->shown()[1], (DesktopNotification{"Kelvo", "Kelvo", "", std::nullopt}));
  EXPECT_EQ(Pending(), 0u);
}

TEST_F(NotificationCenterTest, TheDelegatesOptionsDecideBannerAndSound) {
  struct Options : UserNotificationCenterDelegate {
    PresentationOptions options = 0;
    void WillPresent(const NotificationRequest&,
                     std::function<void(PresentationOptions)> done) override {
      done(options);
    }
  } delegate;
  f.center->SetDelegate(&delegate);
  delegate.options = kPresentBanner;  // no sound
  Spool("a", "body a", true);
  f.dispatch.AdvanceBy(std::chrono::seconds(2));
  f.center->PollNow();
  ASSERT_EQ(f.notifier->shown().size(), 1u);
  EXPECT_EQ(f.notifier->shown()[0].sound_name, std::nullopt);

  delegate.options = kPresentSound;  // no banner: not shown, and gone
  Spool("b", "body b", true);
  f.dispatch.AdvanceBy(std::chrono::seconds(2));
  f.center->PollNow();
  EXPECT_EQ(f.notifier->shown().size(), 1u);
  EXPECT_EQ(Pending(), 0u);

  f.center->SetDelegate(nullptr);  // the system's own: banner and sound
  Spool("c", "body c", true);
  f.dispatch.AdvanceBy(std::chrono::seconds(2));
  f.center->PollNow();
  ASSERT_EQ(f.notifier->shown().size(), 2u);
  EXPECT_EQ(f.notifier->shown()[1].sound_name, std::optional<std::string>("message-new-instant"));
}

TEST_F(NotificationCenterTest, WithoutTheServiceRequestsStaySpooledAndTheLogSaysSoOnce) {
  f.notifier->set_reachable(false);
  f.center->Start();
  Spool("a", "one");
  Spool("b", "two");
  f.dispatch.AdvanceBy(std::chrono::seconds(10));
  EXPECT_EQ(Pending(), 2u);
  EXPECT_EQ(LogLinesWith("cannot be reached"), 1);
  EXPECT_EQ(LogLinesWith("keeping 2 notification(s) spooled"), 1);

  f.notifier->set_reachable(true);
  f.dispatch.AdvanceBy(std::chrono::seconds(2));
  EXPECT_EQ(f.notifier->shown().size(), 2u);
  EXPECT_EQ(Pending(), 0u);
  EXPECT_EQ(LogLinesWith("answers again"), 1);
}

TEST_F(NotificationCenterTest, RefusedAndMalformedRequestsLeaveTheSpoolWithALogLine) {
  f.notifier->RefuseWith("invalid hints");
  Spool("refused", "x");
  std::ofstream(NotificationSpoolDir(container_) + "/broken.json") << "{not json";
  f.dispatch.AdvanceBy(std::chrono::seconds(2));
  f.center->PollNow();
  EXPECT_EQ(Pending(), 0u);
  EXPECT_EQ(LogLinesWith("refused by the desktop notification service: invalid hints"), 1);
  EXPECT_EQ(LogLinesWith("dropping spooled notification broken.json"), 1);
}

TEST_F(NotificationCenterTest, RepeatingRequestsComeBackEveryInterval) {
  f.center->Start();
  Spool("every-minute", "tick", false, 60, true);
  f.dispatch.AdvanceBy(std::chrono::seconds(59));
  EXPECT_EQ(f.notifier->shown().size(), 0u);
  f.dispatch.AdvanceBy(std::chrono::seconds(2));
  EXPECT_EQ(f.notifier->shown().size(), 1u);
  f.dispatch.AdvanceBy(std::chrono::seconds(60));
  EXPECT_EQ(f.notifier->shown().size(), 2u);
  EXPECT_EQ(Pending(), 1u);
}

}  // namespace
}  // namespace kelvo
