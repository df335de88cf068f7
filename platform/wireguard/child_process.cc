#include "platform/wireguard/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace kelvo {
namespace {

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> out;
  for (char** e = environ; e && *e; ++e) {
    std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('=') + 1);
    bool overridden = false;
    for (const std::string& x : extra) overridden |= x.compare(0, name.size(), name) == 0;
    if (!overridden) out.push_back(std::move(entry));
  }
  out.insert(out.end(), extra.begin(), extra.end());
  return out;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Writes all of `text` to a pipe whose reader may already be gone: SIGPIPE
// is held back on this thread and a pending one discarded, so a child that
// ignores its stdin cannot kill us.
void WriteAll(int fd, const std::string& text) {
  sigset_t pipe_set, old;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old);
  size_t done = 0;
  bool broken = false;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      broken = errno == EPIPE;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (broken) {
    timespec zero{};
    sigtimedwait(&pipe_set, nullptr, &zero);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace

Expected<std::unique_ptr<ChildProcess>, std::string> ChildProcess::Start(Options options,
                                                                         LineHandler on_line,
                                                                         ExitHandler on_exit) {
  const std::string what = "Cannot run " + options.path + ": ";
  std::vector<std::string> argv_strings = {options.path};
  argv_strings.insert(argv_strings.end(), options.args.begin(), options.args.end());
  std::vector<std::string> env_strings = MergedEnvironment(options.environment);
  std::vector<char*> argv = Pointers(argv_strings);
  std::vector<char*> envp = Pointers(env_strings);

  // All CLOEXEC, so children that other threads start meanwhile do not
  // keep our pipes open; dup2 clears the flag on the child's 0, 1 and 2.
  int out[2] = {-1, -1}, in[2] = {-1, -1}, exec_error[2] = {-1, -1};
  auto close_all = [&] {
    for (int* fd : {&out[0], &out[1], &in[0], &in[1], &exec_error[0], &exec_error[1]}) {
      CloseFd(*fd);
    }
  };
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(exec_error, O_CLOEXEC) != 0 ||
      (!options.stdin_text.empty() && pipe2(in, O_CLOEXEC) != 0)) {
    const int code = errno;
    close_all();
    return MakeUnexpected(what + std::strerror(code));
  }

  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    const int code = errno;
    close_all();
    return MakeUnexpected(what + std::strerror(code));
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec.
    if (options.end_with_thread) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(127);
    }
    int input = in[0] >= 0 ? in[0] : open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (input < 0 || dup2(input, 0) < 0 || dup2(out[1], 1) < 0 || dup2(out[1], 2) < 0) {
      int code = errno;
      (void)!write(exec_error[1], &code, sizeof code);
      _exit(127);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int s = 1; s < NSIG; ++s) sigaction(s, &dfl, nullptr);
    execve(options.path.c_str(), argv.data(), envp.data());
    int code = errno;
    (void)!write(exec_error[1], &code, sizeof code);
    _exit(127);
  }

  CloseFd(out[1]);
  CloseFd(in[0]);
  CloseFd(exec_error[1]);
  int code = 0;
  ssize_t n;
  do {
    n = read(exec_error[0], &code, sizeof code);
  } while (n < 0 && errno == EINTR);
  CloseFd(exec_error[0]);
  if (n == sizeof code) {
    close_all();
    waitpid(pid, nullptr, 0);
    return MakeUnexpected(what + std::strerror(code));
  }
  if (in[1] >= 0) {
    WriteAll(in[1], options.stdin_text);
    CloseFd(in[1]);
  }

  std::unique_ptr<ChildProcess> child(new ChildProcess(pid, out[0]));
  child->reader_ = std::thread(
      [raw = child.get(), on_line = std::move(on_line), on_exit = std::move(on_exit)]() mutable {
        raw->Read(std::move(on_line), std::move(on_exit));
      });
  return child;
}

