// RtNetlink: Netlink over a NETLINK_ROUTE socket through libmnl.
//
// Each operation opens its own socket, sends one request asking for an
// acknowledgement and waits for it (at most `timeout`; a silent kernel is an
// ETIMEDOUT error). A socket belongs to the network namespace of the thread
// that opens it, so an operation acts on the caller's namespace.
//
// Threading: stateless apart from the timeout; safe from any thread.
#pragma once

#include <chrono>

#include "platform/netlink/netlink.h"

namespace kelvo {

class RtNetlink final : public Netlink {
 public:
  explicit RtNetlink(std::chrono::milliseconds timeout = std::chrono::seconds(5))
      : timeout_(timeout) {}

  NetlinkResult LinkIndex(const std::string& name, int* index) override;
  NetlinkResult SetLinkUp(int index, bool up) override;
  NetlinkResult SetMtu(int index, uint32_t mtu) override;
  NetlinkResult AddAddress(int index, const NetPrefix& address) override;
  NetlinkResult RemoveAddress(int index, const NetPrefix& address) override;
  NetlinkResult AddRoute(int index, const NetPrefix& destination) override;
  NetlinkResult RemoveRoute(int index, const NetPrefix& destination) override;
  NetlinkResult DeleteLink(int index) override;
  NetlinkResult GetMtu(int index, uint32_t* mtu) override;
  NetlinkResult GetLinkKind(int index, std::string* kind) override;
  NetlinkResult AddTableRoute(const TableRoute& route) override;
  NetlinkResult RemoveTableRoute(const TableRoute& route) override;
  NetlinkResult AddRule(const FibRule& rule) override;
  NetlinkResult RemoveRule(const FibRule& rule) override;
  NetlinkResult RemoveAnyOwnRule(int family) override;
  NetlinkResult LookupRoute(const NetPrefix& destination, RouteLookupResult* result) override;
  NetlinkResult EnableSrcValidMark() override;

 private:
  std::chrono::milliseconds timeout_;
};

}  // namespace kelvo
