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
  // Default routes in halves; host bits cleared; duplicates once; the
  // networks of our own addresses left to the kernel.
  EXPECT_EQ(Strings(plan.routes), (Lines{"0.0.0.0/1", "128.0.0.0/1", "::/1", "8000::/1",
                                         "10.9.0.0/16", "10.100.0.9/32"}));
  EXPECT_EQ(plan.mtu, 1380u);
  EXPECT_EQ(LinkPlan::FromConfiguration(Config("", "")).mtu, std::nullopt);
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
      auto at = line.find(index);
      if (at != std::string::npos) line.erase(at, index.size());
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
  ASSERT_EQ(Apply("Address = 10.100.0.2/32, fd00::2/128\nMTU = 1380\n", "10.100.0.1/32, 0.0.0.0/0"),
            std::nullopt);
  EXPECT_EQ(Ops(),
            (Lines{"mtu 1380", "add-address 10.100.0.2/32", "add-address fd00::2/128", "up",
                   "add-route 10.100.0.1/32", "add-route 0.0.0.0/1", "add-route 128.0.0.0/1"}));
  EXPECT_TRUE(nl_.link("kelvo0")->up);

  // New tunnel address and server, default route kept; no MTU: left alone.
  ASSERT_EQ(Apply("Address = 10.100.1.2/32, fd00::2/128\n", "10.100.1.1/32, 0.0.0.0/0"),
            std::nullopt);
  EXPECT_EQ(Ops(), (Lines{"add-address 10.100.1.2/32", "up", "add-route 10.100.1.1/32",
                          "remove-route 10.100.0.1/32", "remove-address 10.100.0.2/32"}));
  EXPECT_EQ(Kernel(false), (Lines{"10.100.1.2/32", "fd00::2/128"}));
  EXPECT_EQ(Kernel(true), (Lines{"0.0.0.0/1", "10.100.1.1/32", "128.0.0.0/1"}));
  EXPECT_EQ(nl_.link("kelvo0")->mtu, 1380u);

  // The same configuration again changes nothing.
  ASSERT_EQ(Apply("Address = 10.100.1.2/32, fd00::2/128\n", "10.100.1.1/32, 0.0.0.0/0"),
            std::nullopt);
  EXPECT_EQ(Ops(), (Lines{"up"}));

  nl_.ClearOperations();
  link_.Clear();
  EXPECT_EQ(Ops(), (Lines{"remove-route 0.0.0.0/1", "remove-route 128.0.0.0/1",
                          "remove-route 10.100.1.1/32", "remove-address fd00::2/128",
                          "remove-address 10.100.1.2/32"}));
  EXPECT_TRUE(Kernel(false).empty());
  EXPECT_TRUE(Kernel(true).empty());
  EXPECT_TRUE(notes_.empty()) << notes_[0];
}

TEST_F(LinkConfiguratorTest, ForeignRoutesAreLeftAndFailuresStopTheApply) {
  nl_.AddRoute(nl_.AddLink("eth0"), *NetPrefix::Parse("10.9.0.0/16"));
  ASSERT_EQ(Apply("Address = 10.100.0.2/32\n", "10.9.0.0/16, 10.8.0.0/16"), std::nullopt);
  EXPECT_EQ(notes_, (Lines{"error: Route 10.9.0.0/16 already exists; left as it is"}));
  EXPECT_EQ(Strings(link_.applied_routes()), (Lines{"10.8.0.0/16"}));

  // A failing add stops there with the kernel's error; what was applied
  // before stays known, so Clear still removes it.
  nl_.FailOperations("add-route " + std::to_string(index_) + " 10.7.", EPERM);
  auto error = Apply("Address = 10.100.0.2/32\n", "10.8.0.0/16, 10.7.0.0/16, 10.6.0.0/16");
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

}  // namespace
}  // namespace kelvo
