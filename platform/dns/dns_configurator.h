// DnsConfigurator: hands a tunnel's DNS servers and search domains to the
// host's resolver, and takes them back.
//
// Implementations:
// - systemd-resolved over its D-Bus API (resolved_dns.cc): SetLinkDNS,
//   SetLinkDomains (the search domains; for a full tunnel also "." as a
//   routing-only domain, what resolvectl writes "~.", so every name is
//   asked through the tunnel), SetLinkDefaultRoute (true for a full
//   tunnel); RevertLink on removal.
// - resolvconf, called as wg-quick calls it (resolvconf_dns.cc):
//   `resolvconf -a <prefix><interface> -m 0 -x` with "nameserver" and
//   "search" lines on stdin (metric 0 and exclusive: ours come first and
//   alone), `resolvconf -d <prefix><interface> -f` on removal; the prefix
//   is the first "name*" line of /etc/resolvconf/interface-order plus ".".
// - FakeDnsConfigurator (fake_dns_configurator.h) records calls.
//
// ChooseDnsConfigurator picks resolved when org.freedesktop.resolve1 has
// an owner on the system bus (DBUS_SYSTEM_BUS_ADDRESS is honoured), else
// resolvconf when it is on PATH, else fails with an error naming both: a
// tunnel whose DNS silently goes around it is worse than no tunnel.
//
// Threading: calls block (D-Bus round trips, a child process); one caller
// at a time. Errors are descriptions for the log.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvo {

struct DnsSettings {
  std::string interface_name;
  int link_index = 0;
  std::vector<std::string> servers;  // numeric addresses
  std::vector<std::string> domains;  // search domains
  bool full_tunnel = false;          // every name goes through the tunnel
};

class DnsConfigurator {
 public:
  virtual ~DnsConfigurator() = default;
  // "systemd-resolved" or "resolvconf", for log lines.
  virtual std::string name() const = 0;
  virtual std::optional<std::string> Apply(const DnsSettings& settings) = 0;
  // Takes back what Apply set for that interface; one that is gone is fine.
  virtual std::optional<std::string> Remove(const DnsSettings& settings) = 0;
  // Removes a registration an earlier run of ours left for `interface_name`
  // (its process was killed before its stop). True when one was removed.
  virtual bool RemoveLeftover(const std::string& interface_name) = 0;
};

struct DnsOptions {
  std::string resolvconf = "resolvconf";  // a name looked up in PATH, or a path
  std::string interface_order = "/etc/resolvconf/interface-order";
  int timeout_ms = 5000;
};

struct DnsChoice {
  std::unique_ptr<DnsConfigurator> configurator;  // null on failure
  std::string error;
};

DnsChoice ChooseDnsConfigurator(const DnsOptions& options);

// The real ones, for callers that know what they want.
std::unique_ptr<DnsConfigurator> MakeResolvedDns(int timeout_ms);
// Whether org.freedesktop.resolve1 has an owner on the system bus.
bool ResolvedIsRunning(int timeout_ms);
std::unique_ptr<DnsConfigurator> MakeResolvconfDns(const DnsOptions& options);

}  // namespace kelvo
