// A desktop notification service for tests: owns the name
// org.freedesktop.Notifications on a bus (usually a FakeSessionBus) and
// records every Notify call, answering GetServerInformation too. It serves
// on a thread of its own until Stop or destruction.
// Threading: all public methods are thread-safe.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kelvo {

struct ReceivedNotification {
  std::string app_name;
  uint32_t replaces_id = 0;
  std::string app_icon;
  std::string summary;
  std::string body;
  std::vector<std::string> actions;
  // String hints as they came; Boolean hints as "true"/"false"; others as
  // their D-Bus type signature in angle brackets.
  std::map<std::string, std::string> hints;
  int32_t expire_timeout = 0;
};

class FakeNotificationService {
 public:
  FakeNotificationService() = default;
  ~FakeNotificationService();
  FakeNotificationService(const FakeNotificationService&) = delete;
  FakeNotificationService& operator=(const FakeNotificationService&) = delete;

  // Connects to `bus_address`, takes the name and starts serving. Returns
  // why it could not.
  std::optional<std::string> Start(const std::string& bus_address);
  // Releases the name and stops serving. Idempotent.
  void Stop();

  std::vector<ReceivedNotification> received() const;
  // Waits until `count` notifications came or `limit` passed.
  bool WaitForCount(size_t count, std::chrono::milliseconds limit) const;

 private:
  void Serve(void* bus);
  void Record(ReceivedNotification n);

  std::thread thread_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<ReceivedNotification> received_;
};

}  // namespace kelvo
