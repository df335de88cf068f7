// A URL session for unit tests: nothing goes on the wire.
//
// Every request is recorded. It then waits until the test answers it
// (Respond/Fail/Answer, oldest first), or is answered at once by the
// responder the test set. Answers, like the real session's, are delivered on
// the callback queue, never on the calling thread; CancelAll and destruction
// complete what is pending with status 0 and "cancelled", as url_session.h
// says.
//
// Threading: every method is thread-safe.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/http/url_session.h"

namespace kelvo {

// An HTTP answer with `status` and the bytes of `body`.
UrlResponse MakeUrlResponse(int status, std::string_view body, HttpHeaders headers = {});
// A transport failure: status 0, no body, the description.
UrlResponse MakeUrlFailure(std::string description);

class FakeUrlSession : public UrlSession {
 public:
  // Given a request, the answer to deliver, or nothing to leave it pending.
  using Responder = std::function<std::optional<UrlResponse>(const UrlRequest&)>;

  explicit FakeUrlSession(std::shared_ptr<Queue> callback_queue);
  ~FakeUrlSession() override;

  void DataTask(UrlRequest request, Completion completion) override;
  void CancelAll() override;

  // Every request started so far, in order, answered or not.
  std::vector<UrlRequest> requests() const;
  size_t pending_count() const;

  // Answer the oldest pending request. False when none is pending.
  bool Respond(int status, std::string_view body = {}, HttpHeaders headers = {});
  bool Fail(std::string description);
  bool Answer(UrlResponse response);

  // Applies to requests started from now on; null removes it.
  void SetResponder(Responder responder);

 private:
  struct Pending {
    UrlRequest request;
    Completion completion;
  };
  void Deliver(Completion completion, UrlResponse response);

  const std::shared_ptr<Queue> queue_;
  mutable std::mutex mu_;
  std::vector<UrlRequest> requests_;
  std::deque<Pending> pending_;
  Responder responder_;
};

}  // namespace kelvo
