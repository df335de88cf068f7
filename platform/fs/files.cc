#include "platform/fs/files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <utility>

namespace kelvo {
namespace {

// Closes on every path out of a function.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

}  // namespace

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string ParentOf(const std::string& path) {
  size_t slash = path.find_last_not_of('/');
  slash = slash == std::string::npos ? std::string::npos : path.rfind('/', slash);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string FileFailure(std::string_view what, const std::string& path, int err) {
  std::string s(what);
  s += ' ';
  s += path;
  s += ": ";
  s += std::strerror(err);
  errno = err;
  return s;
}

std::optional<std::string> EnsureDirectory(const std::string& path, unsigned mode) {
  if (::mkdir(path.c_str(), mode) == 0) {
    if (::chmod(path.c_str(), mode) != 0) {
      return FileFailure("cannot set the mode of the folder", path, errno);
    }
    return std::nullopt;
  }
  int err = errno;
  struct stat st;
  if (err == EEXIST && ::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return std::nullopt;
    return FileFailure("cannot create the folder", path, ENOTDIR);
  }
  return FileFailure("cannot create the folder", path, err);
}

std::optional<std::string> MakeDirectories(const std::string& dir, unsigned mode) {
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return std::nullopt;
    return FileFailure("cannot create the folder", dir, ENOTDIR);
  }
  if (errno != ENOENT) return FileFailure("cannot look at", dir, errno);
  std::string parent = ParentOf(dir);
  if (parent != dir && parent != ".") {
    if (auto problem = MakeDirectories(parent, mode)) return problem;
  }
  return EnsureDirectory(dir, mode);
}

bool WriteAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::string> SyncDirectory(const std::string& dir) {
  Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0 || ::fsync(fd.get()) != 0) return FileFailure("cannot sync", dir, errno);
  return std::nullopt;
}

std::optional<std::string> WriteFileAtomically(const std::string& dir, const std::string& name,
                                               std::string_view content, unsigned mode) {
  static std::atomic<unsigned long> counter{0};
  // Unique per process and call, so concurrent writers never share one.
  const std::string temp = dir + "/." + name + ".tmp-" + std::to_string(::getpid()) + "-" +
                           std::to_string(counter.fetch_add(1));
  const std::string target = dir + "/" + name;

  Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (fd.get() < 0) return FileFailure("cannot write", temp, errno);
  auto fail = [&](std::string_view what, const std::string& path) {
    int err = errno;
    ::unlink(temp.c_str());
    return FileFailure(what, path, err);
  };
  if (::fchmod(fd.get(), mode) != 0) return fail("cannot set the mode of", temp);
  if (!WriteAll(fd.get(), content.data(), content.size())) return fail("cannot write", temp);
  if (::fsync(fd.get()) != 0) return fail("cannot sync", temp);
  if (::close(fd.Release()) != 0) return fail("cannot write", temp);
  if (::rename(temp.c_str(), target.c_str()) != 0) return fail("cannot move into place", target);
  return SyncDirectory(dir);
}

std::optional<std::string> WriteFileAtomically(const std::string& path, std::string_view content,
                                               unsigned mode) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return WriteFileAtomically(".", path, content, mode);
  return WriteFileAtomically(slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1),
                             content, mode);
}

std::optional<std::string> ReadSmallFile(const std::string& path, size_t max_bytes,
                                         std::string* out, bool* missing) {
  *missing = false;
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd.get() < 0) {
    *missing = errno == ENOENT;
    return FileFailure("cannot open", path, errno);
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return FileFailure("cannot read", path, errno);
  if (!S_ISREG(st.st_mode)) return "not a regular file: " + path;
  if (static_cast<unsigned long long>(st.st_size) > max_bytes) {
    return "file too large (" + std::to_string(st.st_size) + " bytes, at most " +
           std::to_string(max_bytes) + "): " + path;
  }
  std::string data;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FileFailure("cannot read", path, errno);
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
    if (data.size() > max_bytes) return "file too large: " + path;  // grew while read
  }
  *out = std::move(data);
  return std::nullopt;
}

}  // namespace kelvo
