// resolvconf, called the way wg-quick calls it.
#include <fstream>
#include <regex>

#include "platform/dns/dns_configurator.h"
#include "platform/wireguard/child_process.h"

namespace kelvo {
namespace {

class ResolvconfDns final : public DnsConfigurator {
 public:
  explicit ResolvconfDns(DnsOptions options) : options_(std::move(options)) {}

  std::string name() const override { return "resolvconf"; }

  std::optional<std::string> Apply(const DnsSettings& s) override {
    std::string input;
    for (const std::string& server : s.servers) input += "nameserver " + server + "\n";
    if (!s.domains.empty()) {
      input += "search";
      for (const std::string& domain : s.domains) input += " " + domain;
      input += "\n";
    }
    return Run({"-a", RecordName(s.interface_name), "-m", "0", "-x"}, input);
  }

  std::optional<std::string> Remove(const DnsSettings& s) override {
    return Run({"-d", RecordName(s.interface_name), "-f"}, "");
  }

  // Deleting with -f is always done (a record that is not there is fine);
  // whether there was one is asked first where resolvconf can tell
  // (openresolv's -l NAME prints it), only so the caller can say so.
  bool RemoveLeftover(const std::string& interface_name) override {
    const std::string record = RecordName(interface_name);
    ChildProcess::Options list;
    list.path = FindExecutable(options_.resolvconf);
    if (list.path.empty()) return false;
    list.args = {"-l", record};
    auto listed = RunProcess(std::move(list), std::chrono::milliseconds(options_.timeout_ms));
    const bool was_there = listed && listed->wait_status == 0 && !listed->output.empty();
    return !Run({"-d", record, "-f"}, "") && was_there;
  }

 private:
  // The interface-order prefix ("tun." on Debian) puts our record where
  // resolvconf ranks tunnels.
  std::string RecordName(const std::string& interface_name) const {
    std::ifstream order(options_.interface_order);
    static const std::regex kLine("^([A-Za-z0-9-]+)\\*$");
    std::string line;
    std::smatch match;
    while (std::getline(order, line)) {
      if (std::regex_match(line, match, kLine)) return match[1].str() + "." + interface_name;
    }
    return interface_name;
  }

  std::optional<std::string> Run(std::vector<std::string> args, const std::string& input) {
    ChildProcess::Options run;
    run.path = FindExecutable(options_.resolvconf);
    if (run.path.empty()) return options_.resolvconf + " is not installed";
    run.args = std::move(args);
    run.stdin_text = input;
    const std::string shown = "resolvconf " + run.args[0] + " " + run.args[1];
    auto result = RunProcess(std::move(run), std::chrono::milliseconds(options_.timeout_ms));
    if (!result) return shown + " failed: " + result.error();
    if (result->wait_status != 0) {
      return shown + " " + DescribeWaitStatus(result->wait_status) +
             (result->output.empty() ? "" : ": " + result->output);
    }
    return std::nullopt;
  }

  const DnsOptions options_;
};

}  // namespace

std::unique_ptr<DnsConfigurator> MakeResolvconfDns(const DnsOptions& options) {
  return std::make_unique<ResolvconfDns>(options);
}

DnsChoice ChooseDnsConfigurator(const DnsOptions& options) {
  if (ResolvedIsRunning(options.timeout_ms)) return {MakeResolvedDns(options.timeout_ms), {}};
  if (!FindExecutable(options.resolvconf).empty()) return {MakeResolvconfDns(options), {}};
  return {nullptr,
          "Cannot set the tunnel's DNS servers: neither systemd-resolved "
          "(org.freedesktop.resolve1 on the system bus) nor " +
              options.resolvconf + " is available"};
}

}  // namespace kelvo
