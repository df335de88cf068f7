#include "platform/dispatch/virtual_dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kelvo {
namespace {

using std::chrono::seconds;

TEST(VirtualDispatchTest, RunsByDeadlineThenSubmissionOrderOnTheClock) {
  VirtualDispatch d(1000.0);
  auto a = d.CreateSerialQueue("a");
  auto b = d.CreateSerialQueue("b");
  std::vector<std::string> order;
  a->AsyncAfter(Seconds(2.5), [&] {
    order.push_back("a2");
    EXPECT_DOUBLE_EQ(d.WallSeconds(), 1002.5);
    EXPECT_TRUE(a->IsCurrent());
    EXPECT_FALSE(b->IsCurrent());
  });
  b->AsyncAfter(seconds(1), [&] { order.push_back("b1"); });
  a->AsyncAfter(seconds(1), [&] { order.push_back("a1"); });
  a->Async([&] {
    order.push_back("a0");
    // Made due now by a running item: runs in the same pass, after b0.
    a->Async([&] { order.push_back("a0-inner"); });
  });
  b->Async([&] { order.push_back("b0"); });

  EXPECT_EQ(d.PendingCount(), 5u);
  d.RunUntilIdle();
  EXPECT_EQ(order, (std::vector<std::string>{"a0", "b0", "a0-inner"}));
  EXPECT_EQ(d.Now(), Duration(0));
  d.AdvanceBy(seconds(1));
  EXPECT_EQ(order, (std::vector<std::string>{"a0", "b0", "a0-inner", "b1", "a1"}));
  d.AdvanceBy(seconds(10));
  EXPECT_EQ(order.back(), "a2");
  EXPECT_FALSE(a->IsCurrent());
  EXPECT_EQ(d.PendingCount(), 0u);
  EXPECT_EQ(d.Monotonic(), ToDuration(seconds(11)));
  EXPECT_DOUBLE_EQ(d.WallSeconds(), 1011.0);
}

TEST(VirtualDispatchTest, RepeatingTimerFiresAtEachPeriodBoundary) {
  VirtualDispatch d;
  auto q = d.CreateSerialQueue("wd");
  auto timer = d.CreateTimer(q);
  std::vector<Duration> fired;
  timer->Schedule(seconds(30), seconds(30), Duration(0));
  timer->SetEventHandler([&] {
    EXPECT_TRUE(q->IsCurrent());
    fired.push_back(d.Now());
  });
  auto suspended = d.CreateTimer(q);
  suspended->SetEventHandler([] { ADD_FAILURE() << "fired without Resume"; });
  suspended->Schedule(seconds(1), seconds(1), Duration(0));

  timer->Resume();
  d.AdvanceBy(seconds(95));
  EXPECT_EQ(fired, (std::vector<Duration>{ToDuration(seconds(30)), ToDuration(seconds(60)),
                                          ToDuration(seconds(90))}));
  EXPECT_EQ(d.PendingCount(), 1u);

  timer->Cancel();
  EXPECT_TRUE(timer->IsCancelled());
  EXPECT_EQ(d.PendingCount(), 0u);
  d.AdvanceBy(seconds(300));
  EXPECT_EQ(fired.size(), 3u);
}

TEST(VirtualDispatchTest, TimerCancelAndRescheduleFromItsHandler) {
  VirtualDispatch d;
  auto q = d.CreateSerialQueue("wd");

  auto cancelled = d.CreateTimer(q);
  int cancelled_fires = 0;
  cancelled->SetEventHandler([&] {
    if (++cancelled_fires == 2) cancelled->Cancel();
  });
  cancelled->Schedule(seconds(1), seconds(1), Duration(0));
  cancelled->Resume();

  // An item due with the third firing, queued before it, cancels it: the
  // firing must not run afterwards on the same queue.
  auto raced = d.CreateTimer(q);
  int raced_fires = 0;
  raced->SetEventHandler([&] { ++raced_fires; });
  q->AsyncAfter(seconds(3), [&] { raced->Cancel(); });
  raced->Schedule(seconds(3), seconds(1), Duration(0));
  raced->Resume();

  // Re-arming from the handler replaces the period: 1, then every 5.
  auto rearmed = d.CreateTimer(q);
  std::vector<Duration> rearmed_at;
  rearmed->SetEventHandler([&] {
    rearmed_at.push_back(d.Now());
    if (rearmed_at.size() == 1) rearmed->Schedule(seconds(5), seconds(5), Duration(0));
  });
  rearmed->Schedule(seconds(1), seconds(1), Duration(0));
  rearmed->Resume();

  // A one-shot fires once.
  auto once = d.CreateTimer(q);
  int once_fires = 0;
  once->SetEventHandler([&] { ++once_fires; });
  once->Schedule(seconds(2), Duration(0), Duration(0));
  once->Resume();

  d.AdvanceBy(seconds(12));
  EXPECT_EQ(cancelled_fires, 2);
  EXPECT_EQ(raced_fires, 0);
  EXPECT_EQ(rearmed_at, (std::vector<Duration>{ToDuration(seconds(1)), ToDuration(seconds(6)),
                                               ToDuration(seconds(11))}));
  EXPECT_EQ(once_fires, 1);

  // Arming twice, as a second start does, leaves one schedule.
  auto twice = d.CreateTimer(q);
  int twice_fires = 0;
  twice->SetEventHandler([&] { ++twice_fires; });
  twice->Schedule(seconds(30), seconds(30), Duration(0));
  twice->Resume();
  twice->Schedule(seconds(30), seconds(30), Duration(0));
  twice->Resume();
  d.AdvanceBy(seconds(60));
  EXPECT_EQ(twice_fires, 2);
}

TEST(VirtualDispatchTest, TimerCatchesUpWithoutBurstAfterABusyQueue) {
  VirtualDispatch d;
  auto q = d.CreateSerialQueue("wd");
  auto timer = d.CreateTimer(q);
  std::vector<Duration> fired;
  timer->SetEventHandler([&] {
    fired.push_back(d.Now());
    if (fired.size() == 1) d.AdvanceTo(ToDuration(seconds(100)));  // the handler blocks for long
  });
  timer->Schedule(seconds(30), seconds(30), Duration(0));
  timer->Resume();
  d.AdvanceTo(ToDuration(seconds(125)));
  EXPECT_EQ(fired, (std::vector<Duration>{ToDuration(seconds(30)), ToDuration(seconds(120))}));
}

TEST(VirtualDispatchTest, WorkHoldingAnExpiredOwnerDoesNothing) {
  struct Owner {
    int ticks = 0;
  };
  VirtualDispatch d;
  auto q = d.CreateSerialQueue("wd");
  auto owner = std::make_shared<Owner>();
  std::weak_ptr<Owner> weak = owner;
  int ran = 0;
  auto work = [weak, &ran] {
    if (auto self = weak.lock()) {
      ++self->ticks;
      ++ran;
    }
  };
  auto timer = d.CreateTimer(q);
  timer->SetEventHandler(work);
  timer->Schedule(seconds(30), seconds(30), Duration(0));
  timer->Resume();
  q->AsyncAfter(seconds(4), work);
  d.AdvanceBy(seconds(30));
  EXPECT_EQ(owner->ticks, 2);

  owner.reset();
  q->AsyncAfter(seconds(4), work);
  d.AdvanceBy(seconds(60));
  EXPECT_EQ(ran, 2);
}

TEST(VirtualDispatchTest, RunUntilTakesWorkPostedFromRealThreads) {
  VirtualDispatch d;
  auto q = d.CreateSerialQueue("net");
  std::atomic<int> replies{0};
  bool on_queue = false;
  std::thread server([&] {
    for (int i = 0; i < 3; ++i) q->Async([&] {
        on_queue = q->IsCurrent();
        ++replies;
      });
  });
  EXPECT_TRUE(d.RunUntil([&] { return replies == 3; }, Duration(0)));
  server.join();
  EXPECT_TRUE(on_queue);
  EXPECT_EQ(d.Now(), Duration(0));

  // With nothing posted, virtual time moves on to the next deadline, but not
  // past the bound.
  bool timed_out = false;
  q->AsyncAfter(seconds(4), [&] { timed_out = true; });
  q->AsyncAfter(seconds(60), [] {});
  EXPECT_TRUE(d.RunUntil([&] { return timed_out; }, seconds(10)));
  EXPECT_EQ(d.Now(), ToDuration(seconds(4)));
  EXPECT_FALSE(d.RunUntil([] { return false; }, seconds(10), std::chrono::milliseconds(100)));
  EXPECT_EQ(d.PendingCount(), 1u);
}

TEST(VirtualDispatchTest, DestructionDropsPendingWorkAndLaterPosts) {
  auto sentinel = std::make_shared<int>(0);
  std::weak_ptr<int> watch = sentinel;
  std::shared_ptr<Queue> survivor;
  std::shared_ptr<TimerSource> timer;
  {
    VirtualDispatch d;
    survivor = d.CreateSerialQueue("q");
    // A cycle through the queue: item -> queue -> pending item.
    survivor->AsyncAfter(seconds(5), [q = survivor, sentinel] { ++*sentinel; });
    timer = d.CreateTimer(survivor);
    timer->SetEventHandler([] { ADD_FAILURE() << "fired after the dispatch was gone"; });
    timer->Schedule(seconds(1), seconds(1), Duration(0));
    timer->Resume();
    sentinel.reset();
  }
  EXPECT_TRUE(watch.expired());
  survivor->Async([] { ADD_FAILURE() << "ran after the dispatch was gone"; });
  survivor->AsyncAfter(seconds(1), [] {});
  timer->Schedule(seconds(1), seconds(1), Duration(0));
}

TEST(VirtualDispatchTest, CreateTimerRejectsAQueueItCannotTime) {
  VirtualDispatch d;
  EXPECT_THROW(d.CreateTimer(nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace kelvo
