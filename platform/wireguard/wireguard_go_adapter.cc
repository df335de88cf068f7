#include "platform/wireguard/wireguard_go_adapter.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/netlink/rtnetlink.h"
#include "platform/wireguard/child_process.h"
#include "platform/wireguard/worker_thread.h"

namespace kelvo {
namespace {

// How often a starting wireguard-go is asked whether its socket is up.
constexpr std::chrono::milliseconds kSocketPoll(20);

void PostLog(const std::shared_ptr<Queue>& queue, const WireGuardLogHandler& handler,
             WireGuardLogLevel level, std::string message) {
  if (!handler) return;
  queue->Async([handler, level, message = std::move(message)] { handler(level, message); });
}

std::string Milliseconds(std::chrono::milliseconds d) { return std::to_string(d.count()) + " ms"; }

// The hosts of "1.2.3.4:51820" / "[fd00::1]:51820".
std::vector<NetPrefix> EndpointHosts(const ResolvedEndpoints& endpoints) {
  std::vector<NetPrefix> out;
  for (const auto& endpoint : endpoints) {
    if (!endpoint) continue;
    std::string host = endpoint->substr(0, endpoint->rfind(':'));
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    if (auto prefix = NetPrefix::Parse(host)) out.push_back(*prefix);
  }
  return out;
}

bool HasDns(const TunnelConfiguration& config) {
  return !config.interface.dns.empty() || !config.interface.dns_search.empty();
}

}  // namespace

struct WireGuardGoAdapter::Tunnel {
  std::unique_ptr<ChildProcess> process;
  std::shared_ptr<std::pair<std::mutex, std::string>> last_output =
      std::make_shared<std::pair<std::mutex, std::string>>();
  int link_index = 0;  // of the interface wireguard-go made; 0 before
  std::unique_ptr<LinkConfigurator> link;
  std::unique_ptr<DnsConfigurator> dns;
  std::optional<DnsSettings> dns_applied;
  bool guarded = false;
};

WireGuardGoAdapter::WireGuardGoAdapter(std::shared_ptr<Queue> queue, Options options,
                                       WireGuardLogHandler log_handler)
    : WireGuardAdapter(std::move(log_handler)),
      queue_(std::move(queue)),
      options_(std::move(options)),
      worker_(std::make_unique<WorkerThread>()) {
  if (!options_.netlink) {
    options_.netlink = std::make_shared<RtNetlink>(options_.io_timeout);
  }
  if (!options_.resolver) options_.resolver = ResolveHostWithSystem;
  if (!options_.choose_dns) {
    options_.choose_dns = [dns = options_.dns] { return ChooseDnsConfigurator(dns); };
  }
}

WireGuardGoAdapter::~WireGuardGoAdapter() {
  worker_->Post([this] { DoStop(); });
  worker_.reset();  // runs what is queued, then joins
}

void WireGuardGoAdapter::Start(const TunnelConfiguration& config, Completion completion) {
  worker_->Post([this, config, completion = std::move(completion)]() mutable {
    auto error = DoStart(config);
    if (error) Log(WireGuardLogLevel::error, "Starting tunnel failed: " + error->description());
    Complete(std::move(completion), std::move(error));
  });
}

void WireGuardGoAdapter::Update(const TunnelConfiguration& config, Completion completion) {
  worker_->Post([this, config, completion = std::move(completion)]() mutable {
    auto error = DoUpdate(config);
    if (error) Log(WireGuardLogLevel::error, "Updating tunnel failed: " + error->description());
    Complete(std::move(completion), std::move(error));
  });
}

void WireGuardGoAdapter::Stop(Completion completion) {
  worker_->Post([this, completion = std::move(completion)]() mutable {
    DoStop();
    Complete(std::move(completion), std::nullopt);
  });
}

void WireGuardGoAdapter::GetRuntimeConfiguration(RuntimeCompletion completion) {
  worker_->Post([this, completion = std::move(completion)]() mutable {
    queue_->Async([completion = std::move(completion), text = DoRuntime()]() mutable {
      if (completion) completion(std::move(text));
    });
  });
}

std::optional<AdapterError> WireGuardGoAdapter::DoStart(const TunnelConfiguration& config) {
  if (tunnel_) return AdapterError("Invalid state: the tunnel is already running");
  const std::string& name = options_.interface_name;
  auto endpoints = ResolveEndpoints(config, options_.resolver);
  if (!endpoints) return AdapterError(endpoints.error());
  const std::string program = FindExecutable(options_.wireguard_go);
  if (program.empty()) {
    return AdapterError("Cannot start the tunnel: " + options_.wireguard_go + " is not installed");
  }
  const UapiClient uapi(options_.socket_directory + "/" + name + ".sock", options_.io_timeout);
  if (uapi.Reachable()) {
    return AdapterError("Interface " + name + " is already run by another wireguard-go");
  }
  WarnIgnored(config);
  LinkPlan plan = LinkPlan::FromConfiguration(config);
  RemoveLeftovers(plan);
  std::unique_ptr<DnsConfigurator> dns;
  if (HasDns(config)) {
    DnsChoice choice = options_.choose_dns();
    if (!choice.configurator) return AdapterError(choice.error);
    dns = std::move(choice.configurator);
    if (dns->RemoveLeftover(name)) {
      Log(WireGuardLogLevel::error,
          "Removed what an earlier run left: the DNS registration of " + name + " (" +
              dns->name() + ")");
    }
  }

  Log(WireGuardLogLevel::verbose, "Starting " + program + " for interface " + name);
  auto tunnel = std::make_unique<Tunnel>();
  tunnel->dns = std::move(dns);
  ChildProcess::Options spawn;
  spawn.path = program;
  spawn.args = {name};
  spawn.environment = {"WG_PROCESS_FOREGROUND=1", "LOG_LEVEL=" + options_.wireguard_go_log_level};
  spawn.end_with_thread = true;  // our worker thread: wireguard-go dies with us
  auto on_line = [queue = queue_, handler = log_handler(),
                  last = tunnel->last_output](const std::string& line) {
    {
      std::lock_guard lock(last->first);
      last->second = line;
    }
    const bool error = line.rfind("ERROR:", 0) == 0;
    PostLog(queue, handler, error ? WireGuardLogLevel::error : WireGuardLogLevel::verbose,
            "wireguard-go: " + line);
  };
  auto on_exit = [queue = queue_, handler = log_handler(), name](int status, bool terminated) {
    if (terminated) return;
    PostLog(queue, handler, WireGuardLogLevel::error,
            "wireguard-go for interface " + name + " ended unexpectedly: it " +
                DescribeWaitStatus(status));
  };
  auto process = ChildProcess::Start(std::move(spawn), on_line, on_exit);
  if (!process) return AdapterError(process.error());
  tunnel->process = std::move(*process);
  tunnel_ = std::move(tunnel);

  auto fail = [this](std::string description) {
    DoStop();
    return AdapterError(std::move(description));
  };
  const auto deadline = std::chrono::steady_clock::now() + options_.startup_timeout;
  while (!uapi.Reachable()) {
    if (tunnel_->process->WaitForExit(kSocketPoll)) {
      std::string last;
      {
        std::lock_guard lock(tunnel_->last_output->first);
        last = tunnel_->last_output->second;
      }
      return fail("wireguard-go " + DescribeWaitStatus(*tunnel_->process->exit_status()) +
                  " before its control socket appeared" + (last.empty() ? "" : ": " + last));
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return fail("wireguard-go did not open its control socket " + uapi.path() + " within " +
                  Milliseconds(options_.startup_timeout));
    }
  }
  if (auto error = uapi.Set(RenderUapiSet(config, *endpoints, plan.fwmark.value_or(0)))) {
    return fail("Configuring wireguard-go failed: " + *error);
  }

  int index = 0;
  if (auto error = options_.netlink->LinkIndex(name, &index)) return fail(error->description());
  tunnel_->link_index = index;
  tunnel_->link = std::make_unique<LinkConfigurator>(
      *options_.netlink, index, [this](bool is_error, const std::string& message) {
        Log(is_error ? WireGuardLogLevel::error : WireGuardLogLevel::verbose, message);
      });
  if (!plan.mtu) plan.mtu = ChooseMtu(*options_.netlink, EndpointHosts(*endpoints));
  if (auto error = tunnel_->link->Apply(plan)) return fail(*error);
  if (auto error = ApplyDns(config, plan)) return fail(*error);
  SetOwnMark(plan);
  if (auto error = Guard(plan)) return fail(*error);
  Log(WireGuardLogLevel::verbose,
      "Tunnel is up on " + name + " with " + std::to_string(config.peers.size()) + " peer(s), " +
          std::to_string(plan.addresses.size()) + " address(es), " +
          std::to_string(tunnel_->link->applied_routes().size() +
                         tunnel_->link->applied_table_routes().size()) +
          " route(s), " + std::to_string(tunnel_->link->applied_rules().size()) + " rule(s), MTU " +
          std::to_string(*plan.mtu));
  return std::nullopt;
}

std::optional<AdapterError> WireGuardGoAdapter::DoUpdate(const TunnelConfiguration& config) {
  if (!tunnel_) return AdapterError("Invalid state: the tunnel is not running");
  if (auto status = tunnel_->process->exit_status()) {
    // Nothing is left to update in place: start over, which is what the
    // caller's repair needs.
    Log(WireGuardLogLevel::error,
        "Restarting the tunnel: wireguard-go " + DescribeWaitStatus(*status));
    DoStop();
    return DoStart(config);
  }
  auto endpoints = ResolveEndpoints(config, options_.resolver);
  if (!endpoints) return AdapterError(endpoints.error());
  const UapiClient uapi(options_.socket_directory + "/" + options_.interface_name + ".sock",
                        options_.io_timeout);
  WarnIgnored(config);
  const LinkPlan plan = LinkPlan::FromConfiguration(config);
  if (auto error = uapi.Set(RenderUapiSet(config, *endpoints, plan.fwmark.value_or(0)))) {
    return AdapterError("Reconfiguring wireguard-go failed: " + *error);
  }
  if (auto error = tunnel_->link->Apply(plan)) return AdapterError(*error);
  SetOwnMark(plan);
  if (auto error = Guard(plan)) return AdapterError(*error);
  if (auto error = ApplyDns(config, plan)) return AdapterError(*error);
  Log(WireGuardLogLevel::verbose,
      "Tunnel updated with " + std::to_string(config.peers.size()) + " peer(s), " +
          std::to_string(plan.addresses.size()) + " address(es), " +
          std::to_string(tunnel_->link->applied_routes().size()) + " route(s)");
  return std::nullopt;
}

void WireGuardGoAdapter::DoStop() {
  if (!tunnel_) return;
  const std::string& name = options_.interface_name;
  if (tunnel_->guarded && options_.leak_guard) options_.leak_guard->Remove(name);
  if (tunnel_->link) tunnel_->link->Clear();
  if (options_.own_traffic_mark) options_.own_traffic_mark->Set(0);
  RemoveDns();
  if (tunnel_->process) {
    if (!tunnel_->process->exit_status()) {
      const int status = tunnel_->process->Terminate(options_.stop_grace);
      Log(WireGuardLogLevel::verbose, "wireguard-go " + DescribeWaitStatus(status));
    }
    tunnel_->process.reset();
  }
  // wireguard-go's tun device goes with it; delete it in case it lingers,
  // but never a link of that name that wireguard-go did not make.
  int index = 0;
  if (tunnel_->link_index > 0 && !options_.netlink->LinkIndex(name, &index) &&
      index == tunnel_->link_index) {
    if (auto error = options_.netlink->DeleteLink(index); error && error->code() != ENODEV) {
      Log(WireGuardLogLevel::error, error->description());
    }
  }
  // A killed wireguard-go leaves its socket file behind.
  const std::string socket = options_.socket_directory + "/" + name + ".sock";
  struct stat info {};
  if (stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) &&
      !UapiClient(socket, options_.io_timeout).Reachable()) {
    unlink(socket.c_str());
  }
  tunnel_.reset();
  Log(WireGuardLogLevel::verbose, "Tunnel on " + name + " stopped");
}

