#include "apps/kelvo-tun/testing/kelvo_tun_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <thread>

#ifndef KELVO_TUN_BINARY
#error "KELVO_TUN_BINARY must name the kelvo-tun executable"
#endif

namespace kelvo::testing {

namespace {

constexpr int kPolls = 500;
constexpr auto kPollInterval = std::chrono::milliseconds(10);

}  // namespace

bool WaitForFile(const std::string& path) {
  for (int i = 0; i < kPolls; ++i) {
    if (std::filesystem::exists(path)) return true;
    std::this_thread::sleep_for(kPollInterval);
  }
  return std::filesystem::exists(path);
}

KelvoTunProcess::~KelvoTunProcess() {
  control_.Close();
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::optional<std::string> KelvoTunProcess::Start(const std::vector<std::string>& args,
                                                  const std::vector<std::string>& env,
                                                  const std::string& control_socket) {
  std::vector<std::string> argv_s = {KELVO_TUN_BINARY};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<std::string> env_s = env;
  std::vector<char*> argv, envp;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env_s) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!stderr_path_.empty()) {
    posix_spawn_file_actions_addopen(&actions, 2, stderr_path_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  int rc = ::posix_spawn(&pid_, KELVO_TUN_BINARY, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pid_ = -1;
    return "cannot start " KELVO_TUN_BINARY;
  }
  for (int i = 0; i < kPolls && !control_.connected(); ++i) {
    if (std::filesystem::exists(control_socket)) control_.Connect(control_socket);
    if (!control_.connected()) std::this_thread::sleep_for(kPollInterval);
  }
  if (!control_.connected()) return "kelvo-tun did not serve " + control_socket;
  return std::nullopt;
}

int KelvoTunProcess::Stop(int signal) {
  control_.Close();
  int status = -1;
  if (pid_ > 0) {
    ::kill(pid_, signal);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  return status;
}

}  // namespace kelvo::testing
