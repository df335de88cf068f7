// A small threaded HTTP/1.1 server on 127.0.0.1 for tests of HTTP clients.
//
// It listens on an ephemeral port from construction to destruction. Each
// connection gets its own thread, carries one request (bodies by
// Content-Length only) and is closed after the answer ("Connection: close").
// Every request is recorded before the handler sees it. The handler decides
// the answer; it may also delay it, stall (send nothing until the client
// gives up or the server stops), close the connection without a word, or
// trickle the body out byte by byte.
//
// Threading: the handler runs on connection threads, possibly several at
// once. Every method is thread-safe. The destructor wakes every stalled or
// delayed connection, closes them all and joins the threads; it never waits
// for a delay or a stall to run out.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/http/url_session.h"

namespace kelvo {

struct ServedRequest {
  std::string method;
  std::string path;  // the request target as sent, query included
  // Values keep trailing blanks as sent ("Bearer " stays "Bearer ").
  HttpHeaders headers;
  std::string body;  // raw bytes
};

struct ServedResponse {
  enum class Action {
    kRespond,  // send the answer below
    kClose,    // close the connection without answering
    kStall,    // send nothing; hold the connection until the client leaves
  };
  Action action = Action::kRespond;
  int status = 200;
  HttpHeaders headers;  // Content-Length and Connection are added
  std::string body;
  Duration delay{0};          // before anything is sent (or closed)
  Duration byte_interval{0};  // nonzero: body sent one byte at a time
};

// A plain answer.
ServedResponse Reply(int status, std::string body = {}, HttpHeaders headers = {});

class LoopbackHttpServer {
 public:
  using Handler = std::function<ServedResponse(const ServedRequest&)>;

  explicit LoopbackHttpServer(Handler handler);
  ~LoopbackHttpServer();

  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  // False when the socket could not be set up; nothing then listens.
  bool ok() const { return listen_fd_ >= 0; }
  uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>" + path.
  std::string Url(std::string_view path = "/") const;

  std::vector<ServedRequest> requests() const;
  // Waits, at most `timeout`, until `n` requests have been recorded.
  bool WaitForRequests(size_t n, Duration timeout) const;

 private:
  void AcceptLoop();
  void Serve(int fd);
  // Waits up to `d` or until the server stops (true) or, when `fd` is not
  // negative, until that peer closes or sends (true as well).
  bool Pause(Duration d, int fd) const;

  const Handler handler_;
  int listen_fd_ = -1;
  int stop_fd_ = -1;  // eventfd, readable once the server stops
  uint16_t port_ = 0;
  std::thread acceptor_;

  mutable std::mutex mu_;
  mutable std::condition_variable recorded_;
  std::vector<ServedRequest> requests_;
  std::vector<std::thread> connections_;
};

}  // namespace kelvo
