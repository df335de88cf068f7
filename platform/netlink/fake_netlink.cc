#include "platform/netlink/fake_netlink.h"

#include <cerrno>
#include <cstring>

namespace kelvo {
namespace {

NetlinkError Error(const std::string& line, int code) {
  return NetlinkError(code, line + " failed: " + std::strerror(code));
}

}  // namespace

int FakeNetlink::AddLink(const std::string& name, const std::string& kind) {
  std::lock_guard lock(mu_);
  Link& link = links_[name];
  link = Link{};
  link.kind = kind;
  link.index = next_index_++;
  return link.index;
}

void FakeNetlink::VanishLink(const std::string& name) {
  std::lock_guard lock(mu_);
  auto it = links_.find(name);
  if (it == links_.end()) return;
  std::erase_if(table_routes_, [&](const auto& entry) {
    return !entry.first.blackhole && entry.first.link_index == it->second.index;
  });
  links_.erase(it);
}

std::optional<FakeNetlink::Link> FakeNetlink::link(const std::string& name) const {
  std::lock_guard lock(mu_);
  auto it = links_.find(name);
  if (it == links_.end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> FakeNetlink::operations() const {
  std::lock_guard lock(mu_);
  return operations_;
}

void FakeNetlink::ClearOperations() {
  std::lock_guard lock(mu_);
  operations_.clear();
}

void FakeNetlink::FailOperations(const std::string& line_prefix, int code) {
  std::lock_guard lock(mu_);
  if (code == 0) {
    failures_.erase(line_prefix);
  } else {
    failures_[line_prefix] = code;
  }
}

NetlinkResult FakeNetlink::Begin(const std::string& line) {
  operations_.push_back(line);
  for (const auto& [prefix, code] : failures_) {
    if (line.compare(0, prefix.size(), prefix) == 0) return Error(line, code);
  }
  return std::nullopt;
}

FakeNetlink::Link* FakeNetlink::Find(int index) {
  for (auto& [name, link] : links_) {
    if (link.index == index) return &link;
  }
  return nullptr;
}

NetlinkResult FakeNetlink::LinkIndex(const std::string& name, int* index) {
  std::lock_guard lock(mu_);
  const std::string line = "index " + name;
  if (auto error = Begin(line)) return error;
  auto it = links_.find(name);
  if (it == links_.end()) return Error(line, ENODEV);
  *index = it->second.index;
  return std::nullopt;
}

NetlinkResult FakeNetlink::SetLinkUp(int index, bool up) {
  std::lock_guard lock(mu_);
  const std::string line = (up ? "up " : "down ") + std::to_string(index);
  if (auto error = Begin(line)) return error;
  Link* link = Find(index);
  if (!link) return Error(line, ENODEV);
  link->up = up;
  return std::nullopt;
}

NetlinkResult FakeNetlink::SetMtu(int index, uint32_t mtu) {
  std::lock_guard lock(mu_);
  const std::string line = "mtu " + std::to_string(index) + " " + std::to_string(mtu);
  if (auto error = Begin(line)) return error;
  Link* link = Find(index);
  if (!link) return Error(line, ENODEV);
  if (mtu < 68) return Error(line, EINVAL);
  link->mtu = mtu;
  return std::nullopt;
}

NetlinkResult FakeNetlink::AddAddress(int index, const NetPrefix& address) {
  std::lock_guard lock(mu_);
  const std::string line = "add-address " + std::to_string(index) + " " + address.ToString();
  if (auto error = Begin(line)) return error;
  Link* link = Find(index);
  if (!link) return Error(line, ENODEV);
  if (!link->addresses.insert(address).second) return Error(line, EEXIST);
  return std::nullopt;
}

NetlinkResult FakeNetlink::RemoveAddress(int index, const NetPrefix& address) {
  std::lock_guard lock(mu_);
  const std::string line = "remove-address " + std::to_string(index) + " " + address.ToString();
  if (auto error = Begin(line)) return error;
  Link* link = Find(index);
  if (!link) return Error(line, ENODEV);
  if (link->addresses.erase(address) == 0) return Error(line, EADDRNOTAVAIL);
  return std::nullopt;
}

NetlinkResult FakeNetlink::AddRoute(int index, const NetPrefix& destination) {
  std::lock_guard lock(mu_);
  const std::string line = "add-route " + std::to_string(index) + " " + destination.ToString();
  if (auto error = Begin(line)) return error;
  Link* link = Find(index);
  if (!link) return Error(line, ENODEV);
  if (destination.Masked() != destination) return Error(line, EINVAL);
  for (const auto& [name, other] : links_) {
    if (other.routes.count(destination)) return Error(line, EEXIST);
  }
  link->routes.insert(destination);
  return std::nullopt;
}

NetlinkResult FakeNetlink::RemoveRoute(int index, const NetPrefix& destination) {
  std::lock_guard lock(mu_);
  const std::string line = "remove-route " + std::to_string(index) + " " + destination.ToString();
  if (auto error = Begin(line)) return error;
  Link* link = Find(index);
  if (!link) return Error(line, ENODEV);
  if (link->routes.erase(destination) == 0) return Error(line, ESRCH);
  return std::nullopt;
}

NetlinkResult FakeNetlink::DeleteLink(int index) {
  std::lock_guard lock(mu_);
  const std::string line = "delete " + std::to_string(index);
  if (auto error = Begin(line)) return error;
  for (auto it = links_.begin(); it != links_.end(); ++it) {
    if (it->second.index == index) {
      std::erase_if(table_routes_, [&](const auto& entry) {
        return !entry.first.blackhole && entry.first.link_index == index;
      });
      links_.erase(it);
      return std::nullopt;
    }
  }
  return Error(line, ENODEV);
}

NetlinkResult FakeNetlink::GetMtu(int index, uint32_t* mtu) {
  std::lock_guard lock(mu_);
  const std::string line = "get-mtu " + std::to_string(index);
  if (auto error = Begin(line)) return error;
  Link* link = Find(index);
  if (!link) return Error(line, ENODEV);
  *mtu = link->mtu;
  return std::nullopt;
}

NetlinkResult FakeNetlink::GetLinkKind(int index, std::string* kind) {
  std::lock_guard lock(mu_);
  const std::string line = "get-kind " + std::to_string(index);
  if (auto error = Begin(line)) return error;
  Link* link = Find(index);
  if (!link) return Error(line, ENODEV);
  *kind = link->kind;
  return std::nullopt;
}

NetlinkResult FakeNetlink::AddTableRoute(const TableRoute& route) {
  std::lock_guard lock(mu_);
  const std::string line = "add-table-route " + route.ToString();
  if (auto error = Begin(line)) return error;
  if (!route.blackhole && !Find(route.link_index)) return Error(line, ENODEV);
  if (route.destination.Masked() != route.destination) return Error(line, EINVAL);
  for (const auto& [other, ours] : table_routes_) {
    if (other.table == route.table && other.destination == route.destination) {
      return Error(line, EEXIST);
    }
  }
  table_routes_[route] = true;
  return std::nullopt;
}

NetlinkResult FakeNetlink::RemoveTableRoute(const TableRoute& route) {
  std::lock_guard lock(mu_);
  const std::string line = "remove-table-route " + route.ToString();
  if (auto error = Begin(line)) return error;
  auto it = table_routes_.find(route);
  if (it == table_routes_.end() || !it->second) return Error(line, ESRCH);
  table_routes_.erase(it);
  return std::nullopt;
}

NetlinkResult FakeNetlink::AddRule(const FibRule& rule) {
  std::lock_guard lock(mu_);
  const std::string line = "add-rule " + rule.ToString();
  if (auto error = Begin(line)) return error;
  for (const StoredRule& stored : rules_) {
    if (stored.ours && stored.rule == rule) return Error(line, EEXIST);
  }
  rules_.insert(rules_.begin(), {rule, true});
  return std::nullopt;
}

NetlinkResult FakeNetlink::RemoveRule(const FibRule& rule) {
  std::lock_guard lock(mu_);
  const std::string line = "remove-rule " + rule.ToString();
  if (auto error = Begin(line)) return error;
  for (auto it = rules_.begin(); it != rules_.end(); ++it) {
    if (it->ours && it->rule == rule) {
      rules_.erase(it);
      return std::nullopt;
    }
  }
  return Error(line, ENOENT);
}

NetlinkResult FakeNetlink::RemoveAnyOwnRule(int family) {
  std::lock_guard lock(mu_);
  const std::string line = std::string("remove-own-rule ") + (family == AF_INET ? "-4" : "-6");
  if (auto error = Begin(line)) return error;
  for (auto it = rules_.begin(); it != rules_.end(); ++it) {
    if (it->ours && it->rule.family == family) {
      rules_.erase(it);
      return std::nullopt;
    }
  }
  return Error(line, ENOENT);
}

NetlinkResult FakeNetlink::LookupRoute(const NetPrefix& destination, RouteLookupResult* result) {
  std::lock_guard lock(mu_);
  const std::string line = "lookup " + destination.ToString();
  if (auto error = Begin(line)) return error;
  auto it = lookups_.find(destination);
  if (it == lookups_.end()) return Error(line, ENETUNREACH);
  *result = it->second;
  return std::nullopt;
}

NetlinkResult FakeNetlink::EnableSrcValidMark() {
  std::lock_guard lock(mu_);
  if (auto error = Begin("src-valid-mark")) return error;
  src_valid_mark_ = true;
  return std::nullopt;
}

void FakeNetlink::SetRouteLookup(const NetPrefix& destination, RouteLookupResult result) {
  std::lock_guard lock(mu_);
  lookups_[destination] = result;
}

void FakeNetlink::AddForeignRule(const FibRule& rule) {
  std::lock_guard lock(mu_);
  rules_.insert(rules_.begin(), {rule, false});
}

void FakeNetlink::AddForeignTableRoute(const TableRoute& route) {
  std::lock_guard lock(mu_);
  table_routes_[route] = false;
}

std::vector<std::string> FakeNetlink::rules() const {
  std::lock_guard lock(mu_);
  std::vector<std::string> out;
  for (const StoredRule& stored : rules_) out.push_back(stored.rule.ToString());
  return out;
}

std::vector<std::string> FakeNetlink::table_routes() const {
  std::lock_guard lock(mu_);
  std::vector<std::string> out;
  for (const auto& [route, ours] : table_routes_) out.push_back(route.ToString());
  return out;
}

bool FakeNetlink::src_valid_mark() const {
  std::lock_guard lock(mu_);
  return src_valid_mark_;
}

}  // namespace kelvo
