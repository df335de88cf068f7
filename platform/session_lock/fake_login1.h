// A stand-in for systemd-logind on a test bus (usually a FakeSessionBus):
// owns org.freedesktop.login1 and serves one session, its Manager's
// GetSession, and the session's Id and LockedHint properties at its own
// path and at ".../session/auto". Lock changes are announced with
// PropertiesChanged as logind does. It serves on a thread of its own until
// Stop or destruction.
// Threading: every public method is thread-safe.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <thread>

namespace kelvo {

class FakeLogin1 {
 public:
  FakeLogin1() = default;
  ~FakeLogin1();
  FakeLogin1(const FakeLogin1&) = delete;
  FakeLogin1& operator=(const FakeLogin1&) = delete;

  // Connects to `bus_address`, takes the name and serves `session_id`.
  // Returns why it could not.
  std::optional<std::string> Start(const std::string& bus_address, const std::string& session_id,
                                   bool locked);
  // Stops serving; the name goes with the connection. Idempotent.
  void Stop();

  enum class Announce { kValue, kInvalidation };
  // Sets LockedHint and sends PropertiesChanged, with the new value or
  // naming it as invalidated (clients must read it again).
  void SetLockedHint(bool locked, Announce how = Announce::kValue);
  // Sends PropertiesChanged for IdleHint only.
  void AnnounceUnrelatedChange();

  // The session's object path, "/org/freedesktop/login1/session/<escaped>".
  std::string session_path() const;

 private:
  void Serve();
  void Kick(int command);

  void* bus_ = nullptr;  // sd_bus*, used by the serving thread
  std::string session_id_;
  std::string session_path_;
  std::atomic<bool> locked_{false};
  std::atomic<int> pending_{0};  // bit 1: locked value, 2: invalidation, 4: unrelated
  int wake_fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace kelvo
