// The rules that make a path out of the kernel's links and routes, and the
// interface types read from a sysfs tree built in a temporary directory.
#include <gtest/gtest.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <linux/rtnetlink.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>

#include "platform/path_monitor/interface_type.h"
#include "platform/path_monitor/net_snapshot.h"

namespace kelvo {
namespace {

namespace fs = std::filesystem;

class SysfsTree {
 public:
  SysfsTree() {
    std::string pattern = fs::temp_directory_path().string() + "/kelvo-sysfs-XXXXXX";
    root_ = mkdtemp(pattern.data()) ? pattern : "";
  }
  ~SysfsTree() {
    std::error_code ignored;
    if (!root_.empty()) fs::remove_all(root_, ignored);
  }
  const std::string& root() const { return root_; }

  // A link folder with its "ifindex" file.
  std::string Link(const std::string& name, int index) {
    std::string dir = root_ + "/" + name;
    fs::create_directories(dir);
    Write(name + "/ifindex", std::to_string(index) + "\n");
    return dir;
  }
  void Write(const std::string& relative, const std::string& text) {
    std::ofstream(root_ + "/" + relative) << text;
  }
  void Dir(const std::string& relative) { fs::create_directories(root_ + "/" + relative); }
  // sysfs's "device" and "phy80211" entries are symbolic links.
  void Symlink(const std::string& relative) {
    fs::create_directory_symlink(root_, root_ + "/" + relative);
  }

 private:
  std::string root_;
};

TEST(InterfaceTypeTest, KernelDescriptionGivesTheType) {
  SysfsTree sys;
  ASSERT_FALSE(sys.root().empty());
  sys.Link("wlan0", 3);
  sys.Dir("wlan0/wireless");
  sys.Symlink("wlan0/device");
  sys.Link("wlp2s0", 4);
  sys.Symlink("wlp2s0/phy80211");
  sys.Link("wwan0", 5);
  sys.Write("wwan0/uevent", "INTERFACE=wwan0\nIFINDEX=5\nDEVTYPE=wwan\n");
  sys.Symlink("wwan0/device");
  sys.Link("eth0", 2);
  sys.Symlink("eth0/device");
  sys.Write("eth0/uevent", "INTERFACE=eth0\nIFINDEX=2\n");
  sys.Link("veth0", 6);  // virtual: no device behind it
  sys.Link("almost", 7);
  sys.Write("almost/uevent", "DEVTYPE=wwanx\n");

  auto type = [&](const std::string& name, int index, unsigned arphrd = ARPHRD_ETHER) {
    return ClassifyInterface(sys.root(), name, index, arphrd);
  };
  EXPECT_EQ(type("wlan0", 3), InterfaceType::kWifi);
  EXPECT_EQ(type("wlp2s0", 4), InterfaceType::kWifi);
  EXPECT_EQ(type("wwan0", 5, ARPHRD_NONE), InterfaceType::kCellular);
  EXPECT_EQ(type("wwan0", 5), InterfaceType::kCellular);  // cellular before Ethernet
  EXPECT_EQ(type("eth0", 2), InterfaceType::kWiredEthernet);
  EXPECT_EQ(type("eth0", 2, ARPHRD_INFINIBAND), InterfaceType::kOther);
  EXPECT_EQ(type("veth0", 6), InterfaceType::kOther);
  EXPECT_EQ(type("almost", 7), InterfaceType::kOther);
  // Entries are trusted only for the link they belong to: the same name in
  // another namespace has another index.
  EXPECT_EQ(type("eth0", 9), InterfaceType::kOther);
  EXPECT_EQ(type("missing", 2), InterfaceType::kOther);
  EXPECT_EQ(type("", 2), InterfaceType::kOther);
  EXPECT_EQ(type("../" + fs::path(sys.root()).filename().string() + "/eth0", 2),
            InterfaceType::kOther);
}

constexpr unsigned kUp = IFF_UP | IFF_RUNNING;

InterfaceType TypeByName(const LinkInfo& link) {
  if (link.name.rfind("wl", 0) == 0) return InterfaceType::kWifi;
  if (link.name.rfind("eth", 0) == 0) return InterfaceType::kWiredEthernet;
  return InterfaceType::kOther;
}

// Default routes out of the links with these indexes.
std::set<DefaultRoute> RoutesVia(std::initializer_list<int> links) {
  std::set<DefaultRoute> routes;
  for (int link : links) routes.insert({AF_INET, RT_TABLE_MAIN, link, "", 0});
  return routes;
}

TEST(ComputePathTest, RunningLinksWithADefaultRouteMakeThePath) {
  NetSnapshot s;
  s.links = {{1, "lo", kUp | IFF_LOOPBACK, ARPHRD_LOOPBACK},
             {7, "wg0", kUp, ARPHRD_NONE},
             {3, "wlan0", kUp, ARPHRD_ETHER},
             {2, "eth0", kUp, ARPHRD_ETHER},
             {4, "eth1", IFF_UP, ARPHRD_ETHER},        // no carrier
             {5, "eth2", IFF_RUNNING, ARPHRD_ETHER},   // administratively down
             {6, "eth3", kUp, ARPHRD_ETHER}};          // no default route
  s.default_routes = RoutesVia({2, 3, 4, 5, 7, 42});  // 42: a link that is gone
  // An IPv6 route out of a link already in the path adds nothing.
  s.default_routes.insert({AF_INET6, RT_TABLE_MAIN, 2, "", 1024});
  Path path = ComputePath(s, TypeByName);
  EXPECT_EQ(path.status, PathStatus::kSatisfied);
  EXPECT_EQ(path.DebugString(), "satisfied eth0(2,wiredEthernet) wlan0(3,wifi) wg0(7,other)");
  EXPECT_TRUE(path.UsesInterfaceType(InterfaceType::kWifi));
  EXPECT_TRUE(path.UsesInterfaceType(InterfaceType::kOther));
  EXPECT_FALSE(path.UsesInterfaceType(InterfaceType::kCellular));

  s.default_routes = RoutesVia({4, 5, 42});  // no carrier, down, gone
  EXPECT_EQ(ComputePath(s, TypeByName), Path());
}

}  // namespace
}  // namespace kelvo
