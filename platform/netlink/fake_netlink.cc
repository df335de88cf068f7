#include "platform/netlink/fake_netlink.h"

#include <cerrno>
#include <cstring>

namespace kelvo {
namespace {

NetlinkError Error(const std::string& line, int code) {
  return NetlinkError(code, line + " failed: " + std::strerror(code));
}

}  // namespace

int FakeNetlink::AddLink(const std::string& name) {
  std::lock_guard lock(mu_);
  Link& link = links_[name];
  link = Link{};
  link.index = next_index_++;
  return link.index;
}

void FakeNetlink::VanishLink(const std::string& name) {
  std::lock_guard lock(mu_);
  links_.erase(name);
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
      links_.erase(it);
      return std::nullopt;
    }
  }
  return Error(line, ENODEV);
}

}  // namespace kelvo
