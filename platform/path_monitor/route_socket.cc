#include "platform/path_monitor/route_socket.h"

#include <libmnl/libmnl.h>
#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kelvo {
namespace {

// Large enough for any message the kernel packs into one dump read.
constexpr size_t kBufferSize = 64 * 1024;
// Room for bursts of group messages between two reads.
constexpr int kGroupReceiveBuffer = 1 << 20;

std::string Errno(const std::string& what, int code) { return what + ": " + std::strerror(code); }

// libmnl's attribute loop macro does not compile as C++.
template <typename F>
void ForEachAttribute(const nlmsghdr* nlh, size_t header_size, F f) {
  const auto* attr = static_cast<const nlattr*>(mnl_nlmsg_get_payload_offset(nlh, header_size));
  const auto* tail = static_cast<const char*>(mnl_nlmsg_get_payload_tail(nlh));
  while (mnl_attr_ok(attr, static_cast<int>(tail - reinterpret_cast<const char*>(attr)))) {
    f(attr);
    attr = mnl_attr_next(attr);
  }
}

void AddLink(const nlmsghdr* nlh, NetSnapshot* out) {
  if (nlh->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
  const auto* ifi = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(nlh));
  LinkInfo link;
  link.index = ifi->ifi_index;
  link.flags = ifi->ifi_flags;
  link.arphrd = ifi->ifi_type;
  ForEachAttribute(nlh, sizeof(ifinfomsg), [&](const nlattr* attr) {
    if (mnl_attr_get_type(attr) == IFLA_IFNAME &&
        mnl_attr_validate(attr, MNL_TYPE_NUL_STRING) >= 0) {
      link.name = mnl_attr_get_str(attr);
    }
  });
  if (link.index > 0) out->links.push_back(std::move(link));
}

// An address attribute's bytes, as they are kept for comparison.
std::string AttributeBytes(const nlattr* attr) {
  return std::string(static_cast<const char*>(mnl_attr_get_payload(attr)),
                     mnl_attr_get_payload_len(attr));
}

bool IsGatewayAttribute(const nlattr* attr) {
  // RTA_VIA: an IPv4 route through an IPv6 next hop.
  return mnl_attr_get_type(attr) == RTA_GATEWAY || mnl_attr_get_type(attr) == RTA_VIA;
}

void AddNextHops(const nlattr* attr, DefaultRoute route, NetSnapshot* out) {
  const auto* nh = static_cast<const rtnexthop*>(mnl_attr_get_payload(attr));
  size_t left = mnl_attr_get_payload_len(attr);
  while (left >= sizeof(rtnexthop) && nh->rtnh_len >= sizeof(rtnexthop) && nh->rtnh_len <= left) {
    if (nh->rtnh_ifindex > 0) {
      route.link = nh->rtnh_ifindex;
      route.gateway.clear();
      // A next hop's own attributes follow its header.
      const auto* hop_attr = reinterpret_cast<const nlattr*>(RTNH_DATA(nh));
      int hop_left = static_cast<int>(nh->rtnh_len - RTNH_LENGTH(0));
      while (mnl_attr_ok(hop_attr, hop_left)) {
        if (IsGatewayAttribute(hop_attr)) route.gateway = AttributeBytes(hop_attr);
        hop_left -= static_cast<int>(MNL_ALIGN(hop_attr->nla_len));
        hop_attr = mnl_attr_next(hop_attr);
      }
      out->default_routes.insert(route);
    }
    const size_t step = RTNH_ALIGN(nh->rtnh_len);
    if (step >= left) break;
    left -= step;
    nh = reinterpret_cast<const rtnexthop*>(reinterpret_cast<const char*>(nh) + step);
  }
}

void AddRoute(const nlmsghdr* nlh, NetSnapshot* out) {
  if (nlh->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) return;
  const auto* rtm = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(nlh));
  if (rtm->rtm_family != AF_INET && rtm->rtm_family != AF_INET6) return;
  if (rtm->rtm_dst_len != 0 || rtm->rtm_type != RTN_UNICAST) return;
  DefaultRoute route;
  route.family = rtm->rtm_family;
  route.table = rtm->rtm_table;
  const nlattr* multipath = nullptr;
  ForEachAttribute(nlh, sizeof(rtmsg), [&](const nlattr* attr) {
    switch (mnl_attr_get_type(attr)) {
      case RTA_TABLE:
        if (mnl_attr_validate(attr, MNL_TYPE_U32) >= 0) route.table = mnl_attr_get_u32(attr);
        break;
      case RTA_OIF:
        if (mnl_attr_validate(attr, MNL_TYPE_U32) >= 0) {
          route.link = static_cast<int>(mnl_attr_get_u32(attr));
        }
        break;
      case RTA_PRIORITY:
        if (mnl_attr_validate(attr, MNL_TYPE_U32) >= 0) route.metric = mnl_attr_get_u32(attr);
        break;
      case RTA_GATEWAY:
      case RTA_VIA:
        route.gateway = AttributeBytes(attr);
        break;
      case RTA_MULTIPATH:
        multipath = attr;
        break;
      default:
        break;
    }
  });
  if (route.table == RT_TABLE_LOCAL) return;
  if (route.link > 0) out->default_routes.insert(route);
  if (multipath) AddNextHops(multipath, route, out);
}

