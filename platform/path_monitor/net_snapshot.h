// What the path is computed from: the links and the default routes the
// kernel reported, and the rule that turns them into a Path.
//
// Threading: plain data and a pure function.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/path_monitor/path_monitor.h"

namespace kelvo {

struct LinkInfo {
  int index = 0;
  std::string name;
  unsigned flags = 0;   // IFF_* (ifinfomsg.ifi_flags)
  unsigned arphrd = 0;  // ARPHRD_* (ifinfomsg.ifi_type)
};

struct NetSnapshot {
  std::vector<LinkInfo> links;
  // Outgoing interfaces of unicast default routes outside the local table
  // (every next hop of a multipath route).
  std::set<int> default_route_links;
};

using InterfaceClassifier = std::function<InterfaceType(const LinkInfo& link)>;

// The interfaces that are up and running and carry a default route, ordered
// by index and typed by `classify`; satisfied when there is one.
Path ComputePath(const NetSnapshot& snapshot, const InterfaceClassifier& classify);

}  // namespace kelvo
