// Whether a Unix socket path has a server behind it, by connecting to it
// once (non-blocking, so a server with a full backlog does not stall the
// caller). Plain function, safe from any thread.
#pragma once

#include <string>

namespace kelvo {

// 0 when a server accepts the connection; else the errno of the attempt:
// ENOENT (nothing there), ECONNREFUSED (a socket nobody listens on),
// EAGAIN (a live server whose backlog is full), ENAMETOOLONG (a path no
// socket address holds), or what else connect answered.
int ProbeUnixSocket(const std::string& path);

}  // namespace kelvo