void AddAddress(const nlmsghdr* nlh, NetSnapshot* out) {
  if (nlh->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) return;
  const auto* ifa = static_cast<const ifaddrmsg*>(mnl_nlmsg_get_payload(nlh));
  if (ifa->ifa_family != AF_INET && ifa->ifa_family != AF_INET6) return;
  AddressInfo address;
  address.family = ifa->ifa_family;
  address.link = static_cast<int>(ifa->ifa_index);
  address.prefix_length = ifa->ifa_prefixlen;
  unsigned flags = ifa->ifa_flags;
  ForEachAttribute(nlh, sizeof(ifaddrmsg), [&](const nlattr* attr) {
    switch (mnl_attr_get_type(attr)) {
      case IFA_LOCAL:
        address.local = AttributeBytes(attr);
        break;
      case IFA_ADDRESS:
        address.address = AttributeBytes(attr);
        break;
      case IFA_FLAGS:  // all the flags, where ifa_flags has only the low eight
        if (mnl_attr_validate(attr, MNL_TYPE_U32) >= 0) flags = mnl_attr_get_u32(attr);
        break;
      default:
        break;
    }
  });
  address.usability = flags & (IFA_F_TENTATIVE | IFA_F_DADFAILED | IFA_F_DEPRECATED);
  out->addresses.insert(std::move(address));
}

}  // namespace

std::unique_ptr<RouteSocket> RouteSocket::Open(unsigned groups, int timeout_ms,
                                               std::string* error) {
  mnl_socket* nl = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC);
  if (!nl) {
    *error = Errno("cannot open a route netlink socket", errno);
    return nullptr;
  }
  std::unique_ptr<RouteSocket> socket(new RouteSocket(nl));
  const int fd = mnl_socket_get_fd(nl);
  if (groups != 0) {
    int size = kGroupReceiveBuffer;
    // Best effort: the default size only means earlier overruns.
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
    *error = Errno("cannot set the route socket's timeout", errno);
    return nullptr;
  }
  if (mnl_socket_bind(nl, groups, MNL_SOCKET_AUTOPID) != 0) {
    *error = Errno("cannot bind the route netlink socket", errno);
    return nullptr;
  }
  socket->portid_ = mnl_socket_get_portid(nl);
  return socket;
}

RouteSocket::RouteSocket(mnl_socket* nl) : nl_(nl), buffer_(kBufferSize) {}

RouteSocket::~RouteSocket() { mnl_socket_close(nl_); }

int RouteSocket::fd() const { return mnl_socket_get_fd(nl_); }

