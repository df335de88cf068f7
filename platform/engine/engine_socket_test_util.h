// Test helpers for the engine socket tests: a private temporary directory
// and a raw client socket that speaks bytes, not frames.
#pragma once

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kelvo::testing {

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/kelvo-engine-XXXXXX";
    if (::mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The address of the socket at `path` (cut to what fits).
inline sockaddr_un UnixAddress(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  return addr;
}

// A connection made by hand, for feeding the server bytes no client sends.
class RawConnection {
 public:
  explicit RawConnection(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = UnixAddress(path);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  // Takes a connected socket (one a RawListener accepted).
  struct Adopt {
    int fd;
  };
  explicit RawConnection(Adopt adopt) : fd_(adopt.fd) {}
  ~RawConnection() {
    if (fd_ >= 0) ::close(fd_);
  }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;
  bool ok() const { return fd_ >= 0; }

  bool Write(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // Reads what arrives until `count` bytes came, the peer closed or the
  // time ran out.
  std::vector<uint8_t> Read(size_t count, std::chrono::milliseconds limit) {
    std::vector<uint8_t> out;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (out.size() < count) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      uint8_t buf[4096];
      ssize_t n = ::recv(fd_, buf, std::min(sizeof buf, count - out.size()), 0);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      out.insert(out.end(), buf, buf + n);
    }
    return out;
  }

  // True when the server closed this connection within `limit`.
  bool WaitClosed(std::chrono::milliseconds limit) {
    while (!closed_) {
      if (Read(1 << 20, limit).empty() && !closed_) return false;
    }
    return true;
  }

 private:
  int fd_ = -1;
  bool closed_ = false;
};

// A listening socket whose connections the test answers by hand, for
// feeding a client bytes no server sends.
class RawListener {
 public:
  explicit RawListener(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = UnixAddress(path);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd_, 4) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~RawListener() {
    if (fd_ >= 0) ::close(fd_);
  }
  RawListener(const RawListener&) = delete;
  RawListener& operator=(const RawListener&) = delete;
  bool ok() const { return fd_ >= 0; }

  // The next connection, or nothing when none came within `limit`.
  std::unique_ptr<RawConnection> Accept(std::chrono::milliseconds limit) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return nullptr;
    int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::make_unique<RawConnection>(RawConnection::Adopt{fd});
  }

 private:
  int fd_ = -1;
};

}  // namespace kelvo::testing
