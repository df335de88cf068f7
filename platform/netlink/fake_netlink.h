// FakeNetlink: links, addresses and routes in memory, answering the way the
// kernel does (EEXIST for a duplicate, ENODEV for an unknown link, ESRCH or
// EADDRNOTAVAIL for a missing route or address, EINVAL for a route with
// host bits). Routes are one table for all links, as the main table is: a
// second route to the same prefix fails with EEXIST whatever its link.
//
// Every call, failed or not, is appended to operations() as one line, e.g.
// "add-route 2 0.0.0.0/1", "remove-address 2 10.0.0.2/32", "mtu 2 1420",
// "up 2", "down 2", "delete 2", "index kelvo0".
//
// Threading: every method is safe from any thread.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/netlink/netlink.h"

namespace kelvo {

class FakeNetlink final : public Netlink {
 public:
  struct Link {
    int index = 0;
    bool up = false;
    uint32_t mtu = 1500;
    std::set<NetPrefix> addresses;
    std::set<NetPrefix> routes;
  };

  // Creates a link (as a tun device appears) and returns its index.
  int AddLink(const std::string& name);
  // Makes a link vanish with its addresses and routes, as when its owner
  // process dies.
  void VanishLink(const std::string& name);
  std::optional<Link> link(const std::string& name) const;
  std::vector<std::string> operations() const;
  void ClearOperations();
  // Every later operation whose line starts with `line_prefix` fails with
  // errno `code` and changes nothing; code 0 removes the rule.
  void FailOperations(const std::string& line_prefix, int code);

  NetlinkResult LinkIndex(const std::string& name, int* index) override;
  NetlinkResult SetLinkUp(int index, bool up) override;
  NetlinkResult SetMtu(int index, uint32_t mtu) override;
  NetlinkResult AddAddress(int index, const NetPrefix& address) override;
  NetlinkResult RemoveAddress(int index, const NetPrefix& address) override;
  NetlinkResult AddRoute(int index, const NetPrefix& destination) override;
  NetlinkResult RemoveRoute(int index, const NetPrefix& destination) override;
  NetlinkResult DeleteLink(int index) override;

 private:
  // Logs `line`; returns the injected error, if any (mu_ held).
  NetlinkResult Begin(const std::string& line);
  Link* Find(int index);  // mu_ held

  mutable std::mutex mu_;
  std::map<std::string, Link> links_;
  int next_index_ = 2;  // 1 is loopback
  std::vector<std::string> operations_;
  std::map<std::string, int> failures_;
};

}  // namespace kelvo
