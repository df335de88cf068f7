// The sd-bus notifier against a fake service on a private session bus.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/desktop_notify/desktop_notifier.h"
#include "platform/desktop_notify/fake_notification_service.h"
#include "platform/desktop_notify/fake_session_bus.h"

namespace kelvo {
namespace {

class SessionBusNotifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto error = bus_.Start()) GTEST_SKIP() << *error;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", bus_.address().c_str(), 1);
  }
  FakeSessionBus bus_;
};

TEST_F(SessionBusNotifierTest, ShowsNotificationsWithTheSoundHints) {
  FakeNotificationService service;
  ASSERT_EQ(service.Start(bus_.address()), std::nullopt);
  auto notifier = MakeSessionBusNotifier();
  EXPECT_EQ(notifier->CheckReachable(), std::nullopt);

  NotifyOutcome first = notifier->Notify({"Kelvo", "Título", "cuerpo → ok", "message-new-instant"});
  ASSERT_TRUE(first.ok()) << first.error;
  NotifyOutcome second = notifier->Notify({"Kelvo", "Quiet", "", std::nullopt});
  ASSERT_TRUE(second.ok()) << second.error;
  EXPECT_NE(*first.id, *second.id);

  auto got = service.received();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].app_name, "Kelvo");
  EXPECT_EQ(got[0].summary, "Título");
  EXPECT_EQ(got[0].body, "cuerpo → ok");
  EXPECT_EQ(got[0].replaces_id, 0u);
  EXPECT_EQ(got[0].expire_timeout, -1);
  EXPECT_EQ(got[0].hints,
            (std::map<std::string, std::string>{{"sound-name", "message-new-instant"}}));
  EXPECT_EQ(got[1].hints, (std::map<std::string, std::string>{{"suppress-sound", "true"}}));
}

TEST_F(SessionBusNotifierTest, NoServiceIsUnreachableAndItRecoversWhenOneComes) {
  auto notifier = MakeSessionBusNotifier();
  EXPECT_NE(notifier->CheckReachable(), std::nullopt);
  NotifyOutcome missing = notifier->Notify({"Kelvo", "t", "b", std::nullopt});
  EXPECT_FALSE(missing.ok());
  EXPECT_TRUE(missing.unreachable);
  EXPECT_FALSE(missing.error.empty());

  FakeNotificationService service;
  ASSERT_EQ(service.Start(bus_.address()), std::nullopt);
  EXPECT_TRUE(notifier->Notify({"Kelvo", "t", "b", std::nullopt}).ok());
}

TEST(SessionBusNotifierNoBus, AMissingBusIsUnreachable) {
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kelvo-test-bus", 1);
  auto notifier = MakeSessionBusNotifier();
  NotifyOutcome outcome = notifier->Notify({"Kelvo", "t", "b", std::nullopt});
  EXPECT_TRUE(outcome.unreachable);
  EXPECT_NE(outcome.error.find("session bus"), std::string::npos) << outcome.error;
}

}  // namespace
}  // namespace kelvo
