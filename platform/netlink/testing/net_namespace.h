// Test support for tests that need root and a tun device: finding tools,
// running commands without a shell, and network namespaces that a test
// creates and removes itself. Traffic made in such a namespace stays there.
//
// Threading: free functions are safe from any thread; a NetNamespace is
// used by one test thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kelvo {

// The executable `name` from PATH, then /usr/sbin and /sbin; "" when none.
std::string FindTool(const std::string& name);

// Why a root network test cannot run here ("not root", "no /dev/net/tun",
// "<tool> is not installed"), or "" when it can.
std::string RootNetworkTestBlocker(const std::vector<std::string>& tools);

struct CommandResult {
  int exit_code = -1;  // -1: could not start, killed by a signal or timed out
  std::string output;  // stdout and stderr together
};

// Runs argv[0] (looked up with FindTool when it has no '/') with the rest as
// arguments; kills it after `timeout`.
CommandResult RunCommand(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10));

class NetNamespace {
 public:
  // `ip netns add name`; on failure nullptr and *error says why.
  static std::unique_ptr<NetNamespace> Create(const std::string& name, std::string* error);
  // `ip netns del name`. Processes still inside keep the namespace alive:
  // end them first.
  ~NetNamespace();
  NetNamespace(const NetNamespace&) = delete;
  NetNamespace& operator=(const NetNamespace&) = delete;

  const std::string& name() const { return name_; }
  // Runs `fn` on a new thread that has entered the namespace and waits for
  // it. Sockets, threads and processes made there belong to the namespace.
  void Run(const std::function<void()>& fn) const;
  // `ip -n <name> args...`
  CommandResult Ip(const std::vector<std::string>& args) const;

 private:
  explicit NetNamespace(std::string name) : name_(std::move(name)) {}
  std::string name_;
};

}  // namespace kelvo
