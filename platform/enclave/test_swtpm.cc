#include "platform/enclave/test_swtpm.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

extern char** environ;

namespace kelvo {

TestSwtpm::TestSwtpm() {
  char pattern[] = "/tmp/k16-swtpm-XXXXXX";
  if (mkdtemp(pattern)) dir_ = pattern;
}

TestSwtpm::~TestSwtpm() {
  Stop();
  std::error_code ignored;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

bool TestSwtpm::Installed() { return access("/usr/bin/swtpm", X_OK) == 0; }

std::string TestSwtpm::tcti() const { return "swtpm:path=" + dir_ + "/sock"; }

std::optional<std::string> TestSwtpm::Start() {
  if (dir_.empty()) return "cannot make a temporary directory";
  std::filesystem::create_directories(dir_ + "/state");
  const std::string sock = dir_ + "/sock";
  unlink(sock.c_str());
  std::string state = "dir=" + dir_ + "/state";
  std::string server = "type=unixio,path=" + sock;
  std::string ctrl = "type=unixio,path=" + dir_ + "/sock.ctrl";
  std::vector<char*> argv = {const_cast<char*>("swtpm"),      const_cast<char*>("socket"),
                             const_cast<char*>("--tpm2"),     const_cast<char*>("--tpmstate"),
                             state.data(),                    const_cast<char*>("--server"),
                             server.data(),                   const_cast<char*>("--ctrl"),
                             ctrl.data(),                     const_cast<char*>("--flags"),
                             const_cast<char*>("not-need-init,startup-clear"), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string log = dir_ + "/swtpm.log";
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  int spawned = posix_spawn(&pid_, "/usr/bin/swtpm", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    pid_ = -1;
    return "cannot start swtpm";
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  struct stat st;
  while (stat(sock.c_str(), &st) != 0) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return "swtpm exited; see " + log;
    }
    if (std::chrono::steady_clock::now() > deadline) return "swtpm did not come up";
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::nullopt;
}

void TestSwtpm::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

}  // namespace kelvo
