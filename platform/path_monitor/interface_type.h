// What kind of network interface a link is, from the kernel's description
// of the device under /sys/class/net/<name>:
// - Wi-Fi: the kernel marks it wireless (a "wireless" or "phy80211" entry);
// - cellular: its device type is wwan ("DEVTYPE=wwan" in "uevent");
// - wired Ethernet: an Ethernet link (ARPHRD_ETHER) backed by a physical
//   device (a "device" entry);
// - other: everything else (loopback, tunnels, bridges, veth and other
//   virtual links).
//
// The sysfs tree shows the links of the network namespace it was mounted
// for, which need not be the caller's. An entry is trusted only when its
// "ifindex" file names the link's own index; otherwise the link is "other".
//
// Threading: pure apart from reading files; safe from any thread.
#pragma once

#include <string>

#include "platform/path_monitor/path_monitor.h"

namespace kelvo {

inline constexpr const char* kSysClassNet = "/sys/class/net";

// `arphrd` is the link's hardware type (ifinfomsg.ifi_type).
InterfaceType ClassifyInterface(const std::string& sysfs_net, const std::string& name, int index,
                                unsigned arphrd);

}  // namespace kelvo
