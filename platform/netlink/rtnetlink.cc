#include "platform/netlink/rtnetlink.h"

#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <linux/fib_rules.h>
#include <linux/rtnetlink.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
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

NetlinkResult TableRouteRequest(uint16_t type, uint16_t flags, const TableRoute& route,
                                std::chrono::milliseconds timeout, const std::string& what) {
  std::vector<char> buf;
  nlmsghdr* nlh = Header(buf, type, flags);
  auto* rtm = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(rtmsg)));
  const NetPrefix& dst = route.destination;
  rtm->rtm_family = static_cast<uint8_t>(dst.family);
  rtm->rtm_dst_len = dst.length;
  rtm->rtm_table = route.table < 256 ? static_cast<uint8_t>(route.table) : uint8_t{RT_TABLE_UNSPEC};
  rtm->rtm_type = route.blackhole ? RTN_BLACKHOLE : RTN_UNICAST;
  rtm->rtm_protocol = kKelvoRouteProtocol;
  rtm->rtm_scope = type == RTM_DELROUTE ? RT_SCOPE_NOWHERE
                   : dst.family == AF_INET && !route.blackhole ? RT_SCOPE_LINK
                                                               : RT_SCOPE_UNIVERSE;
  mnl_attr_put_u32(nlh, RTA_TABLE, route.table);
  if (dst.length > 0) mnl_attr_put(nlh, RTA_DST, dst.AddressSize(), dst.address.data());
  if (!route.blackhole) mnl_attr_put_u32(nlh, RTA_OIF, static_cast<uint32_t>(route.link_index));
  if (int code = Transact(buf, timeout, nullptr, nullptr)) return Failure(what, code);
  return std::nullopt;
}

NetlinkResult RuleRequest(uint16_t type, uint16_t flags, const FibRule* rule, int family,
                          std::chrono::milliseconds timeout, const std::string& what) {
  std::vector<char> buf;
  nlmsghdr* nlh = Header(buf, type, flags);
  auto* frh = static_cast<fib_rule_hdr*>(mnl_nlmsg_put_extra_header(nlh, sizeof(fib_rule_hdr)));
  frh->family = static_cast<uint8_t>(family);
  mnl_attr_put_u8(nlh, FRA_PROTOCOL, kKelvoRouteProtocol);
  if (rule) {  // otherwise: any rule of ours
    frh->action = FR_ACT_TO_TBL;
    frh->table = rule->table < 256 ? static_cast<uint8_t>(rule->table) : uint8_t{RT_TABLE_UNSPEC};
    if (rule->invert) frh->flags |= FIB_RULE_INVERT;
    mnl_attr_put_u32(nlh, FRA_TABLE, rule->table);
    if (rule->fwmark) {
      mnl_attr_put_u32(nlh, FRA_FWMARK, *rule->fwmark);
      mnl_attr_put_u32(nlh, FRA_FWMASK, 0xffffffffu);
    }
    if (rule->suppress_prefixlength) {
      mnl_attr_put_u32(nlh, FRA_SUPPRESS_PREFIXLEN, *rule->suppress_prefixlength);
    }
  }
  if (int code = Transact(buf, timeout, nullptr, nullptr)) return Failure(what, code);
  return std::nullopt;
}

struct LookupAnswer {
  RouteLookupResult result;
  bool seen = false;
};

int ReadMetric(const nlattr* attr, void* data) {
  if (mnl_attr_get_type(attr) == RTAX_MTU && mnl_attr_get_payload_len(attr) >= 4) {
    static_cast<LookupAnswer*>(data)->result.mtu = mnl_attr_get_u32(attr);
  }
  return MNL_CB_OK;
}

int ReadRouteAttr(const nlattr* attr, void* data) {
  auto* answer = static_cast<LookupAnswer*>(data);
  if (mnl_attr_get_type(attr) == RTA_OIF && mnl_attr_get_payload_len(attr) >= 4) {
    answer->result.link_index = static_cast<int>(mnl_attr_get_u32(attr));
  } else if (mnl_attr_get_type(attr) == RTA_METRICS) {
    mnl_attr_parse_nested(attr, ReadMetric, data);
  }
  return MNL_CB_OK;
}

int ReadRoute(const nlmsghdr* nlh, void* data) {
  if (nlh->nlmsg_type == RTM_NEWROUTE) {
    static_cast<LookupAnswer*>(data)->seen = true;
    mnl_attr_parse(nlh, sizeof(rtmsg), ReadRouteAttr, data);
  }
  return MNL_CB_OK;
}

