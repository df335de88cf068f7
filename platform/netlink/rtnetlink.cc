#include "platform/netlink/rtnetlink.h"

#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace kelvo {
namespace {

// Large enough for any single answer we ask for (one link's attributes).
constexpr size_t kBufferSize = 32768;

struct SocketCloser {
  void operator()(mnl_socket* socket) const { mnl_socket_close(socket); }
};

NetlinkError Failure(const std::string& what, int code) {
  return NetlinkError(code, what + " failed: " + std::strerror(code));
}

// Sends the request in `buf` and runs `callback` (may be null) on each
// answer until the kernel acknowledges. Returns the errno on failure.
int Transact(std::vector<char>& buf, std::chrono::milliseconds timeout, mnl_cb_t callback,
             void* data) {
  std::unique_ptr<mnl_socket, SocketCloser> socket(mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC));
  if (!socket) return errno;
  if (mnl_socket_bind(socket.get(), 0, MNL_SOCKET_AUTOPID) < 0) return errno;
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  if (setsockopt(mnl_socket_get_fd(socket.get()), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0) {
    return errno;
  }

  auto* request = reinterpret_cast<nlmsghdr*>(buf.data());
  const unsigned seq = request->nlmsg_seq;
  const unsigned portid = mnl_socket_get_portid(socket.get());
  if (mnl_socket_sendto(socket.get(), buf.data(), request->nlmsg_len) < 0) return errno;

  std::vector<char> answer(kBufferSize);
  for (;;) {
    ssize_t n = mnl_socket_recvfrom(socket.get(), answer.data(), answer.size());
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno;
    int ret = mnl_cb_run(answer.data(), static_cast<size_t>(n), seq, portid, callback, data);
    if (ret < 0) return errno != 0 ? errno : EPROTO;
    if (ret == MNL_CB_STOP) return 0;
  }
}

nlmsghdr* Header(std::vector<char>& buf, uint16_t type, uint16_t flags) {
  buf.assign(kBufferSize, 0);
  nlmsghdr* nlh = mnl_nlmsg_put_header(buf.data());
  nlh->nlmsg_type = type;
  nlh->nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | NLM_F_ACK | flags);
  static std::atomic<uint32_t> next_seq{1};
  nlh->nlmsg_seq = next_seq.fetch_add(1);
  return nlh;
}

ifinfomsg* LinkHeader(nlmsghdr* nlh, int index) {
  auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
  ifi->ifi_family = AF_UNSPEC;
  ifi->ifi_index = index;
  return ifi;
}

int ReadIndex(const nlmsghdr* nlh, void* data) {
  if (nlh->nlmsg_type == RTM_NEWLINK) {
    const auto* ifi = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(nlh));
    *static_cast<int*>(data) = ifi->ifi_index;
  }
  return MNL_CB_OK;
}

NetlinkResult AddressRequest(uint16_t type, uint16_t flags, int index, const NetPrefix& address,
                             std::chrono::milliseconds timeout, const std::string& what) {
  std::vector<char> buf;
  nlmsghdr* nlh = Header(buf, type, flags);
  auto* ifa = static_cast<ifaddrmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifaddrmsg)));
  ifa->ifa_family = static_cast<uint8_t>(address.family);
  ifa->ifa_prefixlen = address.length;
  ifa->ifa_scope = RT_SCOPE_UNIVERSE;
  ifa->ifa_index = static_cast<uint32_t>(index);
  // Local and peer address alike: on a point-to-point link (a tun device)
  // that makes the prefix a network rather than a peer, as `ip addr` does.
  mnl_attr_put(nlh, IFA_LOCAL, address.AddressSize(), address.address.data());
  mnl_attr_put(nlh, IFA_ADDRESS, address.AddressSize(), address.address.data());
  if (int code = Transact(buf, timeout, nullptr, nullptr)) return Failure(what, code);
  return std::nullopt;
}

