// The logind monitor against a fake logind on a private bus: the state read
// at start, lock and unlock events, what must not count as a change, and
// what happens without logind. Real D-Bus traffic on a local socket: waits
// are bounded.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <systemd/sd-bus.h>

#include <mutex>
#include <thread>

#include "platform/desktop_notify/fake_session_bus.h"
#include "platform/dispatch/virtual_dispatch.h"
#include "platform/session_lock/fake_login1.h"
#include "platform/session_lock/protected_data_monitor.h"

namespace kelvo {
namespace {

class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("XDG_SESSION_ID");  // the "auto" session unless a test names one
    bus_ = std::make_unique<FakeSessionBus>();
    if (std::optional<std::string> error = bus_->Start()) GTEST_SKIP() << *error;
  }

  std::unique_ptr<ProtectedDataMonitor> StartMonitor(std::string session_id = "") {
    LogindMonitorOptions options;
    options.bus_address = bus_->address();
    options.session_id = std::move(session_id);
    options.log = [this](const std::string& line) {
      std::lock_guard lock(mu_);
      log_.push_back(line);
    };
    auto monitor = MakeLogindProtectedDataMonitor(dispatch_.MainQueue(), options);
    monitor->Start([this](bool available) {
      EXPECT_TRUE(dispatch_.MainQueue()->IsCurrent());
      events_.push_back(available);
    });
    return monitor;
  }

  // Waits (bounded) for the count-th event.
  bool WaitForEvents(size_t count) {
    return dispatch_.RunUntil([&] { return events_.size() >= count; }, Duration(0),
                              std::chrono::seconds(5));
  }
  // Lets real bus traffic arrive for a moment; used only to show that
  // something does NOT happen.
  void Settle() {
    dispatch_.RunUntil([] { return false; }, Duration(0), std::chrono::milliseconds(300));
  }
  std::vector<std::string> log() {
    std::lock_guard lock(mu_);
    return log_;
  }

  VirtualDispatch dispatch_;
  std::unique_ptr<FakeSessionBus> bus_;
  FakeLogin1 logind_;
  std::vector<bool> events_;
  std::mutex mu_;
  std::vector<std::string> log_;
};

TEST_F(MonitorTest, FollowsTheLockStateOfTheAutoSession) {
  ASSERT_EQ(logind_.Start(bus_->address(), "c7", /*locked=*/true), std::nullopt);
  auto monitor = StartMonitor();
  EXPECT_FALSE(monitor->IsProtectedDataAvailable());  // read at start, no event for it
  Settle();
  EXPECT_TRUE(events_.empty());

  logind_.SetLockedHint(false);
  ASSERT_TRUE(WaitForEvents(1));
  EXPECT_EQ(events_, std::vector<bool>{true});
  EXPECT_TRUE(monitor->IsProtectedDataAvailable());

  logind_.SetLockedHint(true);
  ASSERT_TRUE(WaitForEvents(2));
  EXPECT_EQ(events_, (std::vector<bool>{true, false}));
  EXPECT_FALSE(monitor->IsProtectedDataAvailable());

  // Announced only as invalidated: the monitor reads the value again.
  logind_.SetLockedHint(false, FakeLogin1::Announce::kInvalidation);
  ASSERT_TRUE(WaitForEvents(3));
  EXPECT_EQ(events_, (std::vector<bool>{true, false, true}));
  EXPECT_TRUE(log().empty());
}

TEST_F(MonitorTest, OnlyRealChangesOfLogindsOwnSessionCount) {
  ASSERT_EQ(logind_.Start(bus_->address(), "4", /*locked=*/false), std::nullopt);
  auto monitor = StartMonitor("4");
  EXPECT_TRUE(monitor->IsProtectedDataAvailable());

  // Another property, and the same lock state announced again.
  logind_.AnnounceUnrelatedChange();
  logind_.SetLockedHint(false);
  // Anyone on the bus may emit a signal with the session's path; only
  // logind's own are believed.
  sd_bus* spoofer = nullptr;
  ASSERT_GE(sd_bus_new(&spoofer), 0);
  sd_bus_set_address(spoofer, bus_->address().c_str());
  sd_bus_set_bus_client(spoofer, 1);
  ASSERT_GE(sd_bus_start(spoofer), 0);
  ASSERT_GE(sd_bus_emit_signal(spoofer, logind_.session_path().c_str(),
                               "org.freedesktop.DBus.Properties", "PropertiesChanged", "sa{sv}as",
                               kLogindSessionInterface, 1, "LockedHint", "b", 1, 0),
            0);
  sd_bus_flush_close_unref(spoofer);
  Settle();
  EXPECT_TRUE(events_.empty());
  EXPECT_TRUE(monitor->IsProtectedDataAvailable());

  // The real lock still comes through after all that.
  logind_.SetLockedHint(true);
  ASSERT_TRUE(WaitForEvents(1));
  EXPECT_EQ(events_, std::vector<bool>{false});
}

TEST_F(MonitorTest, WithoutLogindTheDataStayAvailable) {
  // A bus without logind, then a session logind does not know.
  auto monitor = StartMonitor();
  EXPECT_TRUE(monitor->IsProtectedDataAvailable());
  ASSERT_EQ(logind_.Start(bus_->address(), "1", /*locked=*/true), std::nullopt);
  auto unknown_session = StartMonitor("99");
  EXPECT_TRUE(unknown_session->IsProtectedDataAvailable());
  logind_.SetLockedHint(false);
  logind_.SetLockedHint(true);
  Settle();
  EXPECT_TRUE(events_.empty());
  ASSERT_EQ(log().size(), 2u);
  EXPECT_NE(log()[0].find("logind is not reachable"), std::string::npos) << log()[0];
  EXPECT_NE(log()[1].find("no session 99"), std::string::npos) << log()[1];

  // No bus at all.
  LogindMonitorOptions options;
  options.bus_address = "unix:path=/nonexistent/kelvo-no-bus";
  auto no_bus = MakeLogindProtectedDataMonitor(dispatch_.MainQueue(), options);
  no_bus->Start([this](bool available) { events_.push_back(available); });
  EXPECT_TRUE(no_bus->IsProtectedDataAvailable());
}

TEST_F(MonitorTest, LosingTheBusWhileLockedMakesTheDataAvailable) {
  ASSERT_EQ(logind_.Start(bus_->address(), "2", /*locked=*/true), std::nullopt);
  auto monitor = StartMonitor("2");
  EXPECT_FALSE(monitor->IsProtectedDataAvailable());
  logind_.Stop();
  bus_.reset();  // the daemon goes
  ASSERT_TRUE(WaitForEvents(1));
  EXPECT_EQ(events_, std::vector<bool>{true});
  EXPECT_TRUE(monitor->IsProtectedDataAvailable());
}

TEST_F(MonitorTest, NoEventAfterStop) {
  ASSERT_EQ(logind_.Start(bus_->address(), "3", /*locked=*/false), std::nullopt);
  auto monitor = StartMonitor("3");
  logind_.SetLockedHint(true);
  // The change reaches the monitor (which then queues the event) while the
  // main queue does not run; Stop comes before the queue does.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (monitor->IsProtectedDataAvailable() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_FALSE(monitor->IsProtectedDataAvailable());
  EXPECT_EQ(dispatch_.PendingCount(), 1u);
  monitor->Stop();
  monitor->Stop();  // idempotent
  dispatch_.RunUntilIdle();
  EXPECT_TRUE(events_.empty());
}

}  // namespace
}  // namespace kelvo
