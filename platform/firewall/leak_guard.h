// LeakGuard: an optional kill switch for a full tunnel. While a tunnel is
// meant to be up, a firewall table of our own drops every packet leaving
// the host that neither goes out through the tunnel's interface nor is the
// tunnel's own traffic (carrying its firewall mark: wireguard-go's UDP to
// the endpoint, and the extension's probe and configuration requests).
// The table does not depend on our process: it stays while the tunnel is
// being repaired and after the extension died, until a stop removes it (or
// the next start, as a leftover).
//
// The rules, in table `inet kelvo_<interface>` (non-alphanumerics as "_"),
// chain `output` (hook output, priority 0, policy accept):
//   oifname "lo" accept                        the host talking to itself
//   oifname "<interface>" accept               into the tunnel
//   meta mark <mark> accept                    the tunnel's own traffic
//   icmpv6 type { nd-router-solicit, nd-neighbor-solicit,
//                 nd-neighbor-advert } accept  finding the uplink's router
//   counter drop                               everything else
//
// Implementations: NftLeakGuard (nft_leak_guard.cc, libnftables) and
// FakeLeakGuard. Threading: calls block; they act in the network namespace
// of the calling thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kelvo {

class LeakGuard {
 public:
  virtual ~LeakGuard() = default;
  // Replaces our table for `interface_name` with the rules above.
  virtual std::optional<std::string> Install(const std::string& interface_name,
                                             uint32_t fwmark) = 0;
  // Removes our table; false when there was none.
  virtual bool Remove(const std::string& interface_name) = 0;
};

// "kelvo_k12wc0".
std::string LeakGuardTable(const std::string& interface_name);
// The nft script Install runs, for --help and tests.
std::string LeakGuardRuleset(const std::string& interface_name, uint32_t fwmark);

std::unique_ptr<LeakGuard> MakeNftLeakGuard();

}  // namespace kelvo
