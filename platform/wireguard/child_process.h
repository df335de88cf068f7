// ChildProcess: a program we start and own (no shell), whose stdout and
// stderr come back as lines, and whose end we notice.
//
// Start forks and execs `path` with `args`, the current environment plus
// `environment` (which wins over inherited values), stdin from `stdin_text`
// (or /dev/null when empty), and default signal dispositions. A reader
// thread splits the merged output into lines (without "\n") for `on_line`,
// then reaps the process and calls `on_exit` with its wait status and
// whether Terminate had been called (an expected end). Those
// handlers run on the reader thread: keep them short and independent of
// objects that may be gone.
//
// With `end_with_thread`, the child gets SIGTERM should the thread that
// started it end first (as when our process dies), so a daemon we run
// cannot outlive us by accident.
//
// Lifetime: the destructor ends a child still running (Terminate with a
// short grace), then joins the reader.
//
// Threading: every method is safe from any thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/wireguard/expected.h"

namespace kelvo {

class ChildProcess {
 public:
  struct Options {
    std::string path;
    std::vector<std::string> args;         // argv[1..]; argv[0] is `path`
    std::vector<std::string> environment;  // "NAME=value"
    std::string stdin_text;
    bool end_with_thread = false;
  };
  using LineHandler = std::function<void(const std::string& line)>;
  using ExitHandler = std::function<void(int wait_status, bool terminated)>;

  // The process, or why it could not be started (exec errors included).
  static Expected<std::unique_ptr<ChildProcess>, std::string> Start(Options options,
                                                                    LineHandler on_line,
                                                                    ExitHandler on_exit);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // The wait status once the process has ended and been reaped.
  std::optional<int> exit_status() const;
  // Waits up to `timeout` for the end; true when it has ended.
  bool WaitForExit(std::chrono::milliseconds timeout) const;
  // SIGTERM, up to `grace` to end, then SIGKILL and wait. Returns the wait
  // status. terminated() is true from the call on.
  int Terminate(std::chrono::milliseconds grace);
  bool terminated() const;

 private:
  ChildProcess(pid_t pid, int output_fd) : pid_(pid), output_fd_(output_fd) {}
  void Read(LineHandler on_line, ExitHandler on_exit);

  const pid_t pid_;
  const int output_fd_;
  mutable std::mutex mu_;
  mutable std::condition_variable exited_cv_;
  std::optional<int> status_;
  bool terminated_ = false;
  std::thread reader_;
};

// "exited with status 1", "was killed by signal 9 (Killed)".
std::string DescribeWaitStatus(int wait_status);

// The executable `name` in PATH, or "" when there is none. A name with a
// '/' is taken as a path and returned when executable.
std::string FindExecutable(const std::string& name);

struct ProcessResult {
  int wait_status = 0;
  std::string output;  // stdout and stderr, lines joined with "\n"
};

// Runs a program to its end (killed after `timeout`) and returns how it
// ended with its output, or why it could not start.
Expected<ProcessResult, std::string> RunProcess(ChildProcess::Options options,
                                                std::chrono::milliseconds timeout);

}  // namespace kelvo
