#include "platform/http/testing/loopback_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace kelvo {
namespace {

// A client that sends nothing for this long loses its connection.
constexpr int kReadTimeoutMs = 10000;
constexpr size_t kMaxHeaderBytes = 64 * 1024;

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

std::string_view TrimFront(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

// Request line and headers; false on anything that is not HTTP/1.x.
bool ParseHead(std::string_view head, ServedRequest* req) {
  size_t eol = head.find("\r\n");
  std::string_view line = head.substr(0, eol);
  size_t sp1 = line.find(' ');
  size_t sp2 = line.rfind(' ');
  if (sp1 == std::string_view::npos || sp2 == sp1 || !line.substr(sp2 + 1).starts_with("HTTP/1.")) {
    return false;
  }
  req->method = std::string(line.substr(0, sp1));
  req->path = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
  while (eol != std::string_view::npos) {
    size_t start = eol + 2;
    eol = head.find("\r\n", start);
    std::string_view h = head.substr(start, eol == std::string_view::npos ? eol : eol - start);
    if (h.empty()) continue;
    size_t colon = h.find(':');
    if (colon == std::string_view::npos) return false;
    req->headers.push_back(
        {std::string(h.substr(0, colon)), std::string(TrimFront(h.substr(colon + 1)))});
  }
  return true;
}

}  // namespace

ServedResponse Reply(int status, std::string body, HttpHeaders headers) {
  ServedResponse r;
  r.status = status;
  r.body = std::move(body);
  r.headers = std::move(headers);
  return r;
}

LoopbackHttpServer::LoopbackHttpServer(Handler handler) : handler_(std::move(handler)) {
  stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || stop_fd_ < 0) {
    if (fd >= 0) close(fd);
    return;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return;
  }
  port_ = ntohs(addr.sin_port);
  listen_fd_ = fd;
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
  if (stop_fd_ >= 0) {
    uint64_t one = 1;
    ssize_t ignored = write(stop_fd_, &one, sizeof one);
    (void)ignored;
  }
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> lock(mu_);
    connections.swap(connections_);
  }
  for (std::thread& t : connections) t.join();
  if (listen_fd_ >= 0) close(listen_fd_);
  if (stop_fd_ >= 0) close(stop_fd_);
}

std::string LoopbackHttpServer::Url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

std::vector<ServedRequest> LoopbackHttpServer::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

bool LoopbackHttpServer::WaitForRequests(size_t n, Duration timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return recorded_.wait_for(lock, timeout, [&] { return requests_.size() >= n; });
}

void LoopbackHttpServer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(mu_);
    connections_.emplace_back([this, fd] {
      Serve(fd);
      close(fd);
    });
  }
}

bool LoopbackHttpServer::Pause(Duration d, int fd) const {
  pollfd fds[2] = {{stop_fd_, POLLIN, 0}, {fd, POLLIN, 0}};
  int timeout_ms = d < Duration::zero()
                       ? -1
                       : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(d).count());
  int n;
  do {
    n = poll(fds, fd >= 0 ? 2 : 1, timeout_ms);
  } while (n < 0 && errno == EINTR);
  return n != 0;
}

void LoopbackHttpServer::Serve(int fd) {
  // Waits until `fd` is ready for `events`; false on stop, timeout or error.
  auto wait_for = [this, fd](short events, int timeout_ms) {
    pollfd fds[2] = {{fd, events, 0}, {stop_fd_, POLLIN, 0}};
    int n;
    do {
      n = poll(fds, 2, timeout_ms);
    } while (n < 0 && errno == EINTR);
    return n > 0 && fds[1].revents == 0 && fds[0].revents != 0;
  };
  auto send_all = [&](std::string_view data) {
    while (!data.empty()) {
      ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
      if (n > 0) {
        data.remove_prefix(static_cast<size_t>(n));
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        if (!wait_for(POLLOUT, kReadTimeoutMs)) return false;
      } else {
        return false;
      }
    }
    return true;
  };

  std::string in;
  size_t head_end = std::string::npos;
  auto read_more = [&] {
    if (!wait_for(POLLIN, kReadTimeoutMs)) return false;
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return n < 0 && errno == EAGAIN;
    in.append(buf, static_cast<size_t>(n));
    return true;
  };
  while ((head_end = in.find("\r\n\r\n")) == std::string::npos) {
    if (in.size() > kMaxHeaderBytes || !read_more()) return;
  }
  ServedRequest req;
  if (!ParseHead(std::string_view(in).substr(0, head_end), &req)) {
    send_all("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    return;
  }
  size_t body_size = 0;
  if (auto cl = FindHeader(req.headers, "Content-Length")) {
    body_size = std::strtoull(cl->c_str(), nullptr, 10);
  }
  if (auto expect = FindHeader(req.headers, "Expect"); expect && *expect == "100-continue") {
    if (!send_all("HTTP/1.1 100 Continue\r\n\r\n")) return;
  }
  size_t body_start = head_end + 4;
  while (in.size() - body_start < body_size) {
    if (!read_more()) return;
  }
  req.body = in.substr(body_start, body_size);

  {
    std::lock_guard<std::mutex> lock(mu_);
    requests_.push_back(req);
  }
  recorded_.notify_all();

  ServedResponse resp = handler_ ? handler_(req) : Reply(404);
  if (resp.delay > Duration::zero() && Pause(resp.delay, -1)) return;
  switch (resp.action) {
    case ServedResponse::Action::kClose:
      return;
    case ServedResponse::Action::kStall:
      Pause(Duration(-1), fd);
      return;
    case ServedResponse::Action::kRespond:
      break;
  }
  std::string head = "HTTP/1.1 " + std::to_string(resp.status) + " " + ReasonPhrase(resp.status) +
                     "\r\nContent-Length: " + std::to_string(resp.body.size()) +
                     "\r\nConnection: close\r\n";
  for (const HttpHeader& h : resp.headers) head += h.name + ": " + h.value + "\r\n";
  head += "\r\n";
  if (!send_all(head)) return;
  if (resp.byte_interval <= Duration::zero()) {
    send_all(resp.body);
    return;
  }
  for (size_t i = 0; i < resp.body.size(); ++i) {
    if (!send_all(std::string_view(resp.body).substr(i, 1))) return;
    if (i + 1 < resp.body.size() && Pause(resp.byte_interval, -1)) return;
  }
}

}  // namespace kelvo
