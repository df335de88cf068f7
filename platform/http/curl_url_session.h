// The real URL session, on libcurl's multi interface driven by one worker
// thread per session.
//
// Behaviour, in the terms of the platform session it stands in for:
// - Ephemeral: no cookie engine, no cache, no credentials, nothing written
//   to disk. Connections may be reused between requests of one session.
// - "Request timeout" (default 15 s) is an idle timeout: a request fails
//   when no byte has moved in either direction for that long, connection
//   set-up included. Measured by the worker itself, so sub-second values
//   work (libcurl's own low-speed limit counts whole seconds only).
// - "Resource timeout" (default 20 s) bounds the whole request, from start
//   to the last byte (CURLOPT_TIMEOUT_MS).
// - Never waits for connectivity: without a network the request fails at
//   once with libcurl's description ("Couldn't connect to server", ...).
// - Proxy settings come from the environment as libcurl reads them
//   (http_proxy, https_proxy, all_proxy, no_proxy and their upper-case
//   forms except HTTP_PROXY).
// - Redirects are followed as the platform does (redirect.h): up to 10,
//   "Authorization" only to the first request's origin; the 11th fails the
//   request with status 0. A 3xx without Location is an answer. The
//   resource timeout covers all hops together.
// - URLs are sent as built: no dot segments are removed from the path.
// - Only http and https URLs are accepted.
// - With a `socket_mark` (may be null), every new connection's socket carries its value
//   at the time (SO_MARK, through libcurl's socket-option callback), so the
//   requests can go around a tunnel that policy routing steers by mark.
// - The headers sent are the request's, plus what libcurl adds: Host,
//   Accept "*/*" and Accept-Encoding (the encodings this libcurl decodes,
//   such as "deflate, gzip"; bodies arrive decoded) unless the request has
//   them, and Content-Length with a body. No User-Agent, and no
//   Content-Type or "Expect: 100-continue" the request did not ask for.
// - A header whose name or value holds CR, LF or NUL, or whose name is empty
//   or holds ':', fails the request with status 0 (nothing is sent).
#pragma once

#include <memory>

#include "platform/dispatch/dispatch.h"
#include "platform/http/url_session.h"
#include "platform/network/socket_mark.h"

namespace kelvo {

struct CurlUrlSessionOptions {
  Duration request_timeout = std::chrono::seconds(15);
  Duration resource_timeout = std::chrono::seconds(20);
};

class CurlUrlSession : public UrlSession {
 public:
  explicit CurlUrlSession(std::shared_ptr<Queue> callback_queue,
                          CurlUrlSessionOptions options = {},
                          std::shared_ptr<const SocketMark> socket_mark = nullptr);
  // Cancels what is in flight (see url_session.h) and joins the worker.
  ~CurlUrlSession() override;

  CurlUrlSession(const CurlUrlSession&) = delete;
  CurlUrlSession& operator=(const CurlUrlSession&) = delete;

  void DataTask(UrlRequest request, Completion completion) override;
  void CancelAll() override;

 private:
  class Worker;
  std::unique_ptr<Worker> worker_;
};

}  // namespace kelvo
