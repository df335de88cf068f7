// A NETLINK_ROUTE socket through libmnl, for the path monitor: one socket
// joins the multicast groups and only tells that something changed, another
// asks the kernel for whole tables (dumps) and gives the monitor a fresh
// NetSnapshot each time. Reading whole tables rather than following each
// message keeps the snapshot right where the kernel removes routes without
// telling (IPv4 routes of a link that goes down) and after an overrun.
//
// A socket belongs to the network namespace of the thread that opens it and
// keeps it for its life, whatever thread uses it later.
//
// Threading: one thread at a time per socket.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/path_monitor/net_snapshot.h"

struct mnl_socket;

namespace kelvo {

class RouteSocket {
 public:
  // Opens and binds a socket in the caller's namespace, joined to the
  // RTMGRP_* groups in `groups` (0: none). `timeout_ms` bounds each wait
  // for a dump's answer. nullptr and *error on failure.
  static std::unique_ptr<RouteSocket> Open(unsigned groups, int timeout_ms, std::string* error);
  ~RouteSocket();
  RouteSocket(const RouteSocket&) = delete;
  RouteSocket& operator=(const RouteSocket&) = delete;

  int fd() const;

  // Dumps the links, the addresses and the IPv4 and IPv6 routes into *out
  // (replacing it).
  // A dump the kernel marks interrupted by a change is read again (three
  // tries). Returns why it failed.
  std::optional<std::string> ReadSnapshot(NetSnapshot* out);

  // Reads and drops every message waiting on a group socket without
  // blocking. An overrun (ENOBUFS) is not a failure: the next snapshot
  // reads everything anew. Returns why the socket failed.
  std::optional<std::string> Drain();

 private:
  explicit RouteSocket(mnl_socket* nl);
  // One dump request (RTM_GETLINK or RTM_GETROUTE of `family`); *interrupted
  // tells whether the kernel flagged it inconsistent.
  std::optional<std::string> Dump(uint16_t type, uint8_t family, NetSnapshot* out,
                                  bool* interrupted);

  mnl_socket* nl_;
  uint32_t portid_ = 0;
  uint32_t seq_ = 0;
  std::vector<char> buffer_;
};

}  // namespace kelvo