void ChildProcess::Read(LineHandler on_line, ExitHandler on_exit) {
  // The pidfd tells us of the end even if a grandchild keeps our pipe open.
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  fcntl(output_fd_, F_SETFL, fcntl(output_fd_, F_GETFL) | O_NONBLOCK);
  std::string pending;
  bool output_open = true;
  auto drain = [&] {
    char buf[4096];
    for (;;) {
      ssize_t n = read(output_fd_, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n == 0) output_open = false;
      if (n <= 0) return;
      pending.append(buf, static_cast<size_t>(n));
      size_t start = 0, end;
      while ((end = pending.find('\n', start)) != std::string::npos) {
        if (on_line) on_line(pending.substr(start, end - start));
        start = end + 1;
      }
      pending.erase(0, start);
    }
  };
  for (;;) {
    pollfd fds[2];
    nfds_t count = 0;
    if (output_open) fds[count++] = {output_fd_, POLLIN, 0};
    if (pidfd >= 0) fds[count++] = {pidfd, POLLIN, 0};
    if (count == 0) break;
    if (poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (output_open && fds[0].revents != 0) drain();
    if (pidfd >= 0 && fds[count - 1].revents != 0) {
      drain();
      break;
    }
  }
  if (!pending.empty() && on_line) on_line(pending);
  if (pidfd >= 0) close(pidfd);
  close(output_fd_);

  // Wait for the end without reaping, then reap under mu_: while mu_ is
  // held and status_ is empty, pid_ is still ours to signal.
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  int status = 0;
  bool terminated = false;
  {
    std::lock_guard lock(mu_);
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = status;
    terminated = terminated_;
  }
  exited_cv_.notify_all();
  if (on_exit) on_exit(status, terminated);
}

ChildProcess::~ChildProcess() {
  if (!exit_status()) Terminate(std::chrono::seconds(2));
  if (reader_.joinable()) reader_.join();
}

std::optional<int> ChildProcess::exit_status() const {
  std::lock_guard lock(mu_);
  return status_;
}

bool ChildProcess::WaitForExit(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mu_);
  return exited_cv_.wait_for(lock, timeout, [this] { return status_.has_value(); });
}

bool ChildProcess::terminated() const {
  std::lock_guard lock(mu_);
  return terminated_;
}

int ChildProcess::Terminate(std::chrono::milliseconds grace) {
  for (int signal : {SIGTERM, SIGKILL}) {
    {
      std::lock_guard lock(mu_);
      terminated_ = true;
      if (status_) return *status_;
      kill(pid_, signal);
    }
    if (WaitForExit(signal == SIGTERM ? grace : std::chrono::milliseconds(10000))) break;
  }
  return exit_status().value_or(-1);
}

std::string DescribeWaitStatus(int wait_status) {
  if (WIFEXITED(wait_status))
    return "exited with status " + std::to_string(WEXITSTATUS(wait_status));
  if (WIFSIGNALED(wait_status)) {
    const int signal = WTERMSIG(wait_status);
    return "was killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
  }
  return "ended with wait status " + std::to_string(wait_status);
}

std::string FindExecutable(const std::string& name) {
  if (name.empty()) return "";
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = dirs.substr(start, end - start);
    if (!dir.empty()) {
      const std::string candidate = dir + "/" + name;
      if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    start = end + 1;
  }
  return "";
}

Expected<ProcessResult, std::string> RunProcess(ChildProcess::Options options,
                                                std::chrono::milliseconds timeout) {
  auto output = std::make_shared<std::pair<std::mutex, std::string>>();
  auto child = ChildProcess::Start(
      std::move(options),
      [output](const std::string& line) {
        std::lock_guard lock(output->first);
        if (!output->second.empty()) output->second += "\n";
        output->second += line;
      },
      nullptr);
  if (!child) return MakeUnexpected(child.error());
  ProcessResult result;
  if (!(*child)->WaitForExit(timeout)) {
    result.wait_status = (*child)->Terminate(std::chrono::milliseconds(500));
  } else {
    result.wait_status = *(*child)->exit_status();
  }
  child->reset();  // joins the reader: all output is in
  std::lock_guard lock(output->first);
  result.output = output->second;
  return result;
}

}  // namespace kelvo
