// What kelvo-tun remembers across a restart (a reboot, a crash): the
// configuration of the last tunnel that was started and not stopped, so
// that `kelvo-tun --resume` can start it again. A successful start
// remembers its configuration; a stop asked for through the control socket
// forgets it; a process that exits on a signal keeps it.
//
// The file holds the private key: it is written whole (temporary file,
// fsync, rename) with mode 0600 in a directory of its owner.
// Blocking file I/O; one object per process, used from any one thread at a
// time.
#pragma once

#include <optional>
#include <string>

namespace kelvo {

// $STATE_DIRECTORY (what systemd's StateDirectory= gives, the first entry
// when it lists several), else /var/lib/kelvo for root without
// XDG_RUNTIME_DIR, else <state home>/kelvo by the rules of
// platform/xdg/base_dirs.h; empty without a home directory (remembering
// then fails, naming why).
std::string DefaultStateDirectory();

class TunnelMemory {
 public:
  // Remembers in `directory`/tunnel-`interface`.conf.
  TunnelMemory(std::string directory, const std::string& interface);

  const std::string& path() const { return path_; }

  // Each returns the failure's description.
  std::optional<std::string> Remember(const std::string& configuration) const;
  std::optional<std::string> Forget() const;
  // The remembered configuration; nullopt with an empty `*error` when there
  // is none.
  std::optional<std::string> Recall(std::string* error) const;

 private:
  std::string directory_;
  std::string path_;
};

}  // namespace kelvo
