#include "platform/dispatch/asio_dispatch.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelvo {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr auto kBound = seconds(10);  // real-time cap for every wait here

bool Ready(std::future<void>& done) { return done.wait_for(kBound) == std::future_status::ready; }

TEST(AsioDispatchTest, SerialQueueIsFifoAndNeverConcurrent) {
  AsioDispatch d(4);
  auto q = d.CreateSerialQueue("serial");
  constexpr int kProducers = 3;
  constexpr int kPerProducer = 2000;
  std::atomic<int> active{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> out_of_order{0};
  std::vector<int> last_seen(kProducers, -1);  // written only by queue items
  int ran = 0;                                 // likewise
  std::promise<void> all_ran;

  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        q->Async([&, p, i] {
          if (active.fetch_add(1) != 0 || !q->IsCurrent()) ++overlaps;
          if (last_seen[p] != i - 1) ++out_of_order;
          last_seen[p] = i;
          if (++ran == kProducers * kPerProducer) all_ran.set_value();
          active.fetch_sub(1);
        });
      }
    });
  }
  for (auto& t : producers) t.join();
  auto done = all_ran.get_future();
  ASSERT_TRUE(Ready(done));
  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(out_of_order, 0);
  EXPECT_FALSE(q->IsCurrent());
}

TEST(AsioDispatchTest, DelayedWorkRunsByDeadlineAndNotEarly) {
  AsioDispatch d;
  auto q = d.CreateSerialQueue("delayed");
  std::mutex mu;
  std::vector<std::string> order;
  Duration late_ran_at{0};
  std::promise<void> finished;
  const Duration start = d.Monotonic();
  auto record = [&](std::string name) {
    return [&, name] {
      std::lock_guard lock(mu);
      order.push_back(name);
      if (name == "30ms") {
        late_ran_at = d.Monotonic();
        finished.set_value();
      }
    };
  };
  q->AsyncAfter(milliseconds(30), record("30ms"));
  q->AsyncAfter(milliseconds(10), record("10ms"));
  q->AsyncAfter(milliseconds(20), record("20ms"));
  q->Async(record("now"));
  auto done = finished.get_future();
  ASSERT_TRUE(Ready(done));
  std::lock_guard lock(mu);
  EXPECT_EQ(order, (std::vector<std::string>{"now", "10ms", "20ms", "30ms"}));
  EXPECT_GE(late_ran_at - start, ToDuration(milliseconds(30)));
}

TEST(AsioDispatchTest, TimerRepeatsUntilCancelledOnItsQueue) {
  AsioDispatch d;
  auto q = d.CreateSerialQueue("wd");
  const Duration start = d.Monotonic();

  // Cancelled from its own handler at the third firing; a later item on
  // the queue then checks that it stayed quiet.
  std::promise<void> settled;
  auto self_cancel = d.CreateTimer(q);
  std::vector<Duration> fired;  // touched only on q
  self_cancel->SetEventHandler([&] {
    EXPECT_TRUE(q->IsCurrent());
    fired.push_back(d.Monotonic() - start);
    if (fired.size() == 3) {
      self_cancel->Cancel();
      q->AsyncAfter(milliseconds(20), [&] { settled.set_value(); });
    }
  });
  self_cancel->Schedule(milliseconds(5), milliseconds(5), Duration(0));
  self_cancel->Resume();

  // Cancelled by an item of its queue that holds the queue past the timer's
  // deadline, so that the firing is already queued behind it.
  auto overtaken = d.CreateTimer(q);
  int overtaken_fires = 0;
  overtaken->SetEventHandler([&] { ++overtaken_fires; });
  std::promise<void> deadline_passed;
  auto passed = deadline_passed.get_future();
  q->Async([&] {
    EXPECT_EQ(passed.wait_for(kBound), std::future_status::ready);
    overtaken->Cancel();
  });
  overtaken->Schedule(milliseconds(1), milliseconds(1), Duration(0));
  overtaken->Resume();
  auto other = d.CreateSerialQueue("other");
  other->AsyncAfter(milliseconds(5), [&] { deadline_passed.set_value(); });

  auto done = settled.get_future();
  ASSERT_TRUE(Ready(done));
  ASSERT_EQ(fired.size(), 3u);
  for (size_t i = 0; i < fired.size(); ++i) {
    EXPECT_GE(fired[i], ToDuration(milliseconds(5 * (i + 1)))) << "firing " << i;
  }
  EXPECT_TRUE(self_cancel->IsCancelled());
  EXPECT_EQ(overtaken_fires, 0);
}

TEST(AsioDispatchTest, MainQueueRunsOnTheRunMainThreadUntilStopped) {
  AsioDispatch d;
  auto main = d.MainQueue();
  auto q = d.CreateSerialQueue("worker");
  std::atomic<bool> safety_net_fired{false};
  q->AsyncAfter(kBound, [&] {
    safety_net_fired = true;
    d.StopMain();
  });

  // A stop that comes first ends the next run at once.
  d.StopMain();
  d.RunMain();

  std::thread::id ran_on;
  bool was_current = false;
  main->Async([&] {
    ran_on = std::this_thread::get_id();
    was_current = main->IsCurrent() && !q->IsCurrent();
    q->Async([&] { d.StopMain(); });
  });
  d.RunMain();
  EXPECT_EQ(ran_on, std::this_thread::get_id());
  EXPECT_TRUE(was_current);

  d.StopMainOnSignals({SIGUSR2});
  main->Async([] { std::raise(SIGUSR2); });
  d.RunMain();
  EXPECT_FALSE(safety_net_fired);
}

