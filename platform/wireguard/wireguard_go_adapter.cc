#include "platform/wireguard/wireguard_go_adapter.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/netlink/rtnetlink.h"
#include "platform/wireguard/child_process.h"
#include "platform/wireguard/link_configurator.h"
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

}  // namespace

struct WireGuardGoAdapter::Tunnel {
  std::unique_ptr<ChildProcess> process;
  std::shared_ptr<std::pair<std::mutex, std::string>> last_output =
      std::make_shared<std::pair<std::mutex, std::string>>();
  int link_index = 0;  // of the interface wireguard-go made; 0 before
  std::unique_ptr<LinkConfigurator> link;
  bool dns_applied = false;
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

  Log(WireGuardLogLevel::verbose, "Starting " + program + " for interface " + name);
  auto tunnel = std::make_unique<Tunnel>();
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
  if (auto error = uapi.Set(RenderUapiSet(config, *endpoints))) {
    return fail("Configuring wireguard-go failed: " + *error);
  }

  int index = 0;
  if (auto error = options_.netlink->LinkIndex(name, &index)) return fail(error->description());
  tunnel_->link_index = index;
  tunnel_->link = std::make_unique<LinkConfigurator>(
      *options_.netlink, index, [this](bool is_error, const std::string& message) {
        Log(is_error ? WireGuardLogLevel::error : WireGuardLogLevel::verbose, message);
      });
  const LinkPlan plan = LinkPlan::FromConfiguration(config);
  if (auto error = tunnel_->link->Apply(plan)) return fail(*error);
  ApplyDns(config);
  Log(WireGuardLogLevel::verbose,
      "Tunnel is up on " + name + " with " + std::to_string(config.peers.size()) + " peer(s), " +
          std::to_string(plan.addresses.size()) + " address(es), " +
          std::to_string(tunnel_->link->applied_routes().size()) + " route(s)");
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
  if (auto error = uapi.Set(RenderUapiSet(config, *endpoints))) {
    return AdapterError("Reconfiguring wireguard-go failed: " + *error);
  }
  const LinkPlan plan = LinkPlan::FromConfiguration(config);
  if (auto error = tunnel_->link->Apply(plan)) return AdapterError(*error);
  ApplyDns(config);
  Log(WireGuardLogLevel::verbose,
      "Tunnel updated with " + std::to_string(config.peers.size()) + " peer(s), " +
          std::to_string(plan.addresses.size()) + " address(es), " +
          std::to_string(tunnel_->link->applied_routes().size()) + " route(s)");
  return std::nullopt;
}

void WireGuardGoAdapter::DoStop() {
  if (!tunnel_) return;
  const std::string& name = options_.interface_name;
  if (tunnel_->link) tunnel_->link->Clear();
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

void WireGuardGoAdapter::ApplyDns(const TunnelConfiguration& config) {
  const InterfaceConfiguration& iface = config.interface;
  if (iface.dns.empty() && iface.dns_search.empty()) {
    RemoveDns();
    return;
  }
  const std::string program = FindExecutable(options_.resolvconf);
  if (program.empty()) {
    Log(WireGuardLogLevel::verbose,
        "DNS servers not applied: " + options_.resolvconf + " is not installed");
    return;
  }
  std::string input;
  for (const IPAddress& server : iface.dns) input += "nameserver " + server.ToString() + "\n";
  if (!iface.dns_search.empty()) {
    input += "search";
    for (const std::string& domain : iface.dns_search) input += " " + domain;
    input += "\n";
  }
  ChildProcess::Options run;
  run.path = program;
  run.args = {"-a", options_.interface_name};
  run.stdin_text = input;
  auto result = RunProcess(std::move(run), options_.io_timeout);
  if (!result) {
    Log(WireGuardLogLevel::error, "DNS servers not applied: " + result.error());
  } else if (result->wait_status != 0) {
    Log(WireGuardLogLevel::error, "DNS servers not applied: resolvconf " +
                                      DescribeWaitStatus(result->wait_status) +
                                      (result->output.empty() ? "" : ": " + result->output));
  } else {
    tunnel_->dns_applied = true;
    Log(WireGuardLogLevel::verbose, "DNS servers applied through resolvconf");
  }
}

void WireGuardGoAdapter::RemoveDns() {
  if (!tunnel_->dns_applied) return;
  tunnel_->dns_applied = false;
  const std::string program = FindExecutable(options_.resolvconf);
  if (program.empty()) return;
  ChildProcess::Options run;
  run.path = program;
  run.args = {"-d", options_.interface_name};
  auto result = RunProcess(std::move(run), options_.io_timeout);
  if (!result || result->wait_status != 0) {
    Log(WireGuardLogLevel::error,
        "Removing DNS servers failed: " +
            (result ? "resolvconf " + DescribeWaitStatus(result->wait_status) : result.error()));
  }
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
