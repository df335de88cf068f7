#include "platform/notifications/fake_notification_center.h"

#include <utility>

namespace kelvo {

FakeNotificationCenter::FakeNotificationCenter(std::shared_ptr<Queue> queue,
                                               AuthorizationStatus status)
    : queue_(std::move(queue)), status_(status) {}

void FakeNotificationCenter::GetAuthorizationStatus(StatusCallback done) {
  AuthorizationStatus status;
  {
    std::lock_guard lock(mu_);
    ++status_queries_;
    status = status_;
  }
  queue_->Async([status, done = std::move(done)] { done(status); });
}

void FakeNotificationCenter::Add(NotificationRequest request, AddCallback done) {
  std::optional<std::string> result = ValidateNotificationRequest(request);
  {
    std::lock_guard lock(mu_);
    if (!result) result = add_failure_;
    requests_.push_back(std::move(request));
  }
  queue_->Async([result = std::move(result), done = std::move(done)] { done(result); });
}

void FakeNotificationCenter::set_status(AuthorizationStatus status) {
  std::lock_guard lock(mu_);
  status_ = status;
}

void FakeNotificationCenter::FailAddsWith(std::optional<std::string> description) {
  std::lock_guard lock(mu_);
  add_failure_ = std::move(description);
}

std::vector<NotificationRequest> FakeNotificationCenter::requests() const {
  std::lock_guard lock(mu_);
  return requests_;
}

int FakeNotificationCenter::status_queries() const {
  std::lock_guard lock(mu_);
  return status_queries_;
}

}  // namespace kelvo
