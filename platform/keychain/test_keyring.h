// A real gnome-keyring-daemon (secrets component only) for tests, on a
// given session bus, with its keyrings under `data_home` and its login
// collection created and unlocked with a known password. Stopped (SIGTERM,
// reaped) on destruction.
// Threading: one owner thread.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace kelvo {

class TestKeyring {
 public:
  TestKeyring() = default;
  ~TestKeyring();
  TestKeyring(const TestKeyring&) = delete;
  TestKeyring& operator=(const TestKeyring&) = delete;

  // Whether the daemon can be run here at all.
  static bool Installed();

  // Starts the daemon and waits (at most 10 s) until it owns
  // org.freedesktop.secrets. Returns why it could not.
  std::optional<std::string> Start(const std::string& bus_address, const std::string& data_home);

  // Locks the login collection, as the user does from the keyring's menu.
  std::optional<std::string> LockLogin();

 private:
  std::string bus_address_;
  pid_t pid_ = -1;
};

}  // namespace kelvo
