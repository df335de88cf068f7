// The WireGuard cross-platform userspace API (UAPI): the text protocol a
// userspace implementation such as wireguard-go speaks on its control
// socket (a Unix stream socket, <directory>/<interface>.sock).
//
// A request is "set=1\n" or "get=1\n", "key=value\n" lines, and an empty
// line. The answer is "key=value\n" lines (for get), then "errno=N\n" and an
// empty line; N is 0 on success.
//
// Key material: a set request and a get answer hold the private key (hex).
// Neither may be logged; errors here never quote them.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wireguard/expected.h"
#include "platform/wireguard/ip_address.h"
#include "platform/wireguard/tunnel_configuration.h"

namespace kelvo {

// Peer i's endpoint as the daemon takes it, an address and a port:
// "192.0.2.1:51820", "[2001:db8::1]:51820"; nullopt for a peer without one.
using ResolvedEndpoints = std::vector<std::optional<std::string>>;

// The addresses a host name resolves to, in preference order, or why none.
using HostResolver =
    std::function<Expected<std::vector<IPAddress>, std::string>(const std::string& host)>;

// getaddrinfo: numeric hosts as they are, names through the system resolver
// (only address families configured on this host).
Expected<std::vector<IPAddress>, std::string> ResolveHostWithSystem(const std::string& host);

// Resolves every peer's endpoint with `resolver`, taking its first address.
// The error names the host and the peer (1-based), e.g. "Endpoint host
// 'vpn.example.com' of peer 1 could not be resolved: Name or service not
// known".
Expected<ResolvedEndpoints, std::string> ResolveEndpoints(const TunnelConfiguration& config,
                                                          const HostResolver& resolver);

// The set request that makes a device run `config`: private_key,
// listen_port (only when configured, so an update keeps the port),
// replace_peers=true, then per peer public_key, preshared_key (when
// configured), endpoint (when it has one), persistent_keepalive_interval
// (0 when off), replace_allowed_ips=true and one allowed_ip per range; then
// the empty line. `endpoints` must have one entry per peer. With `fwmark`,
// the device's mark goes in after listen_port (0 clears it).
std::string RenderUapiSet(const TunnelConfiguration& config, const ResolvedEndpoints& endpoints,
                          std::optional<uint32_t> fwmark = std::nullopt);

struct UapiAnswer {
  std::string body;  // the "key=value\n" lines before "errno=", as answered
  int error_code = 0;
};

// Parses one complete answer (ending in the empty line). An error names
// what is wrong without quoting the text.
Expected<UapiAnswer, std::string> ParseUapiAnswer(std::string_view text);

// One connection per request; every call blocks for at most `timeout`.
class UapiClient {
 public:
  UapiClient(std::string socket_path, std::chrono::milliseconds timeout)
      : path_(std::move(socket_path)), timeout_(timeout) {}

  // True when the socket accepts a connection now.
  bool Reachable() const;
  // Sends a set request (as RenderUapiSet makes); the error says why it
  // failed, including a non-zero errno answer.
  std::optional<std::string> Set(const std::string& request) const;
  // Sends "get=1\n\n" and returns the body of the answer: the daemon's
  // "key=value\n" lines exactly as sent, without "errno=0" and the empty
  // line. An errno other than 0 is an error.
  Expected<std::string, std::string> Get() const;

  const std::string& path() const { return path_; }

 private:
  // Connects, sends, and reads up to the empty line that ends an answer.
  Expected<UapiAnswer, std::string> Exchange(const std::string& request) const;

  std::string path_;
  std::chrono::milliseconds timeout_;
};

}  // namespace kelvo
