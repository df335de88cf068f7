#include "platform/wireguard/link_configurator.h"

#include <algorithm>
#include <cerrno>

namespace kelvo {
namespace {

constexpr uint32_t kMainTable = 254;
constexpr uint32_t kWireGuardOverhead = 80;
constexpr uint32_t kFallbackUplinkMtu = 1500;

template <typename T>
bool Contains(const std::vector<T>& list, const T& p) {
  return std::find(list.begin(), list.end(), p) != list.end();
}

template <typename T>
void AddOnce(std::vector<T>& list, const T& p) {
  if (!Contains(list, p)) list.push_back(p);
}

bool AlreadyGone(const NetlinkError& error) {
  return error.code() == ESRCH || error.code() == EADDRNOTAVAIL || error.code() == ENODEV ||
         error.code() == ENOENT;
}

NetPrefix DefaultOf(int family) {
  NetPrefix p;
  p.family = family;
  p.length = 0;
  return p;
}

}  // namespace

NetPrefix ToNetPrefix(const IPAddressRange& range) {
  NetPrefix out;
  out.family = range.address.family == IPAddress::Family::kV4 ? AF_INET : AF_INET6;
  out.address = range.address.bytes;
  out.length = range.prefix;
  return out;
}

LinkPlan LinkPlan::FromConfiguration(const TunnelConfiguration& config) {
  const InterfaceConfiguration& iface = config.interface;
  LinkPlan plan;
  for (const IPAddressRange& range : iface.addresses) AddOnce(plan.addresses, ToNetPrefix(range));
  if (iface.mtu) plan.mtu = *iface.mtu;
  plan.fwmark = iface.fwmark;
  if (iface.table_off) return plan;

  std::vector<NetPrefix> own_networks;
  for (const NetPrefix& address : plan.addresses) {
    if (address.length < address.MaxLength()) own_networks.push_back(address.Masked());
  }
  std::vector<NetPrefix> ranges;
  for (const PeerConfiguration& peer : config.peers) {
    for (const IPAddressRange& range : peer.allowed_ips) {
      NetPrefix route = ToNetPrefix(range).Masked();
      if (!Contains(own_networks, route)) AddOnce(ranges, route);
    }
  }
  const bool v4_default = Contains(ranges, DefaultOf(AF_INET));
  const bool v6_default = Contains(ranges, DefaultOf(AF_INET6));
  const bool policy = (v4_default || v6_default) && iface.table != kMainTable;
  if (policy && !plan.fwmark) plan.fwmark = kDefaultFwMark;
  const uint32_t table = iface.table.value_or(plan.fwmark.value_or(kMainTable));

  for (const NetPrefix& range : ranges) {
    if (iface.table || range.length == 0) {
      AddOnce(plan.table_routes, TableRoute{range, table, 0, false});
    } else {
      AddOnce(plan.routes, range);
    }
  }
  if (!policy) return plan;
  for (int family : {AF_INET, AF_INET6}) {
    const bool full = family == AF_INET ? v4_default : v6_default;
    // The other family would otherwise go out of the uplink untouched.
    if (!full) plan.table_routes.push_back(TableRoute{DefaultOf(family), table, 0, true});
    plan.rules.push_back(FibRule{family, table, plan.fwmark, true, std::nullopt});
    plan.rules.push_back(FibRule{family, kMainTable, std::nullopt, false, uint8_t{0}});
  }
  plan.src_valid_mark = true;
  return plan;
}

uint32_t ChooseMtu(Netlink& netlink, const std::vector<NetPrefix>& endpoint_hosts) {
  uint32_t best = 0;
  for (const NetPrefix& host : endpoint_hosts) {
    RouteLookupResult route;
    if (netlink.LookupRoute(host, &route)) continue;
    uint32_t mtu = route.mtu;
    if (mtu == 0 && route.link_index > 0 && netlink.GetMtu(route.link_index, &mtu)) mtu = 0;
    best = std::max(best, mtu);
  }
  if (best <= kWireGuardOverhead) best = kFallbackUplinkMtu;
  return best - kWireGuardOverhead;
}

TableRoute LinkConfigurator::OnLink(TableRoute route) const {
  if (!route.blackhole) route.link_index = index_;
  return route;
}

std::optional<std::string> LinkConfigurator::Apply(const LinkPlan& plan) {
  if (plan.mtu) {
    if (auto error = netlink_.SetMtu(index_, *plan.mtu)) return error->description();
  }
  for (const NetPrefix& address : plan.addresses) {
    if (Contains(addresses_, address)) continue;
    auto error = netlink_.AddAddress(index_, address);
    if (error && error->code() != EEXIST) return error->description();
    addresses_.push_back(address);
  }
  if (auto error = netlink_.SetLinkUp(index_, true)) return error->description();
  for (const NetPrefix& route : plan.routes) {
    if (Contains(routes_, route)) continue;
    if (auto error = netlink_.AddRoute(index_, route)) return error->description();
    routes_.push_back(route);
  }
  // A route changing kind (the blackhole giving way to the tunnel) has to
  // go before its successor can take the same prefix.
  std::vector<TableRoute> keep_for_now;
  for (const TableRoute& applied : table_routes_) {
    const bool replaced = std::any_of(plan.table_routes.begin(), plan.table_routes.end(),
                                      [&](const TableRoute& wanted) {
                                        return wanted != applied && wanted.table == applied.table &&
                                               wanted.destination == applied.destination;
                                      });
    if (!replaced) keep_for_now.push_back(applied);
  }
  if (keep_for_now.size() != table_routes_.size()) RemoveStaleTableRoutes(keep_for_now);
  for (const TableRoute& route : plan.table_routes) {
    if (Contains(table_routes_, route)) continue;
    if (auto error = netlink_.AddTableRoute(OnLink(route))) return error->description();
    table_routes_.push_back(route);
  }
  if (plan.src_valid_mark) {
    if (auto error = netlink_.EnableSrcValidMark()) return error->description();
  }
  for (const FibRule& rule : plan.rules) {
    if (Contains(rules_, rule)) continue;
    if (auto error = netlink_.AddRule(rule)) return error->description();
    rules_.push_back(rule);
  }
  RemoveStaleRules(plan.rules);
  RemoveStaleTableRoutes(plan.table_routes);
  RemoveStale(routes_, plan.routes, true);
  RemoveStale(addresses_, plan.addresses, false);
  return std::nullopt;
}

void LinkConfigurator::Clear() {
  RemoveStaleRules({});
  RemoveStaleTableRoutes({});
  RemoveStale(routes_, {}, true);
  RemoveStale(addresses_, {}, false);
}

void LinkConfigurator::RemoveLeftovers(Netlink& netlink, uint32_t table, const Note& note) {
  for (int family : {AF_INET, AF_INET6}) {
    // Bounded: a kernel that kept answering success would otherwise spin.
    for (int i = 0; i < 64 && !netlink.RemoveAnyOwnRule(family); ++i) {
      note(false, std::string("Removed a routing rule an earlier run left (") +
                      (family == AF_INET ? "IPv4" : "IPv6") + ")");
    }
    const TableRoute blackhole{DefaultOf(family), table, 0, true};
    for (int i = 0; i < 64 && !netlink.RemoveTableRoute(blackhole); ++i) {
      note(false, "Removed a route an earlier run left: " + blackhole.ToString());
    }
  }
}

void LinkConfigurator::RemoveStaleRules(const std::vector<FibRule>& wanted) {
  std::vector<FibRule> kept;
  // Newest first, the reverse of adding.
  for (auto it = rules_.rbegin(); it != rules_.rend(); ++it) {
    if (Contains(wanted, *it)) {
      kept.insert(kept.begin(), *it);
      continue;
    }
    auto error = netlink_.RemoveRule(*it);
    if (error && !AlreadyGone(*error)) note_(true, error->description());
  }
  rules_ = std::move(kept);
}

void LinkConfigurator::RemoveStaleTableRoutes(const std::vector<TableRoute>& wanted) {
  std::vector<TableRoute> kept;
  for (const TableRoute& route : table_routes_) {
    if (Contains(wanted, route)) {
      kept.push_back(route);
      continue;
    }
    auto error = netlink_.RemoveTableRoute(OnLink(route));
    if (error && !AlreadyGone(*error)) note_(true, error->description());
  }
  table_routes_ = std::move(kept);
}

void LinkConfigurator::RemoveStale(std::vector<NetPrefix>& applied,
                                   const std::vector<NetPrefix>& wanted, bool routes) {
  std::vector<NetPrefix> kept;
  for (const NetPrefix& p : applied) {
    if (Contains(wanted, p)) {
      kept.push_back(p);
      continue;
    }
    auto error = routes ? netlink_.RemoveRoute(index_, p) : netlink_.RemoveAddress(index_, p);
    if (error && !AlreadyGone(*error)) note_(true, error->description());
  }
  applied = std::move(kept);
}

}  // namespace kelvo