std::optional<std::string> WireGuardGoAdapter::DoRuntime() {
  if (!tunnel_ || !tunnel_->process || tunnel_->process->exit_status()) return std::nullopt;
  const UapiClient uapi(options_.socket_directory + "/" + options_.interface_name + ".sock",
                        options_.io_timeout);
  auto text = uapi.Get();
  if (!text) {
    Log(WireGuardLogLevel::error, "Reading the runtime configuration failed: " + text.error());
    return std::nullopt;
  }
  return std::move(*text);
}

std::optional<std::string> WireGuardGoAdapter::ApplyDns(const TunnelConfiguration& config,
                                                         const LinkPlan& plan) {
  if (!HasDns(config)) {
    RemoveDns();
    return std::nullopt;
  }
  if (!tunnel_->dns) {
    // An update brought DNS to a tunnel started without.
    DnsChoice choice = options_.choose_dns();
    if (!choice.configurator) return choice.error;
    tunnel_->dns = std::move(choice.configurator);
  }
  DnsSettings settings;
  settings.interface_name = options_.interface_name;
  settings.link_index = tunnel_->link_index;
  for (const IPAddress& server : config.interface.dns) settings.servers.push_back(server.ToString());
  settings.domains = config.interface.dns_search;
  settings.full_tunnel = !plan.rules.empty();
  if (auto error = tunnel_->dns->Apply(settings)) return "DNS servers not applied: " + *error;
  tunnel_->dns_applied = settings;
  Log(WireGuardLogLevel::verbose, "DNS servers applied through " + tunnel_->dns->name());
  return std::nullopt;
}