TEST(AsioDispatchTest, MainQueueRunsDelayedWorkAndTimersByDeadline) {
  AsioDispatch d;
  auto main = d.MainQueue();
  auto q = d.CreateSerialQueue("worker");
  q->AsyncAfter(kBound, [&] { d.StopMain(); });  // safety net
  const Duration start = d.Monotonic();
  constexpr auto kLate = milliseconds(200);

  std::vector<std::string> order;  // touched only on the main queue
  Duration early_ran_at{0};
  Duration late_ran_at{0};
  int fired = 0;
  main->AsyncAfter(Duration::max(), [] { ADD_FAILURE() << "a never-due item ran"; });
  main->AsyncAfter(kLate, [&] {
    order.push_back("late");
    late_ran_at = d.Monotonic();
    d.StopMain();
  });
  main->Async([&] { order.push_back("now"); });
  auto timer = d.CreateTimer(main);
  timer->SetEventHandler([&] {
    EXPECT_TRUE(main->IsCurrent());
    if (++fired == 2) timer->Cancel();
  });
  timer->Schedule(milliseconds(5), milliseconds(5), Duration(0));
  timer->Resume();
  // Posted from another thread once the timer is done and the loop sleeps
  // towards "late": the earlier deadline must wake it.
  q->AsyncAfter(milliseconds(20), [&] {
    main->AsyncAfter(milliseconds(1), [&] {
      order.push_back("early");
      early_ran_at = d.Monotonic();
    });
  });

  d.RunMain();
  EXPECT_EQ(order, (std::vector<std::string>{"now", "early", "late"}));
  EXPECT_EQ(fired, 2);
  EXPECT_LT(early_ran_at - start, ToDuration(kLate));
  EXPECT_GE(late_ran_at - start, ToDuration(kLate));
  EXPECT_FALSE(main->IsCurrent());
}

// The main loop also sleeps on watched descriptors: a readable one runs its
// callback on the main queue, posted and delayed work still run on time
// while it sleeps there, and an unwatched one is left alone although it
// stays readable.
TEST(AsioDispatchTest, MainQueueRunsWatchedDescriptorsBesideItsWork) {
  AsioDispatch d;
  auto main = d.MainQueue();
  auto q = d.CreateSerialQueue("worker");
  q->AsyncAfter(kBound, [&] { d.StopMain(); });  // safety net
  ReadinessWatcher* watcher = main->readiness();
  ASSERT_NE(watcher, nullptr);
  EXPECT_EQ(q->readiness(), nullptr);
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);

  std::string got;  // main queue only
  bool on_main = true;
  ReadinessWatcher::WatchId id = 0;
  id = watcher->WatchReadable(fds[0], [&] {
    on_main = on_main && main->IsCurrent();
    char buf[16];
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<size_t>(n));
    if (got == "ab") {
      // Readable again, but no longer watched: only the stop below runs.
      watcher->Unwatch(id);
      ASSERT_EQ(::write(fds[1], "c", 1), 1);
      main->AsyncAfter(milliseconds(30), [&] { d.StopMain(); });
    }
  });
  EXPECT_NE(id, 0u);
  bool delayed_ran = false;
  // Written from another thread while the loop sleeps in its wait.
  q->AsyncAfter(milliseconds(10), [&] { ASSERT_EQ(::write(fds[1], "a", 1), 1); });
  main->AsyncAfter(milliseconds(20), [&] {
    delayed_ran = true;
    q->Async([&] { main->Async([&] { ASSERT_EQ(::write(fds[1], "b", 1), 1); }); });
  });
  d.RunMain();
  EXPECT_EQ(got, "ab");
  EXPECT_TRUE(on_main);
  EXPECT_TRUE(delayed_ran);
  watcher->Unwatch(id);  // twice is harmless
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(AsioDispatchTest, DestructionDropsPendingWorkAndReleasesIt) {
  auto sentinel = std::make_shared<int>(0);
  std::weak_ptr<int> watch = sentinel;
  std::shared_ptr<Queue> survivor;
  std::shared_ptr<TimerSource> timer;
  std::atomic<int> ran{0};
  std::atomic<bool> main_ran{false};
  {
    AsioDispatch d;
    survivor = d.CreateSerialQueue("q");
    auto main = d.MainQueue();
    // Cycles through the queues: item -> queue -> pending item.
    survivor->AsyncAfter(seconds(3600), [q = survivor, sentinel] { ++*sentinel; });
    main->Async([main, sentinel, &main_ran] { main_ran = true; });
    for (int i = 0; i < 1000; ++i) {
      survivor->Async([q = survivor, sentinel, &ran] { ++ran; });
    }
    timer = d.CreateTimer(survivor);
    timer->SetEventHandler([q = survivor] {});
    timer->Schedule(seconds(3600), seconds(3600), Duration(0));
    timer->Resume();
    sentinel.reset();
  }
  EXPECT_TRUE(watch.expired());
  EXPECT_FALSE(main_ran);
  EXPECT_LE(ran, 1000);
  survivor->Async([] { ADD_FAILURE() << "ran after the dispatch was gone"; });
  survivor->AsyncAfter(milliseconds(1), [] { ADD_FAILURE() << "ran after the dispatch was gone"; });
  timer->Schedule(milliseconds(1), milliseconds(1), Duration(0));
  timer->Cancel();
}

}  // namespace
}  // namespace kelvo
