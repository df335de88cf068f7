// What the path is computed from: the links, the addresses and the default
// routes the kernel reported, and the rule that turns them into a Path.
// Two snapshots compare equal when nothing a path update stands for
// changed; the path monitor reports an update for every unequal one.
//
// Threading: plain data and a pure function.
#pragma once

#include <compare>
#include <cstdint>
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

  auto operator<=>(const LinkInfo&) const = default;
};

// One way out of a unicast default route outside the local table: each
// next hop of a multipath route is one.
struct DefaultRoute {
  int family = 0;  // AF_INET or AF_INET6
  uint32_t table = 0;
  int link = 0;          // the outgoing interface's index
  std::string gateway;   // the next hop's address bytes; empty: on the link
  uint32_t metric = 0;   // RTA_PRIORITY

  auto operator<=>(const DefaultRoute&) const = default;
};

struct AddressInfo {
  int family = 0;  // AF_INET or AF_INET6
  int link = 0;
  unsigned prefix_length = 0;
  std::string local;    // IFA_LOCAL bytes
  std::string address;  // IFA_ADDRESS bytes (the peer's on a point-to-point link)
  // Whether it can be used yet or still: IFA_F_TENTATIVE, IFA_F_DADFAILED
  // and IFA_F_DEPRECATED of its flags (its lifetimes are left out: the
  // kernel renews them without a change to report).
  unsigned usability = 0;

  auto operator<=>(const AddressInfo&) const = default;
};

struct NetSnapshot {
  std::vector<LinkInfo> links;  // ordered by index
  std::set<DefaultRoute> default_routes;
  std::set<AddressInfo> addresses;

  bool operator==(const NetSnapshot&) const = default;
};

using InterfaceClassifier = std::function<InterfaceType(const LinkInfo& link)>;

// The interfaces that are up and running and carry a default route, ordered
// by index and typed by `classify`; satisfied when there is one.
Path ComputePath(const NetSnapshot& snapshot, const InterfaceClassifier& classify);

}  // namespace kelvo
