#include "apps/kelvo-tun/tunnel_memory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/fs/files.h"
#include "platform/xdg/base_dirs.h"

namespace kelvo {
namespace {

// A configuration is a few kilobytes; anything far larger is not one.
constexpr size_t kMaxConfigurationBytes = 1 << 20;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::optional<std::string> NoDirectory() {
  return "no state directory (--state-dir): " + XdgBaseDirs::FromProcess().home_error;
}

}  // namespace

std::string DefaultStateDirectory() {
  std::string systemd = Env("STATE_DIRECTORY");
  if (!systemd.empty() && systemd.front() == '/') return systemd.substr(0, systemd.find(':'));
  // As for the control socket: root outside a session is the system service.
  std::string runtime = Env("XDG_RUNTIME_DIR");
  if (::geteuid() == 0 && (runtime.empty() || runtime.front() != '/')) return "/var/lib/kelvo";
  XdgBaseDirs dirs = XdgBaseDirs::FromProcess();
  return dirs.state_home.empty() ? std::string() : dirs.state_home + "/kelvo";
}

TunnelMemory::TunnelMemory(std::string directory, const std::string& interface)
    : directory_(std::move(directory)), path_(directory_ + "/tunnel-" + interface + ".conf") {}

std::optional<std::string> TunnelMemory::Remember(const std::string& configuration) const {
  if (directory_.empty()) return NoDirectory();
  if (auto error = MakeDirectories(directory_, kPrivateDirectoryMode)) return error;
  size_t slash = path_.rfind('/');
  return WriteFileAtomically(directory_, path_.substr(slash + 1), configuration, 0600);
}

std::optional<std::string> TunnelMemory::Forget() const {
  if (directory_.empty()) return std::nullopt;  // nothing can have been remembered
  if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
    return "cannot remove " + path_ + ": " + std::strerror(errno);
  }
  return std::nullopt;
}

std::optional<std::string> TunnelMemory::Recall(std::string* error) const {
  error->clear();
  if (directory_.empty()) {
    *error = *NoDirectory();
    return std::nullopt;
  }
  std::string text;
  bool missing = false;
  if (auto problem = ReadSmallFile(path_, kMaxConfigurationBytes, &text, &missing)) {
    if (!missing) *error = *problem;
    return std::nullopt;
  }
  return text;
}

}  // namespace kelvo
