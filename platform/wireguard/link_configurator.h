// What a tunnel configuration asks of its network interface (addresses,
// MTU, routes, policy routing), and bringing the host there through Netlink
// by difference from what was applied before, so an update neither drops
// nor re-adds what stays.
//
// Routing follows wg-quick on Linux:
// - "Table = off": no routes and no rules at all.
// - A peer's AllowedIPs holding a default route of a family (0.0.0.0/0 or
//   ::/0) turns on policy routing: the device gets a firewall mark (FwMark,
//   else 51820) that wireguard-go puts on its own encrypted UDP; the
//   default routes go into a table of their own (Table, else the mark's
//   number), and per family two rules steer every packet not carrying the
//   mark there while the main table's more specific routes keep winning:
//     not fwmark M table T
//     table main suppress_prefixlength 0   (added second: evaluated first)
//   Rules go in for both families whenever one family is a full tunnel;
//   the family without a default route gets a blackhole default in T, so a
//   v4-only full tunnel does not leak IPv6 out of the uplink (and the
//   other way round). For IPv4, net.ipv4.conf.all.src_valid_mark is set.
//   The extension's own sockets (probe, configuration requests) carry the
//   mark too, so they bypass the tunnel as wireguard-go's do.
// - Other prefixes: one route each, host bits cleared, duplicates once, in
//   the main table out of the interface (in T when Table names one). A
//   prefix that is the network of one of the interface's own addresses is
//   left out: the kernel adds that route itself with the address.
// - "Table = main" puts every range, default routes included, into the main
//   table, without rules (a host default route there then conflicts).
//
// Failing closed: a route or rule that cannot be added because one is
// already there (EEXIST) fails the Apply with the kernel's reason; the
// caller clears what was added.
//
// Threading: not thread-safe; one owner calls it from one thread. The
// Netlink is not owned and must outlive it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/netlink/netlink.h"
#include "platform/wireguard/tunnel_configuration.h"

namespace kelvo {

inline constexpr uint32_t kDefaultFwMark = 51820;

struct LinkPlan {
  std::vector<NetPrefix> addresses;  // configuration order, duplicates once
  std::vector<NetPrefix> routes;     // main table, out of the interface
  std::optional<uint32_t> mtu;       // absent: the interface keeps its own
  std::optional<uint32_t> fwmark;    // for the device and our own sockets
  // Out of the interface (link_index 0 here: filled in by Apply) or
  // blackhole.
  std::vector<TableRoute> table_routes;
  std::vector<FibRule> rules;  // in the order they are added
  bool src_valid_mark = false;

  static LinkPlan FromConfiguration(const TunnelConfiguration& config);
  bool operator==(const LinkPlan&) const = default;
};

NetPrefix ToNetPrefix(const IPAddressRange& range);

// The MTU wg-quick picks when a configuration names none: the largest MTU
// of the routes toward the endpoints (the route's own MTU, else its link's)
// minus 80, the most WireGuard's headers take; 1500 - 80 when no endpoint
// route is known. Ask before the policy rules exist, or the answer is the
// tunnel itself.
uint32_t ChooseMtu(Netlink& netlink, const std::vector<NetPrefix>& endpoint_hosts);

class LinkConfigurator {
 public:
  // Receives notes on what was done or skipped (no key material, ever).
  using Note = std::function<void(bool is_error, const std::string& message)>;

  LinkConfigurator(Netlink& netlink, int link_index, Note note)
      : netlink_(netlink), index_(link_index), note_(std::move(note)) {}

  // In this order: MTU; addresses not yet applied; link up; main-table
  // routes, table routes, src_valid_mark and rules not yet applied; then
  // rules, table routes, routes and addresses applied before that `plan`
  // no longer has. Adding comes first so the link never lacks an address
  // on the way (the kernel flushes a link's IPv4 routes with its last IPv4
  // address), and rules come after the routes of their table. A failure to
  // add stops there and is returned; what was applied so far stays recorded
  // for Clear. Failures to remove are noted.
  std::optional<std::string> Apply(const LinkPlan& plan);

  // Removes every rule, route and address Apply added, rules first. Ones
  // already gone (or whose link is gone) are fine; other failures are
  // noted. Never fails.
  void Clear();

  // Removes what an earlier run of ours left behind (killed before its
  // stop): every rule carrying our protocol, and blackhole defaults in
  // `table`. Each removal is noted. Routes out of the old interface went
  // with it.
  static void RemoveLeftovers(Netlink& netlink, uint32_t table, const Note& note);

  const std::vector<NetPrefix>& applied_addresses() const { return addresses_; }
  const std::vector<NetPrefix>& applied_routes() const { return routes_; }
  const std::vector<TableRoute>& applied_table_routes() const { return table_routes_; }
  const std::vector<FibRule>& applied_rules() const { return rules_; }

 private:
  void RemoveStale(std::vector<NetPrefix>& applied, const std::vector<NetPrefix>& wanted,
                   bool routes);
  void RemoveStaleRules(const std::vector<FibRule>& wanted);
  void RemoveStaleTableRoutes(const std::vector<TableRoute>& wanted);
  TableRoute OnLink(TableRoute route) const;

  Netlink& netlink_;
  const int index_;
  Note note_;
  std::vector<NetPrefix> addresses_;  // added by us and still there
  std::vector<NetPrefix> routes_;
  std::vector<TableRoute> table_routes_;  // as planned (link_index 0)
  std::vector<FibRule> rules_;
};

}  // namespace kelvo
