#include "platform/dns/dns_configurator.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/desktop_notify/fake_session_bus.h"
#include "platform/wireguard/child_process.h"

namespace kelvo {
namespace {

std::string ReadFile(const std::string& path) {
  std::string text;
  std::getline(std::ifstream(path), text, '\0');
  return text;
}

class DnsConfiguratorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/k12-dns-XXXXXX";
    dir_ = mkdtemp(pattern);
    options_.interface_order = dir_ + "/interface-order";
    options_.resolvconf = dir_ + "/no-resolvconf";
    options_.timeout_ms = 2000;
    // No system bus at all unless a test brings one.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir_ + "/no-bus").c_str(), 1);
  }
  void TearDown() override {
    if (resolved_) resolved_->Terminate(std::chrono::seconds(2));
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    std::filesystem::remove_all(dir_);
  }

  // A stand-in resolvconf recording its arguments and input.
  void InstallResolvconf() {
    options_.resolvconf = dir_ + "/resolvconf";
    std::ofstream(options_.resolvconf) << "#!/bin/sh\necho \"$@\" >> " << dir_
                                       << "/calls\n[ \"$1\" = -l ] || cat >> " << dir_
                                       << "/calls\n";
    chmod(options_.resolvconf.c_str(), 0700);
  }

  // The stand-in resolved on a private bus standing for the system bus.
  void StartResolved() {
    ASSERT_EQ(bus_.Start(), std::nullopt);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_.address().c_str(), 1);
    ChildProcess::Options run;
    run.path = KELVO_FAKE_RESOLVED;
    run.args = {dir_ + "/resolved"};
    run.environment = {"DBUS_SYSTEM_BUS_ADDRESS=" + bus_.address()};
    auto state = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
    auto ready = std::make_shared<bool>(false);
    auto child = ChildProcess::Start(
        std::move(run),
        [state, ready](const std::string& line) {
          std::lock_guard lock(state->first);
          if (line == "ready") *ready = true;
          state->second.notify_all();
        },
        [](int, bool) {});
    ASSERT_TRUE(child) << child.error();
    resolved_ = std::move(*child);
    std::unique_lock lock(state->first);
    ASSERT_TRUE(state->second.wait_for(lock, std::chrono::seconds(10), [&] { return *ready; }));
  }

  DnsSettings Settings(bool full) {
    DnsSettings s;
    s.interface_name = "k12dns0";
    s.link_index = 7;
    s.servers = {"10.100.0.53", "fd00::53"};
    s.domains = {"example.test"};
    s.full_tunnel = full;
    return s;
  }

  std::string dir_;
  DnsOptions options_;
  FakeSessionBus bus_;
  std::unique_ptr<ChildProcess> resolved_;
};

TEST_F(DnsConfiguratorTest, ResolvedWinsAndGetsLinkDnsDomainsAndDefaultRoute) {
  InstallResolvconf();  // present too: resolved still comes first
  StartResolved();
  DnsChoice choice = ChooseDnsConfigurator(options_);
  ASSERT_TRUE(choice.configurator) << choice.error;
  EXPECT_EQ(choice.configurator->name(), "systemd-resolved");
  EXPECT_EQ(choice.configurator->Apply(Settings(true)), std::nullopt);
  EXPECT_EQ(choice.configurator->Apply(Settings(false)), std::nullopt);
  EXPECT_EQ(choice.configurator->Remove(Settings(false)), std::nullopt);
  EXPECT_EQ(ReadFile(dir_ + "/resolved"),
            "SetLinkDNS 7 10.100.0.53 fd00::53\n"
            "SetLinkDomains 7 example.test ~.\n"
            "SetLinkDefaultRoute 7 1\n"
            "SetLinkDNS 7 10.100.0.53 fd00::53\n"
            "SetLinkDomains 7 example.test\n"
            "SetLinkDefaultRoute 7 0\n"
            "RevertLink 7\n");
  EXPECT_FALSE(choice.configurator->RemoveLeftover("k12dns0"));

  // resolved going away between the choice and the call is an error, not
  // a silent success.
  resolved_->Terminate(std::chrono::seconds(2));
  resolved_.reset();
  auto error = choice.configurator->Apply(Settings(true));
  ASSERT_TRUE(error);
  EXPECT_NE(error->find("systemd-resolved SetLinkDNS failed"), std::string::npos) << *error;
}

TEST_F(DnsConfiguratorTest, ResolvconfAsWgQuickCallsItAndNeitherFails) {
  DnsChoice none = ChooseDnsConfigurator(options_);
  EXPECT_FALSE(none.configurator);
  EXPECT_EQ(none.error,
            "Cannot set the tunnel's DNS servers: neither systemd-resolved "
            "(org.freedesktop.resolve1 on the system bus) nor " +
                options_.resolvconf + " is available");

  InstallResolvconf();
  std::ofstream(options_.interface_order) << "# order\nlo.inet*\ntun*\nwg*\n";
  DnsChoice choice = ChooseDnsConfigurator(options_);
  ASSERT_TRUE(choice.configurator) << choice.error;
  EXPECT_EQ(choice.configurator->name(), "resolvconf");
  EXPECT_EQ(choice.configurator->Apply(Settings(true)), std::nullopt);
  EXPECT_EQ(choice.configurator->Remove(Settings(true)), std::nullopt);
  EXPECT_FALSE(choice.configurator->RemoveLeftover("k12dns0")) << "-l listed nothing";
  EXPECT_EQ(ReadFile(dir_ + "/calls"),
            "-a tun.k12dns0 -m 0 -x\nnameserver 10.100.0.53\nnameserver fd00::53\n"
            "search example.test\n"
            "-d tun.k12dns0 -f\n"
            "-l tun.k12dns0\n-d tun.k12dns0 -f\n");

  // A failing resolvconf fails the call with its words.
  std::ofstream(options_.resolvconf) << "#!/bin/sh\necho no such interface >&2\nexit 3\n";
  auto error = choice.configurator->Apply(Settings(true));
  ASSERT_TRUE(error);
  EXPECT_EQ(*error, "resolvconf -a tun.k12dns0 exited with status 3: no such interface");
}

}  // namespace
}  // namespace kelvo
