// The network path monitor: watches the host's network interfaces and
// routes and reports the path that traffic would take: whether it is usable
// (satisfied) and which interfaces, of which types, it may use.
//
// On this system the path is read from rtnetlink (rtnetlink_path_monitor.h):
// - An interface is in the path when it is up and running (IFF_UP and
//   IFF_RUNNING) and is the outgoing interface of a default route (a unicast
//   route of prefix length 0, IPv4 or IPv6, in any table but the local one).
// - The path is satisfied when at least one interface is in it.
// - An interface's type comes from the kernel's description of the device
//   (interface_type.h): Wi-Fi, cellular, wired Ethernet, or other.
// Tests use FakePathSource (fake_path_monitor.h) and set paths by hand.
//
// Contract:
// - A monitor is started once, on the queue that receives its updates; a
//   cancelled monitor stays cancelled (make a new one to watch again).
// - The update handler is called once per change of the network the path
//   is read from: a link, an address or a default route (IPv4 or IPv6)
//   added, removed or changed, as the platform's monitor reports a new
//   path for a new gateway or address too. So an update may carry a path
//   equal to the last one. Never for the path the monitor found at Start,
//   and never once Cancel has returned.
// - CurrentPath is the newest path the monitor knows: unsatisfied before
//   Start, the path found at Start from then on.
//
// Ownership: whoever creates a monitor owns it; destroying it cancels it.
// Threading: every method is safe from any thread. The handler runs on the
// queue given to Start, one call at a time, in the order of the changes.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/dispatch.h"

namespace kelvo {

enum class InterfaceType { kWifi, kCellular, kWiredEthernet, kOther };

// "wifi", "cellular", "wiredEthernet", "other" (for logs and tests).
std::string_view InterfaceTypeName(InterfaceType type);

enum class PathStatus { kUnsatisfied, kSatisfied };

struct PathInterface {
  std::string name;
  int index = 0;
  InterfaceType type = InterfaceType::kOther;

  bool operator==(const PathInterface&) const = default;
};

struct Path {
  PathStatus status = PathStatus::kUnsatisfied;
  std::vector<PathInterface> interfaces;  // ordered by index

  // True when some interface of the path has `type`.
  bool UsesInterfaceType(InterfaceType type) const;
  // "satisfied eth0(2,wiredEthernet) wg0(5,other)", "unsatisfied".
  std::string DebugString() const;

  bool operator==(const Path&) const = default;
};

class PathMonitor {
 public:
  using UpdateHandler = std::function<void(const Path& path)>;

  virtual ~PathMonitor() = default;

  // Replaces the handler (empty: none). May be set before or after Start.
  virtual void SetPathUpdateHandler(UpdateHandler handler) = 0;
  // Reads the current path and starts watching; updates run on `queue`.
  // Returns why watching could not start (the path then stays unsatisfied
  // and no update ever comes); starting twice or after Cancel is an error.
  virtual std::optional<std::string> Start(std::shared_ptr<Queue> queue) = 0;
  // Stops watching for good. Idempotent.
  virtual void Cancel() = 0;
  virtual Path CurrentPath() const = 0;
};

// Makes a new, unstarted monitor each time it is called.
using PathMonitorFactory = std::function<std::unique_ptr<PathMonitor>()>;

}  // namespace kelvo
