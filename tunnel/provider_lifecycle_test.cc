// Start and stop racing each other: whatever order the adapter's
// completions come back in, the last request decides, and a stop leaves
// nothing of an earlier start behind.
#include <numeric>

#include "tunnel/provider_test_env.h"

namespace kelvo {
namespace {

using std::chrono::minutes;
using std::chrono::seconds;
using testing::kGoodConf;
using testing::ProviderEnv;

const ValueMap kOptions{{Value("cfg"), Value(kGoodConf)}};

struct Outcome {
  std::vector<std::optional<ProviderError>> starts;  // in request order
  int stops = 0;
};

// Sends `requests` ('+' start, '-' stop) in one go, then delivers the held
// adapter completions in the order `release` gives (indices into the
// requests).
Outcome Race(ProviderEnv& env, const std::string& requests, const std::vector<size_t>& release) {
  auto outcome = std::make_shared<Outcome>();
  for (char r : requests) {
    if (r == '+') {
      size_t i = outcome->starts.size();
      outcome->starts.emplace_back(ProviderError{"pending", 0, ""});
      env.provider->startTunnel(kOptions, [outcome, i](std::optional<ProviderError> e) {
        outcome->starts[i] = e;
      });
    } else {
      env.provider->stopTunnel(0, [outcome] { outcome->stops++; });
    }
  }
  env.dispatch.RunUntilIdle();
  std::vector<size_t> held(requests.size());
  std::iota(held.begin(), held.end(), 0);
  for (size_t id : release) {
    auto at = std::find(held.begin(), held.end(), id);
    EXPECT_TRUE(env.adapter->ReleaseCompletion(static_cast<size_t>(at - held.begin())));
    held.erase(at);
    env.dispatch.RunUntilIdle();
  }
  return *outcome;
}

TEST(ProviderLifecycleTest, AStopWinsInEveryCompletionOrder) {
  for (std::string requests : {"+-", "+-+-", "-+-"}) {
    std::vector<size_t> order(requests.size());
    std::iota(order.begin(), order.end(), 0);
    do {
      ProviderEnv env;
      env.hold_adapter_completions = true;
      env.Set("wd_enabled", "1");
      Outcome out = Race(env, requests, order);
      SCOPED_TRACE(requests);
      EXPECT_EQ(out.stops, static_cast<int>(std::count(requests.begin(), requests.end(), '-')));
      for (const auto& start : out.starts) {
        ASSERT_TRUE(start);
        EXPECT_EQ(start->description, "startTunnel cancelled by stopTunnel");
      }
      EXPECT_FALSE(env.adapter->running());
      EXPECT_FALSE(env.provider->timerArmed());
      EXPECT_EQ(env.Phase(), ProviderPhase::stopped);
      EXPECT_FALSE(env.HasLine("startTunnel OK — arrancando watchdog"));

      env.adapter->SetHoldCompletions(false);
      size_t lines = env.Lines().size();
      env.provider->wake();
      env.dispatch.AdvanceBy(minutes(10));
      EXPECT_EQ(env.Lines().size(), lines) << "no tick after the stop";
      EXPECT_EQ(env.adapter->runtime_queries(), 0);
      EXPECT_EQ(env.Get("wd_broken"), std::nullopt);
    } while (std::next_permutation(order.begin(), order.end()));
  }
}

TEST(ProviderLifecycleTest, AStartAfterTheStopRunsInEveryCompletionOrder) {
  std::vector<size_t> order = {0, 1, 2};
  do {
    ProviderEnv env;
    env.hold_adapter_completions = true;
    env.Set("wd_enabled", "1");
    Outcome out = Race(env, "+-+", order);
    ASSERT_EQ(out.starts.size(), 2u);
    ASSERT_TRUE(out.starts[0]);
    EXPECT_EQ(out.starts[0]->description, "startTunnel cancelled by stopTunnel");
    EXPECT_FALSE(out.starts[1]) << out.starts[1]->description;
    EXPECT_TRUE(env.adapter->running());
    EXPECT_EQ(env.Phase(), ProviderPhase::running);
    EXPECT_EQ(env.CountLines("watchdog timer armado (30s)"), 1u);
    env.adapter->SetHoldCompletions(false);
    env.dispatch.AdvanceBy(seconds(60));
    EXPECT_EQ(env.CountLines("hsAge=60 healthy=true failCount=0"), 1u);
    EXPECT_EQ(env.CountLines("tick → leyendo handshake…"), 2u) << "one timer only";
  } while (std::next_permutation(order.begin(), order.end()));
}

TEST(ProviderLifecycleTest, PhasesFollowRequestsAndCompletions) {
  ProviderEnv env;
  env.hold_adapter_completions = true;
  env.provider->startTunnel(kOptions, [](std::optional<ProviderError>) {});
  EXPECT_EQ(env.Phase(), ProviderPhase::starting);
  env.adapter->ReleaseCompletion(0);
  EXPECT_EQ(env.Phase(), ProviderPhase::running);

  // A refused second start leaves the first tunnel and its watchdog alone.
  std::optional<ProviderError> second;
  env.provider->startTunnel(kOptions, [&](std::optional<ProviderError> e) { second = e; });
  EXPECT_EQ(env.Phase(), ProviderPhase::running);
  env.adapter->ReleaseCompletion(0);
  EXPECT_EQ(env.Phase(), ProviderPhase::running);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->domain, kAdapterErrorDomain);
  EXPECT_TRUE(env.provider->timerArmed());

  env.provider->stopTunnel(0, [] {});
  EXPECT_EQ(env.Phase(), ProviderPhase::stopping);
  EXPECT_FALSE(env.provider->timerArmed());
  env.adapter->ReleaseCompletion(0);
  EXPECT_EQ(env.Phase(), ProviderPhase::stopped);
}

}  // namespace
}  // namespace kelvo
