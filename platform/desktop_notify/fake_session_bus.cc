#include "platform/desktop_notify/fake_session_bus.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/fs/socket_probe.h"

extern char** environ;

namespace kelvo {
std::optional<std::string> FakeSessionBus::Start() {
  char pattern[] = "/tmp/kelvo-bus-XXXXXX";
  if (!::mkdtemp(pattern)) return "cannot make a temporary directory";
  dir_ = pattern;
  const std::string socket = dir_ + "/bus";
  const std::string config = dir_ + "/bus.conf";
  std::ofstream(config)
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig>\n  <type>session</type>\n"
         "  <listen>unix:path="
      << socket
      << "</listen>\n"
         "  <auth>EXTERNAL</auth>\n"
         "  <policy context=\"default\">\n"
         "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
         "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n"
         "  </policy>\n</busconfig>\n";
  std::string config_arg = "--config-file=" + config;
  std::vector<char*> argv = {const_cast<char*>("dbus-daemon"), config_arg.data(),
                             const_cast<char*>("--nofork"), const_cast<char*>("--nopidfile"),
                             nullptr};
  // The daemon's complaints (it cannot raise its fd limit in a sandbox) go
  // to a file beside its socket.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string daemon_log = dir_ + "/daemon.log";
  posix_spawn_file_actions_addopen(&actions, 2, daemon_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  int spawned = ::posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    pid_ = -1;
    return "cannot start dbus-daemon (is the dbus-daemon package installed?)";
  }
  // Ready when a connection is accepted: the socket file appears at bind,
  // a moment before the daemon listens, and a client in that moment is
  // refused.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (ProbeUnixSocket(socket) != 0) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return "dbus-daemon exited at start";
    }
    if (std::chrono::steady_clock::now() > deadline) return "dbus-daemon did not listen in time";
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  address_ = "unix:path=" + socket;
  return std::nullopt;
}

FakeSessionBus::~FakeSessionBus() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  std::error_code ignored;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

}  // namespace kelvo
