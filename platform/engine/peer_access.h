// Who may use a socket served by this process: the rule and the Linux
// calls behind it. A socket shared with a group (the tunnel's control
// socket, group "kelvo") admits root, its own user, and processes whose
// groups include the socket's group; a private socket only the first two.
//
// Pure apart from the credential look-ups; safe from any thread.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace kelvo {

// The system group that shares the tunnel's control socket and the App
// Group container between the root service and the desktop user.
inline constexpr const char* kSharedGroupName = "kelvo";

// What a server grants: the socket's mode and, for a shared socket, its
// group (nullopt: private, owner and root only). `directory_mode` is the
// mode of parent directories the server has to create.
struct SocketAccess {
  mode_t mode = 0600;
  mode_t directory_mode = 0700;
  std::optional<gid_t> group;
};

struct PeerCredentials {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary groups
};

// Root and `own_uid` always; with a group, also peers whose primary or
// supplementary groups include it.
bool PeerAdmitted(const PeerCredentials& peer, uid_t own_uid, std::optional<gid_t> group);

// The credentials of the process at the other end of a connected Unix
// socket: SO_PEERCRED, then SO_PEERGROUPS (or, where the kernel lacks it,
// the uid's group list from the group database). The reason on failure.
std::optional<std::string> ReadPeerCredentials(int fd, PeerCredentials* out);

// The gid of a group by name; nullopt when the group does not exist.
std::optional<gid_t> LookUpGroup(const std::string& name);
// The gid of `name` when it exists and this process may give files to it
// (root, or a member: effective or supplementary group); else nullopt.
std::optional<gid_t> UsableGroup(const std::string& name);
// The name of a uid, or its number as text.
std::string UserName(uid_t uid);
// Whether the group database lists the real user of this process in `gid`
// (which the process itself may not have yet, before a new login).
bool AccountInGroup(gid_t gid);
// The name of a gid, or its number as text.
std::string GroupName(gid_t gid);
// "0660", "2770": the permission bits as chmod takes them.
std::string OctalMode(mode_t mode);

}  // namespace kelvo
