// The tunnel extension's control socket as the system shares it: who may
// connect, how a client finds it, and why a connection was refused, said
// so that a person can act on it.
//
// A root kelvo-tun (the system service) serves /run/kelvo/tunnel.sock,
// mode 0660, group "kelvo"; the desktop user reaches it by being a member
// of that group. Without the group (or for a kelvo-tun that may not use
// it) the socket stays private to its user (0600).
//
// Blocking calls (connecting, one status request); safe from any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/engine/peer_access.h"
#include "platform/tunnels/tunnel_manager.h"

namespace kelvo {

inline constexpr const char* kSystemControlSocket = "/run/kelvo/tunnel.sock";

// The access a control socket is served with: 0660 and the group `group`
// when it exists and this process may give files to it (root, or a member
// of it); else private.
SocketAccess ControlSocketAccess(const std::string& group = kSharedGroupName);

// The connection status the control socket at `path` reports; disconnected
// when it cannot be reached or does not answer within `timeout`.
// ("enum TunnelStatus": kelvoctl's commands have a function of that name.)
enum TunnelStatus QueryTunnelStatus(const std::string& path, Duration timeout);

// The control socket a client should use: the first profile whose status is
// connecting, connected or reasserting, else the first profile, else
// `fallback` (the walk the host makes over the same profiles).
std::string ChooseControlSocket(const std::vector<TunnelProfile>& profiles,
                                const std::function<enum TunnelStatus(const std::string&)>& status,
                                const std::string& fallback);

// Why connecting to the socket at `path` failed, given the connection's own
// error text. A refusal by permissions reads "permission denied on PATH:
// add yourself to the group kelvo" when the socket belongs to that group
// ("... log in again" when the account is a member but this process is
// not), else names the socket's owner, group and mode. Other failures are
// `connect_error` as it is.
std::string DescribeControlSocketFailure(const std::string& path, const std::string& connect_error);

// True when nothing serves at `path`: no socket file, or nobody listening.
bool ControlSocketAbsent(const std::string& path);

}  // namespace kelvo
