#include "platform/path_monitor/net_snapshot.h"

#include <net/if.h>

#include <algorithm>

namespace kelvo {

Path ComputePath(const NetSnapshot& snapshot, const InterfaceClassifier& classify) {
  std::set<int> routed;
  for (const DefaultRoute& route : snapshot.default_routes) routed.insert(route.link);
  std::vector<const LinkInfo*> links;
  for (const LinkInfo& link : snapshot.links) {
    // Without a carrier the kernel keeps the routes but nothing leaves.
    const bool usable = (link.flags & IFF_UP) && (link.flags & IFF_RUNNING);
    if (usable && routed.count(link.index)) links.push_back(&link);
  }
  std::sort(links.begin(), links.end(),
            [](const LinkInfo* a, const LinkInfo* b) { return a->index < b->index; });
  Path path;
  for (const LinkInfo* link : links) {
    if (!path.interfaces.empty() && path.interfaces.back().index == link->index) continue;
    path.interfaces.push_back({link->name, link->index, classify(*link)});
  }
  path.status = path.interfaces.empty() ? PathStatus::kUnsatisfied : PathStatus::kSatisfied;
  return path;
}

}  // namespace kelvo
