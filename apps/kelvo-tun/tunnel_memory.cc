#include "apps/kelvo-tun/tunnel_memory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/notifications/spool_files.h"

namespace kelvo {
namespace {

// A configuration is a few kilobytes; anything far larger is not one.
constexpr size_t kMaxConfigurationBytes = 1 << 20;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// mkdir -p, new directories 0700.
std::optional<std::string> MakeDirectories(const std::string& dir) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    std::string part = dir.substr(0, pos);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      return "cannot create the state directory " + part + ": " + std::strerror(errno);
    }
  }
  return std::nullopt;
}

}  // namespace

std::string DefaultStateDirectory() {
  std::string systemd = Env("STATE_DIRECTORY");
  if (!systemd.empty() && systemd.front() == '/') return systemd.substr(0, systemd.find(':'));
  // As for the control socket: root outside a session is the system service.
  std::string runtime = Env("XDG_RUNTIME_DIR");
  if (::geteuid() == 0 && (runtime.empty() || runtime.front() != '/')) return "/var/lib/kelvo";
  std::string state = Env("XDG_STATE_HOME");
  if (!state.empty() && state.front() == '/') return state + "/kelvo";
  return Env("HOME") + "/.local/state/kelvo";
}

TunnelMemory::TunnelMemory(std::string directory, const std::string& interface)
    : directory_(std::move(directory)), path_(directory_ + "/tunnel-" + interface + ".conf") {}

std::optional<std::string> TunnelMemory::Remember(const std::string& configuration) const {
  if (auto error = MakeDirectories(directory_)) return error;
  size_t slash = path_.rfind('/');
  return WriteFileAtomically(directory_, path_.substr(slash + 1), configuration, 0600);
}

std::optional<std::string> TunnelMemory::Forget() const {
  if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
    return "cannot remove " + path_ + ": " + std::strerror(errno);
  }
  return std::nullopt;
}

std::optional<std::string> TunnelMemory::Recall(std::string* error) const {
  error->clear();
  std::string text;
  bool missing = false;
  if (auto problem = ReadSmallFile(path_, kMaxConfigurationBytes, &text, &missing)) {
    if (!missing) *error = *problem;
    return std::nullopt;
  }
  return text;
}

}  // namespace kelvo
