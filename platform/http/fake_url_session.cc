#include "platform/http/fake_url_session.h"

namespace kelvo {

UrlResponse MakeUrlResponse(int status, std::string_view body, HttpHeaders headers) {
  UrlResponse r;
  r.status = status;
  r.headers = std::move(headers);
  r.body = std::vector<uint8_t>(body.begin(), body.end());
  return r;
}

UrlResponse MakeUrlFailure(std::string description) {
  UrlResponse r;
  r.error_description = std::move(description);
  return r;
}

FakeUrlSession::FakeUrlSession(std::shared_ptr<Queue> callback_queue)
    : queue_(std::move(callback_queue)) {}

FakeUrlSession::~FakeUrlSession() { CancelAll(); }

void FakeUrlSession::DataTask(UrlRequest request, Completion completion) {
  Responder responder;
  {
    std::lock_guard<std::mutex> lock(mu_);
    requests_.push_back(request);
    responder = responder_;
  }
  // The responder runs unlocked: it may look at requests() itself.
  std::optional<UrlResponse> answer;
  if (responder) answer = responder(request);
  if (answer.has_value()) {
    Deliver(std::move(completion), std::move(*answer));
    return;
  }
  std::lock_guard<std::mutex> lock(mu_);
  pending_.push_back({std::move(request), std::move(completion)});
}

void FakeUrlSession::CancelAll() {
  std::deque<Pending> cancelled;
  {
    std::lock_guard<std::mutex> lock(mu_);
    cancelled.swap(pending_);
  }
  for (Pending& p : cancelled) {
    Deliver(std::move(p.completion), MakeUrlFailure(kUrlCancelledDescription));
  }
}

std::vector<UrlRequest> FakeUrlSession::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

size_t FakeUrlSession::pending_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pending_.size();
}

bool FakeUrlSession::Respond(int status, std::string_view body, HttpHeaders headers) {
  return Answer(MakeUrlResponse(status, body, std::move(headers)));
}

bool FakeUrlSession::Fail(std::string description) {
  return Answer(MakeUrlFailure(std::move(description)));
}

bool FakeUrlSession::Answer(UrlResponse response) {
  Completion completion;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (pending_.empty()) return false;
    completion = std::move(pending_.front().completion);
    pending_.pop_front();
  }
  Deliver(std::move(completion), std::move(response));
  return true;
}

void FakeUrlSession::SetResponder(Responder responder) {
  std::lock_guard<std::mutex> lock(mu_);
  responder_ = std::move(responder);
}

void FakeUrlSession::Deliver(Completion completion, UrlResponse response) {
  if (!completion) return;
  queue_->Async([completion = std::move(completion), response = std::move(response)]() mutable {
    completion(std::move(response));
  });
}

}  // namespace kelvo
