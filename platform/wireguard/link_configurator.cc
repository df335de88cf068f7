#include "platform/wireguard/link_configurator.h"

#include <algorithm>
#include <cerrno>

namespace kelvo {
namespace {

bool Contains(const std::vector<NetPrefix>& list, const NetPrefix& p) {
  return std::find(list.begin(), list.end(), p) != list.end();
}

void AddOnce(std::vector<NetPrefix>& list, const NetPrefix& p) {
  if (!Contains(list, p)) list.push_back(p);
}

bool AlreadyGone(const NetlinkError& error) {
  return error.code() == ESRCH || error.code() == EADDRNOTAVAIL || error.code() == ENODEV ||
         error.code() == ENOENT;
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
  LinkPlan plan;
  for (const IPAddressRange& range : config.interface.addresses) {
    AddOnce(plan.addresses, ToNetPrefix(range));
  }
  if (config.interface.mtu) plan.mtu = *config.interface.mtu;

  std::vector<NetPrefix> own_networks;
  for (const NetPrefix& address : plan.addresses) {
    if (address.length < address.MaxLength()) own_networks.push_back(address.Masked());
  }
  for (const PeerConfiguration& peer : config.peers) {
    for (const IPAddressRange& range : peer.allowed_ips) {
      NetPrefix route = ToNetPrefix(range).Masked();
      if (Contains(own_networks, route)) continue;
      if (route.length == 0) {
        NetPrefix low = route, high = route;
        low.length = high.length = 1;
        high.address[0] = 0x80;
        AddOnce(plan.routes, low);
        AddOnce(plan.routes, high);
      } else {
        AddOnce(plan.routes, route);
      }
    }
  }
  return plan;
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
    auto error = netlink_.AddRoute(index_, route);
    if (error && error->code() == EEXIST) {
      note_(true, "Route " + route.ToString() + " already exists; left as it is");
      continue;
    }
    if (error) return error->description();
    routes_.push_back(route);
  }
  RemoveStale(routes_, plan.routes, true);
  RemoveStale(addresses_, plan.addresses, false);
  return std::nullopt;
}

void LinkConfigurator::Clear() {
  RemoveStale(routes_, {}, true);
  RemoveStale(addresses_, {}, false);
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
