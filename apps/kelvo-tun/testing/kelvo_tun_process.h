// Test support: a kelvo-tun process started with given flags and
// environment, and a client connected to its control socket. Every wait is
// bounded; the destructor kills a process still running.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/engine/engine_socket.h"

namespace kelvo::testing {

// A wg-quick text the in-memory adapter accepts: one peer, keys made of
// repeated bytes.
inline constexpr const char* kTestTunnelConf =
    "[Interface]\n"
    "PrivateKey = AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQE=\n"
    "Address = 10.8.0.2/32\n"
    "\n"
    "[Peer]\n"
    "PublicKey = AgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgI=\n"
    "AllowedIPs = 0.0.0.0/0\n"
    "Endpoint = 127.0.0.1:51820\n";

class KelvoTunProcess {
 public:
  KelvoTunProcess() = default;
  ~KelvoTunProcess();
  KelvoTunProcess(const KelvoTunProcess&) = delete;
  KelvoTunProcess& operator=(const KelvoTunProcess&) = delete;

  // Starts kelvo-tun with `args` (the control socket path among them) and
  // `env` ("NAME=value"), then waits (5 s) until `control_socket` answers.
  // Returns why not.
  std::optional<std::string> Start(const std::vector<std::string>& args,
                                   const std::vector<std::string>& env,
                                   const std::string& control_socket);
  // Before Start: the process's stderr goes to `path` (created or
  // truncated) instead of this process's.
  void SetStderrFile(std::string path) { stderr_path_ = std::move(path); }
  EngineSocketClient& control() { return control_; }
  pid_t pid() const { return pid_; }

  // Sends `signal` and waits for the exit; the wait status.
  int Stop(int signal);

 private:
  pid_t pid_ = -1;
  std::string stderr_path_;
  EngineSocketClient control_;
};

// Waits (5 s) until `path` exists.
bool WaitForFile(const std::string& path);

}  // namespace kelvo::testing
