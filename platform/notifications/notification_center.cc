#include "platform/notifications/notification_center.h"

#include <chrono>
#include <cmath>
#include <utility>

#include "platform/notifications/notification_spool.h"

namespace kelvo {
namespace {

// The longest file name is 255 bytes, and ".json" is added to the identifier.
constexpr size_t kMaxIdentifierBytes = 250;

double SystemWallSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class AppGroupNotificationCenter : public NotificationCenter {
 public:
  AppGroupNotificationCenter(std::string container, std::shared_ptr<Queue> queue,
                             std::function<double()> wall_seconds,
                             std::function<void(const std::string&)> log)
      : container_(std::move(container)),
        queue_(std::move(queue)),
        wall_seconds_(wall_seconds ? std::move(wall_seconds) : SystemWallSeconds),
        log_(std::move(log)) {}

  void GetAuthorizationStatus(StatusCallback done) override {
    queue_->Async([container = container_, done = std::move(done)] {
      done(ReadAuthorization(container));
    });
  }

  void Add(NotificationRequest request, AddCallback done) override {
    // Stamped at the call, as the platform dates a request when it is added.
    SpooledNotification n{std::move(request), wall_seconds_()};
    queue_->Async([container = container_, log = log_, n = std::move(n),
                   done = std::move(done)] {
      std::string cut;
      auto error = SpoolNotification(container, n, &cut);
      if (!cut.empty() && log) log(cut);
      done(std::move(error));
    });
  }

 private:
  const std::string container_;
  const std::shared_ptr<Queue> queue_;
  const std::function<double()> wall_seconds_;
  const std::function<void(const std::string&)> log_;
};

}  // namespace

std::optional<AuthorizationStatus> AuthorizationStatusFromInt(long long value) {
  if (value < 0 || value > 4) return std::nullopt;
  return static_cast<AuthorizationStatus>(value);
}

std::optional<std::string> ValidateNotificationRequest(const NotificationRequest& request) {
  const std::string& id = request.identifier;
  if (id.empty()) return "the notification identifier is empty";
  if (id.size() > kMaxIdentifierBytes) {
    return "the notification identifier is longer than " + std::to_string(kMaxIdentifierBytes) +
           " bytes";
  }
  if (id.front() == '.' || id.find('/') != std::string::npos ||
      id.find('\0') != std::string::npos) {
    return "the notification identifier \"" + id +
           "\" starts with '.' or holds '/' or a NUL byte";
  }
  const double t = request.trigger_interval_seconds;
  if (!std::isfinite(t) || t <= 0) return "time interval must be greater than 0";
  if (request.repeats && t < 60) return "time interval must be at least 60 if repeating";
  return std::nullopt;
}

std::shared_ptr<NotificationCenter> MakeAppGroupNotificationCenter(
    std::string container, std::shared_ptr<Queue> queue, std::function<double()> wall_seconds,
    std::function<void(const std::string&)> log) {
  return std::make_shared<AppGroupNotificationCenter>(std::move(container), std::move(queue),
                                                      std::move(wall_seconds), std::move(log));
}

}  // namespace kelvo