void WireGuardGoAdapter::RemoveDns() {
  if (!tunnel_->dns_applied || !tunnel_->dns) return;
  if (auto error = tunnel_->dns->Remove(*tunnel_->dns_applied)) {
    Log(WireGuardLogLevel::error, "Removing DNS servers failed: " + *error);
  }
  tunnel_->dns_applied.reset();
}

void WireGuardGoAdapter::RemoveLeftovers(const LinkPlan& plan) {
  const std::string& name = options_.interface_name;
  Netlink& netlink = *options_.netlink;
  int index = 0;
  std::string kind;
  // A tun device of our name that no wireguard-go answers for (checked
  // before) is an earlier run's; any other link of that name is not ours.
  if (!netlink.LinkIndex(name, &index) && !netlink.GetLinkKind(index, &kind) && kind == "tun") {
    if (auto error = netlink.DeleteLink(index)) {
      Log(WireGuardLogLevel::error, "Removing the interface an earlier run left: " +
                                        error->description());
    } else {
      Log(WireGuardLogLevel::error, "Removed what an earlier run left: interface " + name);
    }
  }
  const std::string socket = options_.socket_directory + "/" + name + ".sock";
  if (unlink(socket.c_str()) == 0) {
    Log(WireGuardLogLevel::verbose, "Removed the stale control socket " + socket);
  }
  if (options_.leak_guard && options_.leak_guard->Remove(name)) {
    Log(WireGuardLogLevel::error, "Removed what an earlier run left: the leak guard table " +
                                      LeakGuardTable(name));
  }
  uint32_t table = kDefaultFwMark;
  if (!plan.table_routes.empty()) table = plan.table_routes.front().table;
  LinkConfigurator::RemoveLeftovers(netlink, table, [this](bool, const std::string& message) {
    Log(WireGuardLogLevel::error, message);
  });
}

