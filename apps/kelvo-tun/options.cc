#include "apps/kelvo-tun/options.h"

#include <charconv>

#include "apps/kelvo-tun/tunnel_memory.h"
#include "platform/tunnels/tunnel_manager.h"

namespace kelvo {

bool ParseProbeTarget(const std::string& text, std::string* host, uint16_t* port) {
  std::string h = text;
  std::string p;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos) return false;
    h = text.substr(1, close - 1);
    std::string rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return false;
      p = rest.substr(1);
    }
  } else if (size_t colon = text.find(':'); colon != std::string::npos) {
    if (text.find(':', colon + 1) != std::string::npos) {
      h = text;  // a bare IPv6 address
    } else {
      h = text.substr(0, colon);
      p = text.substr(colon + 1);
    }
  }
  if (h.empty()) return false;
  *host = h;
  if (!p.empty()) {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), value);
    if (ec != std::errc() || end != p.data() + p.size() || value == 0 || value > 65535) return false;
    *port = static_cast<uint16_t>(value);
  }
  return true;
}

void AddTunOptions(CLI::App& app, TunOptions& options) {
  options.control_socket = DefaultControlSocketPath();
  app.add_option("--control-socket", options.control_socket,
                 "Unix socket the host and kelvoctl use to reach this tunnel")
      ->capture_default_str();
  app.add_option("--adapter", options.adapter,
                 "WireGuard backend: 'wireguard-go' (the real tunnel; needs root and "
                 "/dev/net/tun) or 'memory' (a tunnel that only pretends, no root needed)")
      ->check(CLI::IsMember({"wireguard-go", "memory"}))
      ->capture_default_str();
  app.add_option("--memory-handshake", options.memory_handshake,
                 "With --adapter memory, the handshakes the pretend tunnel reports: 'fresh' "
                 "(now, at every start and update), 'stale' (an hour old from the start until "
                 "the next update, which makes it fresh: a dead tunnel that the watchdog's "
                 "repair fixes) or 'none' (no handshake ever)")
      ->check(CLI::IsMember({"fresh", "stale", "none"}))
      ->capture_default_str();
  app.add_option("--interface", options.interface,
                 "Interface name, unique on the host (wireguard-go's control sockets of all "
                 "network namespaces share one directory); also names this tunnel's profile")
      ->capture_default_str();
  app.add_option("--name", options.name, "Tunnel name shown to the host")->capture_default_str();
  app.add_option_function<std::string>(
         "--probe-host",
         [&options](const std::string& text) {
           if (!ParseProbeTarget(text, &options.probe_host, &options.probe_port)) {
             throw CLI::ValidationError("--probe-host", "expected HOST, HOST:PORT or [V6]:PORT");
           }
         },
         "Where the watchdog's network probe connects (default 1.1.1.1:443), for networks "
         "that block it");
  app.add_flag("--foreground", options.foreground, "Also copy every log line to stderr");
  app.add_flag("--block-leaks", options.block_leaks,
               "Kill switch for a full tunnel: while the tunnel is meant to be up (also while "
               "it is repaired and after kelvo-tun died, until a stop), nftables table "
               "'inet kelvo_<interface>', chain 'output', drops what leaves the host unless it "
               "is: oifname \"lo\" accept; oifname \"<interface>\" accept; meta mark <the "
               "tunnel's mark, 51820 by default> accept (wireguard-go's traffic to the "
               "endpoint, the probe, the service requests); icmpv6 type { nd-router-solicit, "
               "nd-neighbor-solicit, nd-neighbor-advert } accept; counter drop");
  options.state_directory = DefaultStateDirectory();
  app.add_flag("--resume", options.resume,
               "Start the last tunnel that was started and not stopped (as after a reboot); "
               "without it nothing starts on its own");
  app.add_option("--state-dir", options.state_directory,
                 "Where the last started tunnel's configuration is kept (0600)")
      ->capture_default_str();
}

}  // namespace kelvo
