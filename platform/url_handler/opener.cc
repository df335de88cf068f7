#include "platform/url_handler/opener.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

extern char** environ;

namespace kelvo {
namespace {

struct ExitState {
  std::mutex mu;
  std::condition_variable cv;
  bool ended = false;
  // Unknown when the child was reaped elsewhere (SIGCHLD ignored).
  std::optional<int> status;
};

// The child must not inherit our blocked or ignored signals: the opener and
// the application it starts would otherwise ignore a terminal's SIGINT or a
// session's SIGTERM.
class SpawnAttributes {
 public:
  SpawnAttributes() {
    posix_spawnattr_init(&attr_);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr_, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2}) {
      sigaddset(&defaults, sig);
    }
    posix_spawnattr_setsigdefault(&attr_, &defaults);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef POSIX_SPAWN_SETSID
    // Its own session: closing our terminal does not take the browser along.
    flags |= POSIX_SPAWN_SETSID;
#endif
    posix_spawnattr_setflags(&attr_, flags);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attr_); }
  const posix_spawnattr_t* get() const { return &attr_; }

 private:
  posix_spawnattr_t attr_;
};

class FileActions {
 public:
  FileActions() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0);
  }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

std::string DescribeStatus(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "was killed by signal " + std::to_string(WTERMSIG(status));
  return "ended with wait status " + std::to_string(status);
}

}  // namespace

OpenerOutcome RunOpener(const std::string& opener, const std::string& url,
                        std::chrono::milliseconds wait) {
  // An argument starting with '-' would be read as an option.
  if (opener.empty()) return {false, "no opener configured"};
  if (url.empty() || url[0] == '-') return {false, "not an argument the opener can take"};
  std::string arg0 = opener;
  std::string arg1 = url;
  char* argv[] = {arg0.data(), arg1.data(), nullptr};
  SpawnAttributes attr;
  FileActions actions;
  pid_t pid = -1;
  const bool search_path = opener.find('/') == std::string::npos;
  int rc = search_path
               ? ::posix_spawnp(&pid, opener.c_str(), actions.get(), attr.get(), argv, environ)
               : ::posix_spawn(&pid, opener.c_str(), actions.get(), attr.get(), argv, environ);
  if (rc != 0) return {false, "cannot start " + opener + ": " + ::strerror(rc)};

  auto state = std::make_shared<ExitState>();
  std::thread([pid, state] {
    int status = 0;
    pid_t r;
    do {
      r = ::waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    std::lock_guard lock(state->mu);
    state->ended = true;
    if (r == pid) state->status = status;
    state->cv.notify_all();
  }).detach();

  std::unique_lock lock(state->mu);
  if (!state->cv.wait_for(lock, wait, [&] { return state->ended; })) {
    return {true, ""};  // still running: it stays with what it started
  }
  if (!state->status) return {true, ""};
  int status = *state->status;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {true, ""};
  return {false, opener + " " + DescribeStatus(status)};
}

}  // namespace kelvo
