// The tunnel provider managers of this system: the profiles in the
// directory tunnels/ of the App Group container, taken in file-name order
// and loaded afresh on every LoadAll. A profile's connection status is the
// "status" answer of its control socket (disconnected when the socket does
// not answer within 2 seconds; all profiles are asked at once); its session
// sends each provider message as a "handleAppMessage" request on the one
// connection the managers keep to that socket. A connection the socket
// refuses is a send error that says why (see DescribeControlSocketFailure),
// and is logged.
//
// Threading: the profile reading, the status queries and the connecting run
// on a serial queue of their own; the answer to a provider message arrives
// on the main queue. Neither blocks the main queue.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "host/tunnel_sessions.h"
#include "platform/dispatch/dispatch.h"

namespace kelvo {

inline constexpr Duration kTunnelStatusTimeout = std::chrono::seconds(2);

// `load_profiles` reads the profiles at each load, on the managers' queue
// (in the process: LoadTunnelProfiles on the App Group's tunnels/
// directory); its error is the load error.
// `log` (may be empty) gets one line per refused connection, from the
// managers' queue.
using TunnelLog = std::function<void(const std::string& line)>;
std::shared_ptr<TunnelManagers> MakeSocketTunnelManagers(
    Dispatch* dispatch, std::function<ProfileLoad()> load_profiles, TunnelLog log = nullptr);

}  // namespace kelvo
