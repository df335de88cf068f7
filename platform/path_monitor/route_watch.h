// The path monitor's view of the kernel, and its seam for tests: a watch
// reads the kernel's tables (links, addresses, default routes) on demand
// and, once begun, after each burst of notifications, from a thread of its
// own. A watch that breaks says so once and then stays silent; the monitor
// opens a new one (rtnetlink_path_monitor.h). Tests open fake watches
// (fake_route_watch.h).
//
// Ownership: whoever opens a watch owns it; destroying it stops its thread
// and waits for it, so no event runs once the destructor has returned.
// Never destroy a watch from within one of its own events.
// Threading: ReadSnapshot is called before Begin, by one thread; events
// then run one at a time on the watch's thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/path_monitor/net_snapshot.h"

namespace kelvo {

struct RouteWatchEvents {
  // After a burst of notifications, with the tables read anew.
  std::function<void(NetSnapshot snapshot)> changed;
  // The watch broke (a socket failed, the kernel refused a dump): called
  // once, and nothing comes from this watch afterwards.
  std::function<void(const std::string& error)> failed;
};

class RouteWatch {
 public:
  virtual ~RouteWatch() = default;
  // Reads the tables now; returns why it could not.
  virtual std::optional<std::string> ReadSnapshot(NetSnapshot* out) = 0;
  // Starts delivering `events`. Called once.
  virtual void Begin(RouteWatchEvents events) = 0;
};

// Opens a watch; nullptr and *error when it cannot.
using RouteWatchOpener = std::function<std::unique_ptr<RouteWatch>(std::string* error)>;

struct RtNetlinkRouteWatchOptions {
  // Quiet time that ends a burst: taking a link down sends several
  // notifications, and the tables are read once after the last of them (a
  // burst is cut after ten such waits). Zero reads after every wake-up.
  std::chrono::milliseconds settle{20};
  // The longest wait for the kernel's answer to one table dump.
  std::chrono::milliseconds dump_timeout{5000};
};

// Watches on rtnetlink sockets in the network namespace of the thread that
// calls this function, whichever thread opens them later (a broken watch
// is reopened from the monitor's queue). Empty and *error when the
// namespace cannot be held.
RouteWatchOpener RtNetlinkRouteWatchOpener(RtNetlinkRouteWatchOptions options, std::string* error);

}  // namespace kelvo
