// URL loading: a session that sends HTTP requests and hands each answer to
// one completion on the session's serial callback queue.
//
// Contract:
// - DataTask starts the request at once (there is no separate resume step)
//   and calls its completion exactly once, always on the callback queue
//   given at creation, never on the calling thread.
// - status is the HTTP status when a complete HTTP response arrived. It is 0
//   for every transport failure (no network, refused, timeout, TLS, bad URL,
//   cancellation, a response cut off midway); then body is absent and
//   error_description says what went wrong.
// - When a response arrived, body is present (possibly empty) and
//   error_description is absent, whatever the status: 401 and 500 are
//   answers, not errors.
// - CancelAll ends every request in flight: each completes with status 0 and
//   error_description "cancelled". Requests started afterwards run normally.
// - Destroying a session cancels what is in flight the same way: those
//   completions still run, later, on the callback queue, with status 0 and
//   "cancelled". They touch only what they captured, never the session, so
//   they are harmless after it is gone. They are posted before the
//   destructor returns.
//
// Ownership: the session holds its callback queue (shared). Completions are
// owned by the session until they have run.
// Threading: every method is thread-safe. The destructor may be called on any
// thread, including the callback queue.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kelvo {

struct HttpHeader {
  std::string name;
  std::string value;

  bool operator==(const HttpHeader&) const = default;
};

// Headers in the order they are sent or were received; names keep their
// case. Lookup by name ignores case, as HTTP does.
using HttpHeaders = std::vector<HttpHeader>;

// The value of the first header named `name` (any case), if any.
std::optional<std::string> FindHeader(const HttpHeaders& headers, const std::string& name);

struct UrlRequest {
  std::string url;
  std::string method = "GET";
  HttpHeaders headers = {};
  // Sent as the request body when present, even when empty or on a GET.
  std::optional<std::vector<uint8_t>> body = {};
};

struct UrlResponse {
  int status = 0;
  HttpHeaders headers = {};
  std::optional<std::vector<uint8_t>> body = {};
  std::optional<std::string> error_description = {};
};

inline constexpr const char* kUrlCancelledDescription = "cancelled";

class UrlSession {
 public:
  using Completion = std::function<void(UrlResponse)>;

  virtual ~UrlSession() = default;
  virtual void DataTask(UrlRequest request, Completion completion) = 0;
  virtual void CancelAll() = 0;
};

}  // namespace kelvo
