// One request as a libcurl easy handle: its options, the bytes it gathers
// and the answer it makes of them. Internal to CurlUrlSession.
//
// Threading: used only by the session's worker thread.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <string>

#include "platform/dispatch/dispatch.h"
#include "platform/http/url_session.h"
#include "platform/network/socket_mark.h"

namespace kelvo {

class CurlTransfer {
 public:
  using SteadyTime = std::chrono::steady_clock::time_point;

  // A response body larger than this fails the request: a broken or hostile
  // server must not be able to exhaust memory.
  static constexpr size_t kMaxBodyBytes = 16 * 1024 * 1024;

  // Null, with *error set, when the request cannot be sent as given.
  // `mark` (may be null) is read when libcurl opens a socket.
  static std::unique_ptr<CurlTransfer> Create(UrlRequest request, Duration connect_timeout,
                                              Duration resource_timeout,
                                              std::shared_ptr<const SocketMark> mark,
                                              std::string* error);
  ~CurlTransfer();

  CurlTransfer(const CurlTransfer&) = delete;
  CurlTransfer& operator=(const CurlTransfer&) = delete;

  CURL* easy() const { return easy_; }
  const UrlRequest& request() const { return request_; }
  // When a byte last moved in either direction (the start, before any did).
  SteadyTime last_activity() const { return last_activity_; }

  // The answer for a transfer libcurl finished with `code`.
  UrlResponse Result(CURLcode code);

 private:
  explicit CurlTransfer(UrlRequest request);
  bool Configure(Duration connect_timeout, Duration resource_timeout, std::string* error);

  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static size_t OnBody(char* data, size_t size, size_t count, void* self);
  static int OnSocket(void* self, curl_socket_t fd, curlsocktype purpose);
  static int OnProgress(void* self, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                        curl_off_t ulnow);

  UrlRequest request_;
  std::shared_ptr<const SocketMark> mark_;
  CURL* easy_ = nullptr;
  curl_slist* header_list_ = nullptr;
  char error_buffer_[CURL_ERROR_SIZE] = {};
  HttpHeaders response_headers_;
  std::vector<uint8_t> response_body_;
  bool body_too_large_ = false;
  curl_off_t seen_down_ = 0;
  curl_off_t seen_up_ = 0;
  SteadyTime last_activity_;
};

}  // namespace kelvo
