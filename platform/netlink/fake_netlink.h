// FakeNetlink: links, addresses and routes in memory, answering the way the
// kernel does (EEXIST for a duplicate, ENODEV for an unknown link, ESRCH or
// EADDRNOTAVAIL for a missing route or address, EINVAL for a route with
// host bits). Routes are one table for all links, as the main table is: a
// second route to the same prefix fails with EEXIST whatever its link.
//
// Every call, failed or not, is appended to operations() as one line, e.g.
// "add-route 2 0.0.0.0/1", "remove-address 2 10.0.0.2/32", "mtu 2 1420",
// "up 2", "down 2", "delete 2", "index kelvo0",
// "add-table-route 0.0.0.0/0 dev 2 table 51820",
// "add-rule -4 not fwmark 51820 table 51820", "remove-own-rule -6",
// "lookup 192.0.2.1/32", "get-mtu 3", "src-valid-mark".
//
// Table routes and rules are ours (carrying our protocol) unless put there
// with AddForeignRule / AddForeignTableRoute, as the host's own would be.
// Deleting or vanishing a link takes its table routes with it (blackhole
// routes stay, as in the kernel).
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
    std::string kind = "tun";
    std::set<NetPrefix> addresses;
    std::set<NetPrefix> routes;
  };

  // Creates a link (by default as a tun device appears) and returns its
  // index.
  int AddLink(const std::string& name, const std::string& kind = "tun");
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
  NetlinkResult GetMtu(int index, uint32_t* mtu) override;
  NetlinkResult GetLinkKind(int index, std::string* kind) override;
  NetlinkResult AddTableRoute(const TableRoute& route) override;
  NetlinkResult RemoveTableRoute(const TableRoute& route) override;
  NetlinkResult AddRule(const FibRule& rule) override;
  NetlinkResult RemoveRule(const FibRule& rule) override;
  NetlinkResult RemoveAnyOwnRule(int family) override;
  NetlinkResult LookupRoute(const NetPrefix& destination, RouteLookupResult* result) override;
  NetlinkResult EnableSrcValidMark() override;

  // The answer LookupRoute gives for `destination` (a host prefix); without
  // one it fails with ENETUNREACH.
  void SetRouteLookup(const NetPrefix& destination, RouteLookupResult result);
  void AddForeignRule(const FibRule& rule);
  void AddForeignTableRoute(const TableRoute& route);
  // Every rule and table route, ours or not, in the kernel's order (rules:
  // newest first) as ToString() lines.
  std::vector<std::string> rules() const;
  std::vector<std::string> table_routes() const;
  bool src_valid_mark() const;

 private:
  // Logs `line`; returns the injected error, if any (mu_ held).
  NetlinkResult Begin(const std::string& line);
  Link* Find(int index);  // mu_ held

  mutable std::mutex mu_;
  std::map<std::string, Link> links_;
  int next_index_ = 2;  // 1 is loopback
  std::vector<std::string> operations_;
  std::map<std::string, int> failures_;

  struct StoredRule {
    FibRule rule;
    bool ours;
  };
  std::vector<StoredRule> rules_;  // newest first
  std::map<TableRoute, bool> table_routes_;  // route -> ours
  std::map<NetPrefix, RouteLookupResult> lookups_;
  bool src_valid_mark_ = false;
};

}  // namespace kelvo
