#include "platform/wireguard/link_configurator.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/netlink/fake_netlink.h"

namespace kelvo {
namespace {

TunnelConfiguration Config(const std::string& interface_lines, const std::string& allowed_ips) {
  auto parsed = TunnelConfiguration::FromWgQuickConfig(
      "[Interface]\nPrivateKey = AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\n" + interface_lines +
      "[Peer]\nPublicKey = ERERERERERERERERERERERERERERERERERERERERERE=\n" +
      (allowed_ips.empty() ? "" : "AllowedIPs = " + allowed_ips + "\n"));
  EXPECT_TRUE(parsed) << (parsed ? "" : parsed.error().description());
  return parsed ? *parsed : TunnelConfiguration{};
}

std::vector<std::string> Strings(const std::vector<NetPrefix>& list) {
  std::vector<std::string> out;
  for (const NetPrefix& p : list) out.push_back(p.ToString());
  return out;
}

using Lines = std::vector<std::string>;

TEST(LinkPlanTest, RoutesFromAllowedIPs) {
  LinkPlan plan = LinkPlan::FromConfiguration(
      Config("Address = 10.100.0.2/24, fd00::2/64, 10.100.0.2/24\nMTU = 1380\n",
             "0.0.0.0/0, ::/0, 10.9.1.7/16, 10.9.0.0/16, 10.100.0.0/24, fd00::/64, 10.100.0.9/32"));
  EXPECT_EQ(Strings(plan.addresses), (Lines{"10.100.0.2/24", "fd00::2/64"}));
  // Host bits cleared; duplicates once; the networks of our own addresses
  // left to the kernel; default routes go to their own table.
  EXPECT_EQ(Strings(plan.routes), (Lines{"10.9.0.0/16", "10.100.0.9/32"}));
  EXPECT_EQ(plan.mtu, 1380u);
}

class LinkConfiguratorTest : public ::testing::Test {
 protected:
  LinkConfiguratorTest()
      : index_(nl_.AddLink("kelvo0")),
        link_(nl_, index_, [this](bool is_error, const std::string& message) {
          notes_.push_back((is_error ? "error: " : "") + message);
        }) {}

  std::optional<std::string> Apply(const std::string& interface_lines,
                                   const std::string& allowed_ips) {
    nl_.ClearOperations();
    return link_.Apply(LinkPlan::FromConfiguration(Config(interface_lines, allowed_ips)));
  }
  Lines Ops() {
    Lines out;
    const std::string index = " " + std::to_string(index_);
    for (std::string line : nl_.operations()) {
      for (size_t at = line.find(index); at != std::string::npos; at = line.find(index, at + 1)) {
        const size_t end = at + index.size();
        if (end == line.size() || line[end] == ' ') {
          line.erase(at, index.size());
          break;
        }
      }
      out.push_back(line);
    }
    return out;
  }
  Lines Kernel(bool routes) {
    auto link = nl_.link("kelvo0");
    if (!link) return {};
    const auto& set = routes ? link->routes : link->addresses;
    return Strings(std::vector<NetPrefix>(set.begin(), set.end()));
  }

