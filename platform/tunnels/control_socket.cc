#include "platform/tunnels/control_socket.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/engine/engine_socket.h"
#include "platform/engine/standard_codec.h"
#include "platform/fs/socket_probe.h"

namespace kelvo {
SocketAccess ControlSocketAccess(const std::string& group) {
  std::optional<gid_t> gid = UsableGroup(group);
  if (!gid) return SocketAccess{};
  return SocketAccess{.mode = 0660, .directory_mode = 0755, .group = gid};
}

TunnelStatus QueryTunnelStatus(const std::string& path, Duration timeout) {
  EngineSocketClient client;
  if (client.Connect(path)) return TunnelStatus::kDisconnected;
  EngineCallResult call = client.SendAndWait("status", std::nullopt, timeout);
  if (!call.ok() || !call.reply) return TunnelStatus::kDisconnected;
  Result<Value> value = StandardCodec::Instance().Decode(*call.reply);
  if (!value.ok() || !value.value().is_int()) return TunnelStatus::kInvalid;
  int64_t status = value.value().as_int();
  if (status < 0 || status > static_cast<int64_t>(TunnelStatus::kDisconnecting)) {
    return TunnelStatus::kInvalid;
  }
  return static_cast<TunnelStatus>(status);
}

std::string ChooseControlSocket(const std::vector<TunnelProfile>& profiles,
                                const std::function<TunnelStatus(const std::string&)>& status,
                                const std::string& fallback) {
  for (const TunnelProfile& p : profiles) {
    TunnelStatus s = status(p.control_socket);
    if (s == TunnelStatus::kConnecting || s == TunnelStatus::kConnected ||
        s == TunnelStatus::kReasserting) {
      return p.control_socket;
    }
  }
  return profiles.empty() ? fallback : profiles.front().control_socket;
}

std::string DescribeControlSocketFailure(const std::string& path,
                                         const std::string& connect_error) {
  // Connecting to a Unix socket needs write permission on it (and search
  // permission on the directories above it).
  if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0 || errno != EACCES) {
    return connect_error;
  }
  std::string denied = "permission denied on " + path;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return denied + ": " + std::strerror(errno);
  std::string group = GroupName(st.st_gid);
  if (group == kSharedGroupName && (st.st_mode & 0060) == 0060) {
    if (AccountInGroup(st.st_gid)) {
      return denied + ": add yourself to the group " + group +
             " (your account is in it, this session is not yet: log in again)";
    }
    return denied + ": add yourself to the group " + group;
  }
  return denied + " (owner " + UserName(st.st_uid) + ", group " + group + ", mode " +
         OctalMode(st.st_mode) + ")";
}

bool ControlSocketAbsent(const std::string& path) {
  int err = ProbeUnixSocket(path);
  return err == ENOENT || err == ECONNREFUSED;
}

}  // namespace kelvo
