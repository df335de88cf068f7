// WireGuardGoAdapter: runs the tunnel with wireguard-go, the userspace
// WireGuard daemon, as a child process of ours, and sets up its network
// interface through rtnetlink.
//
// Start: removes what an earlier run of ours left (a tun device of our
// name that no wireguard-go runs, our routing rules, blackhole routes in our
// table, our DNS registration), each logged; finds wireguard-go
// (Options::wireguard_go, default from PATH) and runs `wireguard-go
// <interface>` in the foreground (WG_PROCESS_FOREGROUND=1) with its output
// going to the log handler, waits (at most startup_timeout) until its
// control socket <socket_directory>/<interface>.sock answers, configures it
// with one UAPI set request (uapi.h; with the firewall mark when policy
// routing is on), then gives the interface the configuration's addresses
// and MTU (when the configuration names none: chosen as wg-quick does,
// link_configurator.h), brings it up and routes the AllowedIPs into it
// (link_configurator.h: a default route turns on policy routing on the
// mark). When policy routing is on, `own_traffic_mark` is set to the mark
// so that the extension's own sockets go around the tunnel; 0 otherwise.
// With block_leaks, a full tunnel gets the leak guard (kill switch) last;
// a tunnel that is not a full tunnel gets none and a log line says so.
// DNS servers go to systemd-resolved or resolvconf (platform/dns); when
// the configuration has DNS and neither is there, the start fails.
// PreUp/PostUp/PreDown/PostDown/SaveConfig are never run; each gets a
// warning line. Endpoint host names are resolved (Options::resolver,
// default getaddrinfo) before anything starts; one that does not resolve
// fails the start with a description naming it. Any failure, a route or
// rule that is already there included, undoes what was done.
//
// Update: resolves the endpoints, sends one set request with
// replace_peers=true (the listen port stays unless the configuration
// names one), then moves addresses, routes and rules to the new
// configuration: adds what is new, removes what is gone, keeps the rest.
// Nothing is torn down; DNS is handed over again.
//
// Runtime configuration: a "get=1" request; the answer's "key=value\n"
// lines are handed on exactly as wireguard-go sends them (private_key,
// listen_port, then per peer public_key, preshared_key, protocol_version,
// endpoint, last_handshake_time_sec, ..., allowed_ip), without the closing
// "errno=0" line and the empty line. nullopt when no tunnel runs, when
// wireguard-go has ended or when its socket does not answer. The text holds
// the private key: it is never logged.
//
// Stop: removes the leak guard, exactly the rules, routes and addresses it
// added and the DNS entry, clears `own_traffic_mark`, ends
// wireguard-go (SIGTERM, then SIGKILL after stop_grace), and deletes the
// interface if it is still there. A stop without a running tunnel completes
// without error.
//
// wireguard-go ending on its own while the tunnel runs is logged as an
// error; from then on runtime queries yield nullopt, so a watchdog sees a
// stale tunnel. An Update then has nothing to update in place: it cleans
// up and starts the tunnel anew with the new configuration (what a repair
// wants); a Stop just cleans up.
//
// Start while a tunnel exists, and Update while none does, fail with an
// "Invalid state" error. A failed Update leaves what it got to (the new
// peers may be in place, the interface half-way) and is reported; the
// caller decides what comes next. wireguard-go gets SIGTERM should the
// adapter's thread end without stopping it (our process dying).
//
// The interface name must be unique on the host, not only in the network
// namespace: all namespaces share wireguard-go's socket directory.
//
// Threading: the operations return at once. All blocking work (process
// start, control socket, netlink, name resolution) runs in order on a
// thread the adapter owns, created by the constructor: the tunnel lives in
// the network namespace of the thread that constructs the adapter.
// Completions and log calls are posted to `queue`; they do not reference
// the adapter, which may be gone by then.
//
// Lifetime: the destructor stops a running tunnel (as Stop does) and waits
// for the worker thread; it blocks for that long.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/dispatch/dispatch.h"
#include "platform/dns/dns_configurator.h"
#include "platform/firewall/leak_guard.h"
#include "platform/netlink/netlink.h"
#include "platform/network/socket_mark.h"
#include "platform/wireguard/link_configurator.h"
#include "platform/wireguard/uapi.h"
#include "platform/wireguard/wireguard_adapter.h"

namespace kelvo {

class WorkerThread;

class WireGuardGoAdapter final : public WireGuardAdapter {
 public:
  struct Options {
    std::string interface_name = "kelvo0";
    std::string wireguard_go = "wireguard-go";  // name looked up in PATH, or a path
    DnsOptions dns;
    // Picks the DNS configurator when a configuration has DNS; null:
    // ChooseDnsConfigurator(dns).
    std::function<DnsChoice()> choose_dns;
    // Set to the mark while policy routing is on (may be null).
    std::shared_ptr<SocketMark> own_traffic_mark;
    // Removes a guard an earlier run left; installs one for a full tunnel
    // when `block_leaks` (platform/firewall/leak_guard.h). May be null.
    std::shared_ptr<LeakGuard> leak_guard;
    bool block_leaks = false;
    std::string socket_directory = "/var/run/wireguard";
    std::shared_ptr<Netlink> netlink;  // null: RtNetlink
    HostResolver resolver;             // null: ResolveHostWithSystem
    // wireguard-go's own LOG_LEVEL: "error" (the default) or "verbose".
    std::string wireguard_go_log_level = "error";
    std::chrono::milliseconds startup_timeout = std::chrono::seconds(5);
    std::chrono::milliseconds stop_grace = std::chrono::seconds(3);
    std::chrono::milliseconds io_timeout = std::chrono::seconds(5);
  };

  WireGuardGoAdapter(std::shared_ptr<Queue> queue, Options options,
                     WireGuardLogHandler log_handler);
  ~WireGuardGoAdapter() override;

  void Start(const TunnelConfiguration& config, Completion completion) override;
  void Stop(Completion completion) override;
  void Update(const TunnelConfiguration& config, Completion completion) override;
  void GetRuntimeConfiguration(RuntimeCompletion completion) override;

 private:
  struct Tunnel;  // the running tunnel's state, touched by the worker only

  std::optional<AdapterError> DoStart(const TunnelConfiguration& config);
  std::optional<AdapterError> DoUpdate(const TunnelConfiguration& config);
  void DoStop();
  std::optional<std::string> DoRuntime();
  std::optional<std::string> ApplyDns(const TunnelConfiguration& config, const LinkPlan& plan);
  void RemoveDns();
  void RemoveLeftovers(const LinkPlan& plan);
  void WarnIgnored(const TunnelConfiguration& config);
  void SetOwnMark(const LinkPlan& plan);
  std::optional<std::string> Guard(const LinkPlan& plan);

  void Log(WireGuardLogLevel level, std::string message) const;
  void Complete(Completion completion, std::optional<AdapterError> error) const;

  const std::shared_ptr<Queue> queue_;
  Options options_;
  std::unique_ptr<Tunnel> tunnel_;
  std::unique_ptr<WorkerThread> worker_;  // last: its work uses the rest
};

}  // namespace kelvo