std::optional<std::string> RouteSocket::ReadSnapshot(NetSnapshot* out) {
  constexpr int kTries = 3;
  for (int attempt = 0; attempt < kTries; ++attempt) {
    NetSnapshot snapshot;
    bool interrupted = false;
    struct Request {
      uint16_t type;
      uint8_t family;
    };
    for (Request r : {Request{RTM_GETLINK, AF_UNSPEC}, Request{RTM_GETADDR, AF_UNSPEC},
                      Request{RTM_GETROUTE, AF_INET}, Request{RTM_GETROUTE, AF_INET6}}) {
      bool this_interrupted = false;
      if (auto error = Dump(r.type, r.family, &snapshot, &this_interrupted)) return error;
      interrupted = interrupted || this_interrupted;
    }
    if (!interrupted) {
      std::sort(snapshot.links.begin(), snapshot.links.end());
      *out = std::move(snapshot);
      return std::nullopt;
    }
  }
  return "the kernel's tables kept changing during " + std::to_string(kTries) + " dumps";
}

std::optional<std::string> RouteSocket::Dump(uint16_t type, uint8_t family, NetSnapshot* out,
                                             bool* interrupted) {
  alignas(nlmsghdr) char request[256] = {};
  nlmsghdr* nlh = mnl_nlmsg_put_header(request);
  nlh->nlmsg_type = type;
  nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  nlh->nlmsg_seq = ++seq_;
  if (type == RTM_GETLINK) {
    auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
    ifi->ifi_family = family;
  } else if (type == RTM_GETADDR) {
    auto* ifa = static_cast<ifaddrmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifaddrmsg)));
    ifa->ifa_family = family;
  } else {
    auto* rtm = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(rtmsg)));
    rtm->rtm_family = family;
  }
  const std::string what = type == RTM_GETLINK   ? std::string("the link dump")
                           : type == RTM_GETADDR ? std::string("the address dump")
                           : family == AF_INET   ? std::string("the IPv4 route dump")
                                                 : std::string("the IPv6 route dump");
  if (mnl_socket_sendto(nl_, nlh, nlh->nlmsg_len) < 0) return Errno("cannot send " + what, errno);

  for (;;) {
    ssize_t n = mnl_socket_recvfrom(nl_, buffer_.data(), buffer_.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return what + ": the kernel did not answer";
      return Errno("cannot read " + what, errno);
    }
    int left = static_cast<int>(n);
    for (const auto* msg = reinterpret_cast<const nlmsghdr*>(buffer_.data());
         mnl_nlmsg_ok(msg, left); msg = mnl_nlmsg_next(msg, &left)) {
      // Leftovers of an earlier request that gave up are not ours.
      if (msg->nlmsg_seq != seq_ || msg->nlmsg_pid != portid_) continue;
      if (msg->nlmsg_flags & NLM_F_DUMP_INTR) *interrupted = true;
      switch (msg->nlmsg_type) {
        case NLMSG_DONE: {
          if (msg->nlmsg_len >= NLMSG_LENGTH(sizeof(int))) {
            int status = *static_cast<const int*>(mnl_nlmsg_get_payload(msg));
            if (status < 0) return Errno(what + " failed", -status);
          }
          return std::nullopt;
        }
        case NLMSG_ERROR: {
          if (msg->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return what + ": truncated error";
          const auto* err = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(msg));
          if (err->error != 0) return Errno(what + " failed", -err->error);
          return std::nullopt;
        }
        case RTM_NEWLINK:
          AddLink(msg, out);
          break;
        case RTM_NEWADDR:
          AddAddress(msg, out);
          break;
        case RTM_NEWROUTE:
          AddRoute(msg, out);
          break;
        default:
          break;
      }
    }
  }
}

std::optional<std::string> RouteSocket::Drain() {
  for (;;) {
    ssize_t n = recv(fd(), buffer_.data(), buffer_.size(), MSG_DONTWAIT);
    if (n > 0) continue;
    if (n == 0) return "the route netlink socket closed";
    if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
    if (errno == EINTR || errno == ENOBUFS) continue;
    return Errno("cannot read route notifications", errno);
  }
}

}  // namespace kelvo
