#include "platform/dns/fake_dns_configurator.h"

namespace kelvo {
namespace {

std::string Join(const std::vector<std::string>& list) {
  std::string out;
  for (const std::string& item : list) out += (out.empty() ? "" : ",") + item;
  return out;
}

}  // namespace

std::optional<std::string> FakeDnsConfigurator::Apply(const DnsSettings& s) {
  std::lock_guard lock(record_->mu);
  record_->calls.push_back("apply " + s.interface_name + " " + std::to_string(s.link_index) +
                           " servers=" + Join(s.servers) + " domains=" + Join(s.domains) +
                           " full=" + (s.full_tunnel ? "1" : "0"));
  return record_->fail_apply;
}

std::optional<std::string> FakeDnsConfigurator::Remove(const DnsSettings& s) {
  std::lock_guard lock(record_->mu);
  record_->calls.push_back("remove " + s.interface_name + " " + std::to_string(s.link_index));
  return std::nullopt;
}

bool FakeDnsConfigurator::RemoveLeftover(const std::string& interface_name) {
  std::lock_guard lock(record_->mu);
  record_->calls.push_back("leftover " + interface_name);
  return record_->leftovers.erase(interface_name) > 0;
}

}  // namespace kelvo
