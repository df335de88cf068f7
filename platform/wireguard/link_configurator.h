// What a tunnel configuration asks of its network interface (addresses,
// MTU, routes), and bringing the interface there through Netlink by
// difference from what was applied before, so an update neither drops
// nor re-adds what stays.
//
// Routes: one per AllowedIPs prefix of every peer, host bits cleared,
// duplicates once, in the main table out of the interface. A default route
// is split in halves, 0.0.0.0/0 into 0.0.0.0/1 + 128.0.0.0/1 and ::/0 into
// ::/1 + 8000::/1: together they catch everything, yet being longer than
// /0 they win over the host's default route without replacing it, and
// removing them gives the host its routing back untouched. (They do not
// keep the peers' endpoint out of the tunnel: an endpoint that only the
// default route reaches would need its own host route via the old
// gateway, or policy routing on a firewall mark as wg-quick does.) A
// prefix that is the network of one of the interface's own addresses is
// left out: the kernel adds that route itself with the address.
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

struct LinkPlan {
  std::vector<NetPrefix> addresses;  // configuration order, duplicates once
  std::vector<NetPrefix> routes;     // as described above
  std::optional<uint32_t> mtu;       // absent: the interface keeps its own

  static LinkPlan FromConfiguration(const TunnelConfiguration& config);
  bool operator==(const LinkPlan&) const = default;
};

NetPrefix ToNetPrefix(const IPAddressRange& range);

class LinkConfigurator {
 public:
  // Receives notes on what was done or skipped (no key material, ever).
  using Note = std::function<void(bool is_error, const std::string& message)>;

  LinkConfigurator(Netlink& netlink, int link_index, Note note)
      : netlink_(netlink), index_(link_index), note_(std::move(note)) {}

  // In this order: MTU; addresses not yet applied; link up; routes not yet
  // applied; then routes and addresses applied before that `plan` no longer
  // has. Adding comes first so the link never lacks an address on the way
  // (the kernel flushes a link's IPv4 routes with its last IPv4 address).
  // A failure to add (or to set MTU or bring the link up) stops here and is
  // returned; what was applied so far stays recorded for Clear. A route
  // that already exists in the table (EEXIST: someone else's) is noted as
  // an error and skipped, not taken over. Failures to remove are noted.
  std::optional<std::string> Apply(const LinkPlan& plan);

  // Removes every route, then every address, that Apply added. Ones that
  // are already gone (or whose link is gone) are fine; other failures are
  // noted. Never fails.
  void Clear();

  const std::vector<NetPrefix>& applied_addresses() const { return addresses_; }
  const std::vector<NetPrefix>& applied_routes() const { return routes_; }

 private:
  void RemoveStale(std::vector<NetPrefix>& applied, const std::vector<NetPrefix>& wanted,
                   bool routes);

  Netlink& netlink_;
  const int index_;
  Note note_;
  std::vector<NetPrefix> addresses_;  // added by us and still there
  std::vector<NetPrefix> routes_;
};

}  // namespace kelvo