  FakeNetlink nl_;
  int index_;
  Lines notes_;
  LinkConfigurator link_;
};

TEST_F(LinkConfiguratorTest, UpdateAddsNewThenRemovesOldAndKeepsTheRest) {
  ASSERT_EQ(Apply("Address = 10.100.0.2/32, fd00::2/128\nMTU = 1380\n", "10.100.0.1/32, 10.200.0.0/16"),
            std::nullopt);
  EXPECT_EQ(Ops(),
            (Lines{"mtu 1380", "add-address 10.100.0.2/32", "add-address fd00::2/128", "up",
                   "add-route 10.100.0.1/32", "add-route 10.200.0.0/16"}));

  // New tunnel address and server, default route kept; no MTU: left alone.
  ASSERT_EQ(Apply("Address = 10.100.1.2/32, fd00::2/128\n", "10.100.1.1/32, 10.200.0.0/16"),
            std::nullopt);
  EXPECT_EQ(Ops(), (Lines{"add-address 10.100.1.2/32", "up", "add-route 10.100.1.1/32",
                          "remove-route 10.100.0.1/32", "remove-address 10.100.0.2/32"}));
  EXPECT_EQ(Kernel(false), (Lines{"10.100.1.2/32", "fd00::2/128"}));
  EXPECT_EQ(Kernel(true), (Lines{"10.100.1.1/32", "10.200.0.0/16"}));

  // The same configuration again changes nothing.
  ASSERT_EQ(Apply("Address = 10.100.1.2/32, fd00::2/128\n", "10.100.1.1/32, 10.200.0.0/16"),
            std::nullopt);
  EXPECT_EQ(Ops(), (Lines{"up"}));

  nl_.ClearOperations();
  link_.Clear();
  EXPECT_EQ(Ops(), (Lines{"remove-route 10.200.0.0/16", "remove-route 10.100.1.1/32",
                          "remove-address fd00::2/128",
                          "remove-address 10.100.1.2/32"}));
  EXPECT_TRUE(notes_.empty()) << notes_[0];
}

TEST_F(LinkConfiguratorTest, ExistingRoutesFailTheApplyAndFailuresStopThere) {
  nl_.AddRoute(nl_.AddLink("eth0"), *NetPrefix::Parse("10.9.0.0/16"));
  auto error = Apply("Address = 10.100.0.2/32\n", "10.8.0.0/16, 10.9.0.0/16");
  ASSERT_TRUE(error) << "half the ranges outside the tunnel must not count as up";
  EXPECT_EQ(*error, "add-route " + std::to_string(index_) + " 10.9.0.0/16 failed: File exists");
  EXPECT_EQ(Strings(link_.applied_routes()), (Lines{"10.8.0.0/16"}));

  // A failing add stops there with the kernel's error; what was applied
  // before stays known, so Clear still removes it.
  nl_.FailOperations("add-route " + std::to_string(index_) + " 10.7.", EPERM);
  error = Apply("Address = 10.100.0.2/32\n", "10.8.0.0/16, 10.7.0.0/16, 10.6.0.0/16");
  ASSERT_TRUE(error);
  EXPECT_EQ(*error,
            "add-route " + std::to_string(index_) + " 10.7.0.0/16 failed: Operation not permitted");
  EXPECT_EQ(Ops().back(), "add-route 10.7.0.0/16");

  nl_.FailOperations("add-route " + std::to_string(index_) + " 10.7.", 0);
  nl_.FailOperations("mtu", EINVAL);
  EXPECT_EQ(*Apply("MTU = 1280\n", ""),
            "mtu " + std::to_string(index_) + " 1280 failed: Invalid argument");
  EXPECT_EQ(Ops(), (Lines{"mtu 1280"}));

  // The link vanishing (its daemon died) makes Clear quiet, not noisy.
  notes_.clear();
  nl_.VanishLink("kelvo0");
  link_.Clear();
  EXPECT_TRUE(notes_.empty());
  EXPECT_TRUE(link_.applied_routes().empty());
  EXPECT_TRUE(link_.applied_addresses().empty());
  EXPECT_EQ(nl_.link("eth0")->routes.size(), 1u) << "someone else's route untouched";
}

// The default-table plan (its routes, rule order, blackhole for a missing
// IPv6 default) is pinned through the kernel operations of the full-tunnel
// test below; these are the file's other choices.
TEST(LinkPlanTest, DefaultRoutesTurnOnPolicyRoutingAsWgQuickDoes) {
  EXPECT_EQ(LinkPlan::FromConfiguration(Config("", "0.0.0.0/0")).fwmark, 51820u);
  // The file's mark and table; a named table takes every range.
  LinkPlan own = LinkPlan::FromConfiguration(
      Config("FwMark = 0x1234\nTable = 1000\n", "0.0.0.0/0, ::/0, 10.9.0.0/16"));
  EXPECT_EQ(own.fwmark, 0x1234u);
  EXPECT_TRUE(own.routes.empty());
  EXPECT_EQ(own.table_routes.size(), 3u);
  EXPECT_EQ(own.rules[0].ToString(), "-4 not fwmark 4660 table 1000");
  // The mark alone picks the table.
  EXPECT_EQ(LinkPlan::FromConfiguration(Config("FwMark = 77\n", "::/0")).rules[0].ToString(),
            "-4 not fwmark 77 table 77");

  // Off: nothing routed; main: no rules; no default route: as before.
  LinkPlan off = LinkPlan::FromConfiguration(Config("Table = off\n", "0.0.0.0/0, 10.9.0.0/16"));
  EXPECT_TRUE(off.routes.empty() && off.table_routes.empty() && off.rules.empty());
  LinkPlan main = LinkPlan::FromConfiguration(Config("Table = main\n", "0.0.0.0/0"));
  EXPECT_TRUE(main.rules.empty());
  EXPECT_EQ(main.table_routes[0].ToString(), "0.0.0.0/0 dev 0 table 254");
  LinkPlan split = LinkPlan::FromConfiguration(Config("", "10.9.0.0/16"));
  EXPECT_EQ(split.fwmark, std::nullopt);
  EXPECT_TRUE(split.rules.empty() && split.table_routes.empty());
}

TEST_F(LinkConfiguratorTest, FullTunnelStopRemovesExactlyWhatStartAdded) {
  FibRule foreign{AF_INET, 100, 7u, false, std::nullopt};
  nl_.AddForeignRule(foreign);
  ASSERT_EQ(Apply("Address = 10.100.0.2/32\n", "0.0.0.0/0, 10.9.0.0/16"), std::nullopt);
  EXPECT_EQ(Ops(), (Lines{"add-address 10.100.0.2/32", "up", "add-route 10.9.0.0/16",
                          "add-table-route 0.0.0.0/0 dev table 51820",
                          "add-table-route ::/0 blackhole table 51820", "src-valid-mark",
                          "add-rule -4 not fwmark 51820 table 51820",
                          "add-rule -4 table 254 suppress_prefixlength 0",
                          "add-rule -6 not fwmark 51820 table 51820",
                          "add-rule -6 table 254 suppress_prefixlength 0"}));

  // A repair with the same ranges touches no rule; a v6 default replaces
  // the blackhole.
  ASSERT_EQ(Apply("Address = 10.100.0.2/32\n", "0.0.0.0/0, ::/0, 10.9.0.0/16"), std::nullopt);
  EXPECT_EQ(Ops(), (Lines{"up", "remove-table-route ::/0 blackhole table 51820",
                          "add-table-route ::/0 dev table 51820", "src-valid-mark"}));

  nl_.ClearOperations();
  link_.Clear();
  EXPECT_EQ(Ops(), (Lines{"remove-rule -6 table 254 suppress_prefixlength 0",
                          "remove-rule -6 not fwmark 51820 table 51820",
                          "remove-rule -4 table 254 suppress_prefixlength 0",
                          "remove-rule -4 not fwmark 51820 table 51820",
                          "remove-table-route 0.0.0.0/0 dev table 51820",
                          "remove-table-route ::/0 dev table 51820", "remove-route 10.9.0.0/16",
                          "remove-address 10.100.0.2/32"}));
  EXPECT_EQ(nl_.rules(), (Lines{foreign.ToString()})) << "the host's rule stays";
  EXPECT_TRUE(notes_.empty()) << notes_[0];
}

TEST_F(LinkConfiguratorTest, ConflictsFailClosedAndLeftoversOfAKilledRunGo) {
  // Someone else's default route in the table we would use.
  TableRoute theirs{*NetPrefix::Parse("::/0"), 51820, 0, true};
  nl_.AddForeignTableRoute(theirs);
  auto error = Apply("Address = 10.100.0.2/32\n", "0.0.0.0/0");
  ASSERT_TRUE(error);
  EXPECT_EQ(*error, "add-table-route ::/0 blackhole table 51820 failed: File exists");
  EXPECT_TRUE(nl_.rules().empty()) << "no rule steers into a half-made table";
  link_.Clear();
  EXPECT_EQ(nl_.table_routes(), (Lines{theirs.ToString()})) << "nothing of ours is left";

  // A run killed before its stop leaves its rules and blackhole behind;
  // its routes out of the interface go with the interface.
  FakeNetlink other;
  FibRule foreign{AF_INET6, 254, std::nullopt, false, uint8_t{0}};
  other.AddForeignRule(foreign);
  const int dead = other.AddLink("kelvo0");
  LinkConfigurator killed(other, dead, [](bool, const std::string&) {});
  ASSERT_EQ(killed.Apply(LinkPlan::FromConfiguration(Config("", "0.0.0.0/0"))), std::nullopt);
  other.VanishLink("kelvo0");
  EXPECT_EQ(other.rules().size(), 5u);
  Lines notes;
  LinkConfigurator::RemoveLeftovers(other, 51820, [&](bool, const std::string& message) {
    notes.push_back(message);
  });
  EXPECT_EQ(other.rules(), (Lines{foreign.ToString()}));
  EXPECT_TRUE(other.table_routes().empty());
  EXPECT_EQ(notes.size(), 5u);
  EXPECT_EQ(notes.back(), "Removed a route an earlier run left: ::/0 blackhole table 51820");
}

TEST(ChooseMtuTest, UplinkTowardTheEndpointsMinusEighty) {
  FakeNetlink nl;
  const int eth0 = nl.AddLink("eth0"), eth1 = nl.AddLink("eth1");
  nl.SetMtu(eth0, 1280);
  nl.SetMtu(eth1, 9000);
  const NetPrefix a = *NetPrefix::Parse("192.0.2.1"), b = *NetPrefix::Parse("2001:db8::1"),
                  c = *NetPrefix::Parse("198.51.100.1");
  nl.SetRouteLookup(a, {eth0, 0});
  EXPECT_EQ(ChooseMtu(nl, {a}), 1200u);
  // A route's own MTU wins over its link's; the largest endpoint wins.
  nl.SetRouteLookup(b, {eth1, 1400});
  EXPECT_EQ(ChooseMtu(nl, {a, b}), 1320u);
  // No route known (or no endpoint at all): 1500 - 80.
  EXPECT_EQ(ChooseMtu(nl, {c}), 1420u);
  EXPECT_EQ(ChooseMtu(nl, {}), 1420u);
}

}  // namespace
}  // namespace kelvo
