// The path monitor on rtnetlink: joins the link, address and route groups
// (RTMGRP_LINK, RTMGRP_IPV4_IFADDR, RTMGRP_IPV6_IFADDR, RTMGRP_IPV4_ROUTE,
// RTMGRP_IPV6_ROUTE) and, on its own thread, reads the kernel's tables anew
// after each burst of notifications; when the path computed from them
// (path_monitor.h) differs from the last one, it becomes the current path
// and the handler is called with it on the monitor's queue.
//
// Start opens the sockets and reads the first path on the calling thread,
// so the monitor watches the calling thread's network namespace.
//
// Failures after Start (a dump the kernel refuses, a broken socket) go to
// the log; the path then stays as it was until a later read succeeds.
//
// Ownership: the monitor owns its sockets and thread; Cancel (or
// destruction) stops the thread and waits for it. Never cancel or destroy
// a monitor from within its own update handler's queue while another thread
// destroys it (one owner at a time).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/log/system_log.h"
#include "platform/path_monitor/interface_type.h"
#include "platform/path_monitor/path_monitor.h"

namespace kelvo {

struct RtNetlinkPathMonitorOptions {
  // Where the interfaces' device descriptions are read (interface_type.h).
  std::string sysfs_net = kSysClassNet;
  // Quiet time that ends a burst: taking a link down sends several
  // notifications, and the path is read once after the last of them (a
  // burst is cut after ten such waits). Zero reads after every wake-up.
  std::chrono::milliseconds settle{20};
  // The longest wait for the kernel's answer to one table dump.
  std::chrono::milliseconds dump_timeout{5000};
  std::shared_ptr<SystemLog> log;  // may be null: failures are then dropped
};

std::unique_ptr<PathMonitor> MakeRtNetlinkPathMonitor(RtNetlinkPathMonitorOptions options = {});

}  // namespace kelvo
