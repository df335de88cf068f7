#include "platform/netlink/testing/net_namespace.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace kelvo {

std::string FindTool(const std::string& name) {
  std::string dirs = std::getenv("PATH") ? std::getenv("PATH") : "";
  dirs += ":/usr/sbin:/sbin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (!dir.empty()) {
      std::string path = dir + "/" + name;
      if (access(path.c_str(), X_OK) == 0) return path;
    }
    start = end + 1;
  }
  return "";
}

std::string RootNetworkTestBlocker(const std::vector<std::string>& tools) {
  if (geteuid() != 0) return "not root";
  if (access("/dev/net/tun", R_OK | W_OK) != 0) return "no /dev/net/tun";
  for (const std::string& tool : tools) {
    if (FindTool(tool).empty()) return tool + " is not installed";
  }
  return "";
}

CommandResult RunCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  CommandResult result;
  if (argv.empty()) return result;
  std::string path = argv[0].find('/') == std::string::npos ? FindTool(argv[0]) : argv[0];
  if (path.empty()) {
    result.output = argv[0] + ": not found";
    return result;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  pid_t pid = fork();
  if (pid < 0) {
    close(out[0]);
    close(out[1]);
    return result;
  }
  if (pid == 0) {
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    dup2(out[1], 1);
    dup2(out[1], 2);
    execv(path.c_str(), args.data());
    _exit(127);
  }
  close(out[1]);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool timed_out = false;
  char buf[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    result.output.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  if (timed_out) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!timed_out && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

std::unique_ptr<NetNamespace> NetNamespace::Create(const std::string& name, std::string* error) {
  CommandResult r = RunCommand({"ip", "netns", "add", name});
  if (r.exit_code != 0) {
    *error = "ip netns add " + name + ": " + r.output;
    return nullptr;
  }
  return std::unique_ptr<NetNamespace>(new NetNamespace(name));
}

NetNamespace::~NetNamespace() { RunCommand({"ip", "netns", "del", name_}); }

void NetNamespace::Run(const std::function<void()>& fn) const {
  std::string error;
  std::thread thread([&] {
    int fd = open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
      error = "cannot enter network namespace " + name_;
      if (fd >= 0) close(fd);
      return;
    }
    close(fd);
    fn();
  });
  thread.join();
  if (!error.empty()) throw std::runtime_error(error);
}

CommandResult NetNamespace::Ip(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {"ip", "-n", name_};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunCommand(argv);
}

}  // namespace kelvo
