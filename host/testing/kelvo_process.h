// Test helper: a `kelvo` process in a private environment, driven through
// its engine socket as the user interface would.
//
// The environment lives in a fresh temporary directory: HOME, XDG_RUNTIME_DIR,
// XDG_DATA_HOME, XDG_CONFIG_HOME, KELVO_APP_GROUP_ROOT (created) and a
// DBUS_SESSION_BUS_ADDRESS that leads nowhere unless the test gives a bus.
// Every wait is bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/engine/channels.h"
#include "platform/engine/engine_socket.h"

namespace kelvo::testing {

class HostEnvironment {
 public:
  HostEnvironment();
  ~HostEnvironment();
  HostEnvironment(const HostEnvironment&) = delete;
  HostEnvironment& operator=(const HostEnvironment&) = delete;

  const std::string& root() const { return root_; }
  std::string home() const { return root_ + "/home"; }
  std::string runtime_dir() const { return root_ + "/run"; }
  std::string data_home() const { return root_ + "/data"; }
  std::string config_home() const { return root_ + "/config"; }
  std::string app_group_root() const { return root_ + "/app-groups"; }
  std::string app_group_container() const { return app_group_root() + "/group.net.kelvo.app"; }
  std::string tunnels_dir() const { return app_group_container() + "/tunnels"; }
  std::string engine_socket() const { return runtime_dir() + "/kelvo/engine.sock"; }

  std::string bus_address = "unix:path=/nonexistent/kelvo-test-no-bus";
  // More "NAME=value" entries for a test's own settings (a store
  // configuration, a system bus), added last; one that names a variable
  // above replaces it, and a bare "NAME" leaves it out.
  std::vector<std::string> extra_variables;

  // "NAME=value" for every variable above, on top of PATH.
  std::vector<std::string> Variables() const;

 private:
  std::string root_;
};

struct CallReply {
  bool answered = false;       // false: no reply at all (not implemented)
  std::optional<Value> value;  // success
  std::optional<FlutterError> error;
  std::string transport_error;  // the socket failed

  std::string Describe() const;
};

class KelvoProcess {
 public:
  explicit KelvoProcess(const HostEnvironment& env) : env_(env) {}
  ~KelvoProcess();

  // Starts kelvo with --engine-socket and waits (10 s) until it answers.
  // Returns why not; a kelvo that exits at start is described with its
  // exit status and what it wrote to stderr.
  std::optional<std::string> Start(std::vector<std::string> extra_args = {});
  // A method call on `channel`, waiting at most `limit`.
  CallReply Call(const std::string& method, const Value& arguments = Value(),
                 const std::string& channel = "drimo/wg_ios",
                 std::chrono::milliseconds limit = std::chrono::seconds(10));
  EngineSocketClient& client() { return *client_; }
  pid_t pid() const { return pid_; }

  // Sends `signal` and waits (10 s) for the exit; the exit status, or -1
  // when it did not exit in time (it is then killed).
  int Stop(int signal);
  // Waits at most `limit` for kelvo to end on its own; the exit status
  // (also of an exit seen by Start), or -1.
  int WaitForExit(std::chrono::milliseconds limit);
  // What kelvo wrote to stderr so far.
  std::string Stderr() const;

 private:
  const HostEnvironment& env_;
  pid_t pid_ = -1;
  int exit_status_ = -1;
  std::unique_ptr<EngineSocketClient> client_;
};

// Runs kelvo with `args` to its end (10 s) and gives its exit status and
// standard output.
int RunKelvo(const HostEnvironment& env, const std::vector<std::string>& args, std::string* out);

}  // namespace kelvo::testing