int ReadLinkMtu(const nlattr* attr, void* data) {
  if (mnl_attr_get_type(attr) == IFLA_MTU && mnl_attr_get_payload_len(attr) >= 4) {
    *static_cast<uint32_t*>(data) = mnl_attr_get_u32(attr);
  }
  return MNL_CB_OK;
}

int ReadKindAttr(const nlattr* attr, void* data) {
  if (mnl_attr_get_type(attr) == IFLA_INFO_KIND) {
    *static_cast<std::string*>(data) = mnl_attr_get_str(attr);
  }
  return MNL_CB_OK;
}

int ReadLinkInfo(const nlattr* attr, void* data) {
  if (mnl_attr_get_type(attr) == IFLA_LINKINFO) mnl_attr_parse_nested(attr, ReadKindAttr, data);
  return MNL_CB_OK;
}

int ReadKind(const nlmsghdr* nlh, void* data) {
  if (nlh->nlmsg_type == RTM_NEWLINK) mnl_attr_parse(nlh, sizeof(ifinfomsg), ReadLinkInfo, data);
  return MNL_CB_OK;
}

int ReadLink(const nlmsghdr* nlh, void* data) {
  if (nlh->nlmsg_type == RTM_NEWLINK) mnl_attr_parse(nlh, sizeof(ifinfomsg), ReadLinkMtu, data);
  return MNL_CB_OK;
}

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

NetlinkResult RtNetlink::GetMtu(int index, uint32_t* mtu) {
  std::vector<char> buf;
  nlmsghdr* nlh = Header(buf, RTM_GETLINK, 0);
  LinkHeader(nlh, index);
  uint32_t found = 0;
  const std::string what = "Reading the MTU of " + LinkName(index);
  if (int code = Transact(buf, timeout_, ReadLink, &found)) return Failure(what, code);
  if (found == 0) return Failure(what, ENODEV);
  *mtu = found;
  return std::nullopt;
}

NetlinkResult RtNetlink::GetLinkKind(int index, std::string* kind) {
  std::vector<char> buf;
  nlmsghdr* nlh = Header(buf, RTM_GETLINK, 0);
  LinkHeader(nlh, index);
  std::string found;
  if (int code = Transact(buf, timeout_, ReadKind, &found)) {
    return Failure("Reading the kind of " + LinkName(index), code);
  }
  *kind = found;
  return std::nullopt;
}

NetlinkResult RtNetlink::AddTableRoute(const TableRoute& route) {
  return TableRouteRequest(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, route, timeout_,
                           "Adding route " + route.ToString());
}

NetlinkResult RtNetlink::RemoveTableRoute(const TableRoute& route) {
  return TableRouteRequest(RTM_DELROUTE, 0, route, timeout_, "Removing route " + route.ToString());
}

NetlinkResult RtNetlink::AddRule(const FibRule& rule) {
  return RuleRequest(RTM_NEWRULE, NLM_F_CREATE | NLM_F_EXCL, &rule, rule.family, timeout_,
                     "Adding rule " + rule.ToString());
}

NetlinkResult RtNetlink::RemoveRule(const FibRule& rule) {
  return RuleRequest(RTM_DELRULE, 0, &rule, rule.family, timeout_,
                     "Removing rule " + rule.ToString());
}

NetlinkResult RtNetlink::RemoveAnyOwnRule(int family) {
  return RuleRequest(RTM_DELRULE, 0, nullptr, family, timeout_,
                     std::string("Removing a rule of ours (") +
                         (family == AF_INET ? "IPv4" : "IPv6") + ")");
}

NetlinkResult RtNetlink::LookupRoute(const NetPrefix& destination, RouteLookupResult* result) {
  std::vector<char> buf;
  nlmsghdr* nlh = Header(buf, RTM_GETROUTE, 0);
  auto* rtm = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(rtmsg)));
  rtm->rtm_family = static_cast<uint8_t>(destination.family);
  rtm->rtm_dst_len = destination.MaxLength();
  mnl_attr_put(nlh, RTA_DST, destination.AddressSize(), destination.address.data());
  LookupAnswer answer;
  const std::string what = "Looking up the route to " + destination.ToString();
  if (int code = Transact(buf, timeout_, ReadRoute, &answer)) return Failure(what, code);
  if (!answer.seen) return Failure(what, ENETUNREACH);
  *result = answer.result;
  return std::nullopt;
}

NetlinkResult RtNetlink::EnableSrcValidMark() {
  std::ofstream file("/proc/sys/net/ipv4/conf/all/src_valid_mark");
  if (file) file << "1\n";
  if (!file || !file.flush()) {
    return Failure("Setting net.ipv4.conf.all.src_valid_mark", errno != 0 ? errno : EIO);
  }
  return std::nullopt;
}

}  // namespace kelvo