std::optional<std::string> WireGuardGoAdapter::Guard(const LinkPlan& plan) {
  if (!options_.block_leaks || !options_.leak_guard) return std::nullopt;
  if (plan.rules.empty() || !plan.fwmark) {
    Log(WireGuardLogLevel::error,
        "Leak guard not installed: only a full tunnel (a default route in AllowedIPs) has one");
    if (tunnel_->guarded) options_.leak_guard->Remove(options_.interface_name);
    tunnel_->guarded = false;
    return std::nullopt;
  }
  if (auto error = options_.leak_guard->Install(options_.interface_name, *plan.fwmark)) {
    return error;
  }
  tunnel_->guarded = true;
  Log(WireGuardLogLevel::verbose, "Leak guard installed: table inet " +
                                      LeakGuardTable(options_.interface_name));
  return std::nullopt;
}

void WireGuardGoAdapter::WarnIgnored(const TunnelConfiguration& config) {
  for (const std::string& what : config.ignored.lines) {
    Log(WireGuardLogLevel::error,
        "Warning: " + what +
            " ignored: commands in a configuration are never run (it comes from the network)");
  }
}

void WireGuardGoAdapter::SetOwnMark(const LinkPlan& plan) {
  if (!options_.own_traffic_mark) return;
  options_.own_traffic_mark->Set(plan.rules.empty() ? 0 : plan.fwmark.value_or(0));
}

void WireGuardGoAdapter::Log(WireGuardLogLevel level, std::string message) const {
  PostLog(queue_, log_handler(), level, std::move(message));
}

void WireGuardGoAdapter::Complete(Completion completion, std::optional<AdapterError> error) const {
  queue_->Async([completion = std::move(completion), error = std::move(error)]() mutable {
    if (completion) completion(std::move(error));
  });
}

}  // namespace kelvo
