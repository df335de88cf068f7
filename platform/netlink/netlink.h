// Netlink: the few rtnetlink operations a tunnel needs on one network
// interface: look a link up by name, bring it up or down, set its MTU, add
// and remove addresses and routes (main table, routed out of the link), and
// delete the link; for policy routing also routes in a table of their own,
// FIB rules, route lookups and the IPv4 src_valid_mark switch.
//
// Two implementations: RtNetlink (rtnetlink.h) talks to the kernel through
// libmnl; FakeNetlink (fake_netlink.h) keeps links in memory for tests.
//
// Contract:
// - Every operation reports failure as a NetlinkError carrying the errno the
//   kernel answered (or the local one), so callers can tell "already there"
//   (EEXIST) and "not there" (ENODEV, ESRCH, EADDRNOTAVAIL) from real
//   failures. Nothing is retried or made idempotent here: adding what exists
//   fails with EEXIST, removing what is missing fails with its errno.
// - Route prefixes must have no host bits set (NetPrefix::Masked()); the
//   kernel refuses them otherwise. Address prefixes keep their host bits
//   ("10.0.0.2/24" is address 10.0.0.2 on network 10.0.0.0/24).
//
// Threading: every call blocks until the kernel has answered and runs in the
// network namespace of the calling thread (sockets are opened per call).
// Implementations are safe to call from several threads.
#pragma once

#include <sys/socket.h>

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>

namespace kelvo {

// An address with a prefix length, in network byte order.
struct NetPrefix {
  int family = AF_INET;               // AF_INET or AF_INET6
  std::array<uint8_t, 16> address{};  // AF_INET uses the first 4 bytes
  uint8_t length = 32;

  size_t AddressSize() const { return family == AF_INET ? 4 : 16; }
  uint8_t MaxLength() const { return family == AF_INET ? 32 : 128; }
  // The same prefix with the host bits below `length` cleared.
  NetPrefix Masked() const;
  // "10.0.0.0/8", "fd00::/64".
  std::string ToString() const;
  // Parses "address/length" or a bare address (a host prefix); nullopt on
  // anything else.
  static std::optional<NetPrefix> Parse(const std::string& text);

  auto operator<=>(const NetPrefix&) const = default;
};

// The rtm_protocol / FRA_PROTOCOL value on every table route and rule we
// add, so a later run can tell ours (left by a killed process) from the
// host's. 75 is free in iproute2's rt_protos.
constexpr uint8_t kKelvoRouteProtocol = 75;

// A route in a given table: out of a link (`link_index` > 0) or, with
// `blackhole`, a route that drops what it matches.
struct TableRoute {
  NetPrefix destination;
  uint32_t table = 254;  // RT_TABLE_MAIN
  int link_index = 0;
  bool blackhole = false;

  // "0.0.0.0/0 dev 5 table 51820", "::/0 blackhole table 51820".
  std::string ToString() const;
  auto operator<=>(const TableRoute&) const = default;
};

// A FIB rule sending lookups into `table`: "[not] fwmark M table T" when
// `fwmark` is set, "table main suppress_prefixlength N" when
// `suppress_prefixlength` is set. Priority is left to the kernel, which
// places a new rule before the earlier ones it added (as `ip rule add`).
struct FibRule {
  int family = AF_INET;
  uint32_t table = 254;
  std::optional<uint32_t> fwmark;
  bool invert = false;  // "not fwmark"
  std::optional<uint8_t> suppress_prefixlength;

  // "-4 not fwmark 51820 table 51820", "-6 table 254 suppress_prefixlength 0".
  std::string ToString() const;
  auto operator<=>(const FibRule&) const = default;
};

// What a route lookup (`ip route get`) answered.
struct RouteLookupResult {
  int link_index = 0;
  uint32_t mtu = 0;  // the route's own MTU metric; 0 when it has none
};

class NetlinkError {
 public:
  NetlinkError(int code, std::string description)
      : code_(code), description_(std::move(description)) {}
  // The errno value; 0 when the failure had none (a malformed answer).
  int code() const { return code_; }
  // Names the operation and the object, then strerror(code).
  const std::string& description() const { return description_; }

 private:
  int code_;
  std::string description_;
};

using NetlinkResult = std::optional<NetlinkError>;  // nullopt: success

class Netlink {
 public:
  virtual ~Netlink() = default;

  // The index of the link called `name` in the caller's namespace, or an
  // error (ENODEV when there is none).
  virtual NetlinkResult LinkIndex(const std::string& name, int* index) = 0;
  virtual NetlinkResult SetLinkUp(int index, bool up) = 0;
  virtual NetlinkResult SetMtu(int index, uint32_t mtu) = 0;
  virtual NetlinkResult AddAddress(int index, const NetPrefix& address) = 0;
  virtual NetlinkResult RemoveAddress(int index, const NetPrefix& address) = 0;
  // A route to `destination` in the main table out of the link, no gateway.
  virtual NetlinkResult AddRoute(int index, const NetPrefix& destination) = 0;
  // Removes the main-table route to `destination` that leaves via the link.
  virtual NetlinkResult RemoveRoute(int index, const NetPrefix& destination) = 0;
  virtual NetlinkResult DeleteLink(int index) = 0;

  virtual NetlinkResult GetMtu(int index, uint32_t* mtu) = 0;
  // The link's kind ("tun", "veth", ...; "" when the kernel names none).
  virtual NetlinkResult GetLinkKind(int index, std::string* kind) = 0;
  // Adds with NLM_F_EXCL: a route to the same prefix in that table, ours or
  // not, fails with EEXIST. Both carry kKelvoRouteProtocol.
  virtual NetlinkResult AddTableRoute(const TableRoute& route) = 0;
  virtual NetlinkResult RemoveTableRoute(const TableRoute& route) = 0;
  // Adds with NLM_F_EXCL (an identical rule fails with EEXIST).
  virtual NetlinkResult AddRule(const FibRule& rule) = 0;
  // Removes the first rule matching `rule` and carrying our protocol;
  // ENOENT when there is none.
  virtual NetlinkResult RemoveRule(const FibRule& rule) = 0;
  // Removes the first rule of `family` carrying our protocol, whatever it
  // says (for what a killed run left); ENOENT when there is none.
  virtual NetlinkResult RemoveAnyOwnRule(int family) = 0;
  // The route the kernel would take to `destination` (a host address).
  virtual NetlinkResult LookupRoute(const NetPrefix& destination, RouteLookupResult* result) = 0;
  // net.ipv4.conf.all.src_valid_mark = 1, so that reverse-path checks see
  // the mark on answers to marked packets (as wg-quick sets it; left on).
  virtual NetlinkResult EnableSrcValidMark() = 0;
};

}  // namespace kelvo
