// Tunnel profiles and sessions: what the host knows of installed tunnels.
//
// A profile is one JSON file {"name": string, "controlSocket": path} in the
// directory tunnels/ of the App Group container "group.net.kelvo.app".
// Profiles are taken in file-name order, loaded afresh on every call. A
// tunnel extension (kelvo-tun) writes its own profile when it starts serving
// and removes it when it exits.
//
// A session talks to the extension over its control socket (same framing as
// the engine socket): kind 0 frames whose channel names the operation:
//   "startTunnel"      data: codec map of start options, or null;
//                      reply: codec null, or codec list [domain, code, description]
//   "stopTunnel"       data: codec integer reason; reply: codec null, once
//                      the stop completed
//   "handleAppMessage" data: the message bytes as they are; reply: the reply
//                      bytes as they are, or no data for no reply
//   "sleep", "wake"    reply: codec null
//   "status"           reply: codec integer connection status
// ("codec null" is the one byte 0x00; "no data" is a reply frame whose data
// is null, which is also what a channel without handler answers.)
// Connection status: 1 disconnected (also: socket unreachable), 2 connecting,
// 3 connected, 4 reasserting, 5 disconnecting.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvo {

enum class TunnelStatus : int {
  kInvalid = 0,
  kDisconnected = 1,
  kConnecting = 2,
  kConnected = 3,
  kReasserting = 4,
  kDisconnecting = 5,
};

struct TunnelProfile {
  std::string name;
  std::string control_socket;
  std::string file;  // the profile's file name, for ordering and removal

  bool operator==(const TunnelProfile&) const = default;
};

// The tunnels/ directory of an App Group container.
std::string TunnelProfilesDirectory(const std::string& app_group_container);

// Loads every profile in file-name order. A directory that does not exist
// holds no profiles; an unreadable directory is an error (the description).
// A malformed file is skipped (and reported through `on_skip` if given).
struct ProfileLoad {
  std::vector<TunnelProfile> profiles;
  std::optional<std::string> error;
};
ProfileLoad LoadTunnelProfiles(const std::string& directory,
                               const std::function<void(const std::string&)>& on_skip = nullptr);

// Writes (atomically, mode 0660) or removes one profile file. Writing
// makes `directory` (02770) when missing, but not its parents. Returns the
// failure's description.
std::optional<std::string> WriteTunnelProfile(const std::string& directory,
                                              const std::string& file_name,
                                              const TunnelProfile& profile);
std::optional<std::string> RemoveTunnelProfile(const std::string& directory,
                                               const std::string& file_name);

}  // namespace kelvo

namespace kelvo {

// $XDG_RUNTIME_DIR/kelvo/tunnel.sock, beside the engine socket. Without
// XDG_RUNTIME_DIR: /run/kelvo/tunnel.sock for root (the system service),
// /run/user/<uid>/kelvo/tunnel.sock for everyone else.
std::string DefaultControlSocketPath();

}  // namespace kelvo
