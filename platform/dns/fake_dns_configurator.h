// FakeDnsConfigurator: records each call as one line, e.g.
// "apply kelvo0 3 servers=10.0.0.53 domains=example.test full=1",
// "remove kelvo0 3", "leftover kelvo0"; Apply fails with `fail_apply` when
// that is set. Leftovers named in `leftovers` are "found" once.
// Threading: one caller at a time; calls() is a copy.
#pragma once

#include <memory>
#include <mutex>
#include <set>

#include "platform/dns/dns_configurator.h"

namespace kelvo {

class FakeDnsConfigurator final : public DnsConfigurator {
 public:
  struct Record {
    std::mutex mu;
    std::vector<std::string> calls;
    std::optional<std::string> fail_apply;
    std::set<std::string> leftovers;
  };

  explicit FakeDnsConfigurator(std::shared_ptr<Record> record) : record_(std::move(record)) {}

  std::string name() const override { return "fake"; }
  std::optional<std::string> Apply(const DnsSettings& settings) override;
  std::optional<std::string> Remove(const DnsSettings& settings) override;
  bool RemoveLeftover(const std::string& interface_name) override;

 private:
  std::shared_ptr<Record> record_;
};

}  // namespace kelvo
