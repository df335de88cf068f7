// Runs small real programs (sh, cat); waits are bounded and only on them.
#include "platform/wireguard/child_process.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <future>

namespace kelvo {
namespace {

using std::chrono::seconds;

ChildProcess::Options Shell(const std::string& script) {
  ChildProcess::Options options;
  options.path = FindExecutable("sh");
  options.args = {"-c", script};
  return options;
}

TEST(ChildProcessTest, RunsToItsEndWithOutputStdinAndEnvironment) {
  ChildProcess::Options options = Shell("echo \"$KELVO_X\"; cat; printf 'partial' >&2; exit 3");
  options.environment = {"KELVO_X=from-us"};
  options.stdin_text = "line one\nline two\n";
  auto result = RunProcess(options, seconds(10));
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(result->output, "from-us\nline one\nline two\npartial");
  EXPECT_EQ(DescribeWaitStatus(result->wait_status), "exited with status 3");

  // A program that ignores its stdin does not take us down with SIGPIPE.
  options = Shell("exit 0");
  options.stdin_text = std::string(1 << 20, 'x');
  result = RunProcess(options, seconds(10));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->wait_status, 0);

  options.path = "/nonexistent/wireguard-go";
  EXPECT_EQ(RunProcess(options, seconds(10)).error(),
            "Cannot run /nonexistent/wireguard-go: No such file or directory");
  EXPECT_EQ(FindExecutable("kelvo-no-such-program"), "");
  EXPECT_EQ(FindExecutable("/nonexistent/sh"), "");
}

TEST(ChildProcessTest, TellsATerminationFromADeath) {
  std::atomic<int> exits{0};
  std::atomic<bool> last_terminated{false};
  auto on_exit = [&](int, bool terminated) {
    last_terminated = terminated;
    ++exits;
  };
  // Traps nothing: SIGTERM ends it even though our test runner may ignore
  // signals, since the child starts with default dispositions.
  auto child = ChildProcess::Start(Shell("echo ready; exec sleep 30"), nullptr, on_exit);
  ASSERT_TRUE(child) << child.error();
  EXPECT_FALSE((*child)->exit_status());
  const int status = (*child)->Terminate(seconds(5));
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(DescribeWaitStatus(status), "was killed by signal 15 (Terminated)");
  child->reset();
  EXPECT_EQ(exits, 1);
  EXPECT_TRUE(last_terminated);

  // A process that ignores SIGTERM gets SIGKILL after the grace.
  std::promise<void> ready;
  child = ChildProcess::Start(
      Shell("trap '' TERM; echo ready; while :; do sleep 1; done"),
      [&](const std::string& line) {
        if (line == "ready") ready.set_value();
      },
      on_exit);
  ASSERT_TRUE(child);
  ASSERT_EQ(ready.get_future().wait_for(seconds(10)), std::future_status::ready);
  EXPECT_EQ(DescribeWaitStatus((*child)->Terminate(std::chrono::milliseconds(200))),
            "was killed by signal 9 (Killed)");

  // Dying on its own is reported as such.
  child = ChildProcess::Start(Shell("exit 7"), nullptr, on_exit);
  ASSERT_TRUE(child);
  ASSERT_TRUE((*child)->WaitForExit(seconds(10)));
  EXPECT_EQ(DescribeWaitStatus(*(*child)->exit_status()), "exited with status 7");
  child->reset();
  EXPECT_EQ(exits, 3);
  EXPECT_FALSE(last_terminated);
}

}  // namespace
}  // namespace kelvo
