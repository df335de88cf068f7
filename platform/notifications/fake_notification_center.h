// A notification centre for tests: the status is whatever the test sets,
// Add can be made to fail with a given description, and every request
// handed to Add is recorded (failed ones too). Callbacks run on the queue
// given at creation, as the real centre's do. Add validates requests like
// the real centre, before any failure the test set up.
// Threading: all methods are thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/notifications/notification_center.h"

namespace kelvo {

class FakeNotificationCenter : public NotificationCenter {
 public:
  explicit FakeNotificationCenter(std::shared_ptr<Queue> queue,
                                  AuthorizationStatus status = AuthorizationStatus::authorized);

  void GetAuthorizationStatus(StatusCallback done) override;
  void Add(NotificationRequest request, AddCallback done) override;

  void set_status(AuthorizationStatus status);
  // Every later Add fails with `description`; nullopt makes them succeed.
  void FailAddsWith(std::optional<std::string> description);

  std::vector<NotificationRequest> requests() const;
  int status_queries() const;

 private:
  const std::shared_ptr<Queue> queue_;
  mutable std::mutex mu_;
  AuthorizationStatus status_;
  std::optional<std::string> add_failure_;
  std::vector<NotificationRequest> requests_;
  int status_queries_ = 0;
};

}  // namespace kelvo
