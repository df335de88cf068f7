// Test helper: runs a program with its standard streams on pipes, so a test
// can feed its input, read its output as it comes, signal it and collect
// its exit code. Every wait is bounded; a child still running at the limit
// is killed and the test fails.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace kelvo::testing {

struct ChildOutcome {
  int exit_code = -1;  // -1: did not exit normally
  std::string out;
  std::string err;
};

class ChildProcess {
 public:
  // `env` entries are added to (or replace those of) this process's.
  ChildProcess(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
               const std::string& input) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe: " << std::strerror(errno);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    std::map<std::string, std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string entry = *e;
      auto eq = entry.find('=');
      if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [k, v] : env) merged[k] = v;
    std::vector<std::string> env_strings;
    for (const auto& [k, v] : merged) env_strings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> arg_copy = args;
    std::vector<char*> argv;
    for (auto& a : arg_copy) argv.push_back(a.data());
    argv.push_back(nullptr);

    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
      ADD_FAILURE() << "cannot start " << args[0];
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
    // Small inputs only: they fit in the pipe, so this does not block.
    if (!input.empty() && ::write(in[1], input.data(), input.size()) < 0) {
      ADD_FAILURE() << "write to child: " << std::strerror(errno);
    }
    ::close(in[1]);
  }

  ~ChildProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) ::close(out_fd_);
    if (err_fd_ >= 0) ::close(err_fd_);
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Reads until standard output holds `lines` lines or `limit` passes.
  bool WaitForLines(size_t lines, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (Count(outcome_.out, '\n') < lines) {
      if (!Pump(deadline)) return Count(outcome_.out, '\n') >= lines;
    }
    return true;
  }

  // Stops reading standard output, as a reader that went away would.
  void CloseOutput() {
    if (out_fd_ >= 0) ::close(out_fd_);
    out_fd_ = -1;
  }

  void Signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
  }

  // Reads both streams to their end and reaps the child.
  ChildOutcome Finish(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (out_fd_ >= 0 || err_fd_ >= 0) {
      if (!Pump(deadline)) {
        ADD_FAILURE() << "the child did not finish in time; output so far:\n"
                      << outcome_.out << "\n"
                      << outcome_.err;
        return outcome_;
      }
    }
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) {
      pid_ = -1;
      outcome_.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return outcome_;
  }

 private:
  static size_t Count(const std::string& s, char c) {
    return static_cast<size_t>(std::count(s.begin(), s.end(), c));
  }

  // One poll round; false once the deadline passed or nothing is left open.
  bool Pump(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || (out_fd_ < 0 && err_fd_ < 0)) return false;
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) return false;
    ReadFrom(fds[0], &out_fd_, &outcome_.out);
    ReadFrom(fds[1], &err_fd_, &outcome_.err);
    return true;
  }

  static void ReadFrom(const pollfd& p, int* fd, std::string* into) {
    if (*fd < 0 || (p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) return;
    char buf[4096];
    ssize_t n = ::read(*fd, buf, sizeof buf);
    if (n > 0) {
      into->append(buf, static_cast<size_t>(n));
    } else {
      ::close(*fd);
      *fd = -1;
    }
  }

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  ChildOutcome outcome_;
};

}  // namespace kelvo::testing