NetlinkResult RouteRequest(uint16_t type, uint16_t flags, int index, const NetPrefix& destination,
                           std::chrono::milliseconds timeout, const std::string& what) {
  std::vector<char> buf;
  nlmsghdr* nlh = Header(buf, type, flags);
  auto* rtm = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(rtmsg)));
  rtm->rtm_family = static_cast<uint8_t>(destination.family);
  rtm->rtm_dst_len = destination.length;
  rtm->rtm_table = RT_TABLE_MAIN;
  rtm->rtm_type = RTN_UNICAST;
  if (type == RTM_NEWROUTE) {
    rtm->rtm_protocol = RTPROT_STATIC;
    // A route without gateway is on-link; IPv6 routes are always universe.
    rtm->rtm_scope = destination.family == AF_INET ? RT_SCOPE_LINK : RT_SCOPE_UNIVERSE;
  } else {
    // Match any protocol and scope; the link and prefix select the route.
    rtm->rtm_protocol = RTPROT_UNSPEC;
    rtm->rtm_scope = RT_SCOPE_NOWHERE;
  }
  if (destination.length > 0) {
    mnl_attr_put(nlh, RTA_DST, destination.AddressSize(), destination.address.data());
  }
  mnl_attr_put_u32(nlh, RTA_OIF, static_cast<uint32_t>(index));
  if (int code = Transact(buf, timeout, nullptr, nullptr)) return Failure(what, code);
  return std::nullopt;
}

std::string LinkName(int index) { return "link " + std::to_string(index); }

}  // namespace

NetlinkResult RtNetlink::LinkIndex(const std::string& name, int* index) {
  const std::string what = "Looking up link " + name;
  if (name.empty() || name.size() >= IFNAMSIZ) return Failure(what, EINVAL);
  std::vector<char> buf;
  nlmsghdr* nlh = Header(buf, RTM_GETLINK, 0);
  LinkHeader(nlh, 0);
  mnl_attr_put_strz(nlh, IFLA_IFNAME, name.c_str());
  int found = 0;
  if (int code = Transact(buf, timeout_, ReadIndex, &found)) return Failure(what, code);
  if (found <= 0) return Failure(what, ENODEV);
  *index = found;
  return std::nullopt;
}

NetlinkResult RtNetlink::SetLinkUp(int index, bool up) {
  std::vector<char> buf;
  nlmsghdr* nlh = Header(buf, RTM_NEWLINK, 0);
  ifinfomsg* ifi = LinkHeader(nlh, index);
  ifi->ifi_change = IFF_UP;
  ifi->ifi_flags = up ? IFF_UP : 0;
  if (int code = Transact(buf, timeout_, nullptr, nullptr)) {
    return Failure(std::string(up ? "Bringing up " : "Bringing down ") + LinkName(index), code);
  }
  return std::nullopt;
}

NetlinkResult RtNetlink::SetMtu(int index, uint32_t mtu) {
  std::vector<char> buf;
  nlmsghdr* nlh = Header(buf, RTM_NEWLINK, 0);
  LinkHeader(nlh, index);
  mnl_attr_put_u32(nlh, IFLA_MTU, mtu);
  if (int code = Transact(buf, timeout_, nullptr, nullptr)) {
    return Failure("Setting MTU " + std::to_string(mtu) + " on " + LinkName(index), code);
  }
  return std::nullopt;
}

NetlinkResult RtNetlink::AddAddress(int index, const NetPrefix& address) {
  return AddressRequest(RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL, index, address, timeout_,
                        "Adding address " + address.ToString() + " to " + LinkName(index));
}

NetlinkResult RtNetlink::RemoveAddress(int index, const NetPrefix& address) {
  return AddressRequest(RTM_DELADDR, 0, index, address, timeout_,
                        "Removing address " + address.ToString() + " from " + LinkName(index));
}

NetlinkResult RtNetlink::AddRoute(int index, const NetPrefix& destination) {
  return RouteRequest(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, index, destination, timeout_,
                      "Adding route " + destination.ToString() + " via " + LinkName(index));
}

NetlinkResult RtNetlink::RemoveRoute(int index, const NetPrefix& destination) {
  return RouteRequest(RTM_DELROUTE, 0, index, destination, timeout_,
                      "Removing route " + destination.ToString() + " via " + LinkName(index));
}

NetlinkResult RtNetlink::DeleteLink(int index) {
  std::vector<char> buf;
  nlmsghdr* nlh = Header(buf, RTM_DELLINK, 0);
  LinkHeader(nlh, index);
  if (int code = Transact(buf, timeout_, nullptr, nullptr)) {
    return Failure("Deleting " + LinkName(index), code);
  }
  return std::nullopt;
}

}  // namespace kelvo
