#include "platform/notifications/notification_center.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/dispatch/virtual_dispatch.h"
#include "platform/notifications/fake_notification_center.h"
#include "platform/notifications/notification_spool.h"

namespace kelvo {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Optional;

NotificationRequest Broken(const std::string& id) {
  return {id, {"Kelvo", "VPN tunnel is not responding.", true}, 1.0, false};
}

// What a callback saw, and whether it ran on the centre's queue.
template <typename T>
struct Seen {
  std::optional<T> value;
  bool on_queue = false;
  int calls = 0;
};

class AppGroupCenterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelvo-center-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    container_ = root_ + "/group.net.kelvo.app";
    fs::create_directory(container_);
    queue_ = dispatch_.CreateSerialQueue("notifications");
    center_ = MakeAppGroupNotificationCenter(container_, queue_,
                                             [this] { return dispatch_.WallSeconds(); });
  }
  void TearDown() override { fs::remove_all(root_); }

  Seen<AuthorizationStatus> Status() {
    Seen<AuthorizationStatus> seen;
    center_->GetAuthorizationStatus([&](AuthorizationStatus s) {
      seen.value = s;
      seen.on_queue = queue_->IsCurrent();
      ++seen.calls;
    });
    EXPECT_EQ(seen.calls, 0);  // never on the calling thread
    dispatch_.RunUntilIdle();
    return seen;
  }
  Seen<std::optional<std::string>> Add(NotificationRequest r) {
    Seen<std::optional<std::string>> seen;
    center_->Add(std::move(r), [&](std::optional<std::string> err) {
      seen.value = std::move(err);
      seen.on_queue = queue_->IsCurrent();
      ++seen.calls;
    });
    EXPECT_EQ(seen.calls, 0);
    dispatch_.RunUntilIdle();
    return seen;
  }

  VirtualDispatch dispatch_{1'800'000'000.0};
  std::string root_;
  std::string container_;
  std::shared_ptr<Queue> queue_;
  std::shared_ptr<NotificationCenter> center_;
};

TEST_F(AppGroupCenterTest, StatusFollowsWhatTheHostRecorded) {
  auto seen = Status();
  EXPECT_EQ(seen.calls, 1);
  EXPECT_TRUE(seen.on_queue);
  EXPECT_EQ(seen.value, AuthorizationStatus::notDetermined);

  ASSERT_EQ(RecordAuthorization(container_, AuthorizationStatus::provisional), std::nullopt);
  EXPECT_EQ(Status().value, AuthorizationStatus::provisional);

  std::ofstream(AuthorizationFilePath(container_)) << "{\"status\":";
  EXPECT_EQ(Status().value, AuthorizationStatus::notDetermined);
}

TEST_F(AppGroupCenterTest, AddSpoolsTheRequestStampedWithTheClock) {
  dispatch_.AdvanceBy(Seconds(2.5));
  auto seen = Add(Broken("kelvo.tunnel.broken.1800000002"));
  EXPECT_EQ(seen.calls, 1);
  EXPECT_TRUE(seen.on_queue);
  EXPECT_THAT(seen.value, Optional(std::optional<std::string>()));

  auto entries = SpoolReader(container_).Pending().entries;
  ASSERT_EQ(entries.size(), 1u);
  ASSERT_TRUE(entries[0].notification.has_value());
  EXPECT_EQ(entries[0].notification->request, Broken("kelvo.tunnel.broken.1800000002"));
  EXPECT_DOUBLE_EQ(entries[0].notification->created_at, 1'800'000'002.5);
}

TEST_F(AppGroupCenterTest, AddFailuresAreDescribedAndLeaveNothing) {
  NotificationRequest zero = Broken("a");
  zero.trigger_interval_seconds = 0;
  EXPECT_THAT(Add(zero).value, Optional(Optional(HasSubstr("greater than 0"))));
  EXPECT_THAT(Add(Broken("")).value, Optional(Optional(HasSubstr("identifier is empty"))));

  // A container under a regular file can never be written, even by root.
  std::ofstream(root_ + "/file") << "x";
  center_ = MakeAppGroupNotificationCenter(root_ + "/file/group", queue_);
  auto seen = Add(Broken("kelvo.tunnel.broken.1"));
  EXPECT_TRUE(seen.on_queue);
  EXPECT_THAT(seen.value, Optional(Optional(HasSubstr(root_ + "/file/group"))));
  EXPECT_TRUE(SpoolReader(container_).Pending().entries.empty());
}

TEST_F(AppGroupCenterTest, QueuedWorkOutlivesTheCentre) {
  int calls = 0;
  center_->Add(Broken("late"), [&](std::optional<std::string> err) {
    EXPECT_EQ(err, std::nullopt);
    ++calls;
  });
  center_.reset();
  dispatch_.RunUntilIdle();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(SpoolReader(container_).Pending().entries.size(), 1u);
}

TEST(FakeNotificationCenterTest, StatusFailuresAndRecordsOnItsQueue) {
  VirtualDispatch dispatch;
  auto queue = dispatch.CreateSerialQueue("fake-center");
  FakeNotificationCenter center(queue, AuthorizationStatus::denied);

  std::vector<std::string> events;
  auto record_status = [&](AuthorizationStatus s) {
    events.push_back("status " + std::to_string(static_cast<int>(s)) +
                     (queue->IsCurrent() ? "" : " off-queue"));
  };
  auto record_add = [&](std::optional<std::string> err) {
    events.push_back("add " + err.value_or("ok") + (queue->IsCurrent() ? "" : " off-queue"));
  };
  center.GetAuthorizationStatus(record_status);
  center.set_status(AuthorizationStatus::ephemeral);
  center.GetAuthorizationStatus(record_status);
  center.Add(Broken("one"), record_add);
  center.FailAddsWith("The operation couldn’t be completed.");
  center.Add(Broken("two"), record_add);
  center.FailAddsWith(std::nullopt);
  center.Add(Broken("three/bad"), record_add);
  EXPECT_TRUE(events.empty());
  dispatch.RunUntilIdle();

  EXPECT_THAT(events, ElementsAre("status 1", "status 4", "add ok",
                                  "add The operation couldn’t be completed.",
                                  "add the notification identifier \"three/bad\" starts with '.' "
                                  "or holds '/' or a NUL byte"));
  EXPECT_EQ(center.status_queries(), 2);
  EXPECT_THAT(center.requests(),
              ElementsAre(Broken("one"), Broken("two"), Broken("three/bad")));
}

}  // namespace
}  // namespace kelvo
