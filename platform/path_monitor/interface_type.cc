#include "platform/path_monitor/interface_type.h"

#include <net/if_arp.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string_view>

namespace kelvo {
namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool ReadFile(const std::string& path, std::string* out) {
  std::ifstream in(path);
  if (!in) return false;
  std::stringstream text;
  text << in.rdbuf();
  *out = text.str();
  return true;
}

bool HasLine(const std::string& text, std::string_view wanted) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line == wanted) return true;
  }
  return false;
}

}  // namespace

InterfaceType ClassifyInterface(const std::string& sysfs_net, const std::string& name, int index,
                                unsigned arphrd) {
  // A name with a slash or a dot-dot would read outside the link's folder;
  // the kernel allows neither, so such a name is not a real link.
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    return InterfaceType::kOther;
  }
  const std::string dir = sysfs_net + "/" + name;
  std::string ifindex;
  if (!ReadFile(dir + "/ifindex", &ifindex) || !HasLine(ifindex, std::to_string(index))) {
    return InterfaceType::kOther;
  }
  if (Exists(dir + "/wireless") || Exists(dir + "/phy80211")) return InterfaceType::kWifi;
  std::string uevent;
  if (ReadFile(dir + "/uevent", &uevent) && HasLine(uevent, "DEVTYPE=wwan")) {
    return InterfaceType::kCellular;
  }
  if (arphrd == ARPHRD_ETHER && Exists(dir + "/device")) return InterfaceType::kWiredEthernet;
  return InterfaceType::kOther;
}

}  // namespace kelvo
