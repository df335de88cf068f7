// A private session bus for tests: a dbus-daemon of its own on a socket in
// a fresh temporary directory, with a configuration that activates no
// service, so nothing on the machine answers for a name unless the test
// serves it. The daemon is stopped (SIGTERM, then reaped) on destruction.
// Threading: one owner thread.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace kelvo {

class FakeSessionBus {
 public:
  FakeSessionBus() = default;
  ~FakeSessionBus();
  FakeSessionBus(const FakeSessionBus&) = delete;
  FakeSessionBus& operator=(const FakeSessionBus&) = delete;

  // Starts dbus-daemon and waits (at most 5 s) for its socket. Returns why
  // it could not. Call once.
  std::optional<std::string> Start();
  // "unix:path=...", for DBUS_SESSION_BUS_ADDRESS.
  const std::string& address() const { return address_; }

 private:
  std::string dir_;
  std::string address_;
  pid_t pid_ = -1;
};

}  // namespace kelvo
