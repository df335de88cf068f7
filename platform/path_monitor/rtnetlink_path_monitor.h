// The path monitor on rtnetlink: a route watch (route_watch.h) joins the
// link, address and route groups and reads the kernel's tables anew after
// each burst of notifications; whenever the links, the addresses or the
// default routes (IPv4 or IPv6: added, removed, or another gateway,
// interface or metric) differ from the last reading, the path computed
// from them (path_monitor.h) becomes the current path and the handler is
// called with it on the monitor's queue, even when the path itself is
// unchanged. Notifications that change none of these (a route that is not
// a default route, a repeated message) give no update.
//
// Start opens the watch and reads the first path on the calling thread, so
// the monitor watches the calling thread's network namespace, also when it
// later reopens the watch.
//
// A watch that breaks after Start (a socket error, a dump the kernel
// refuses) is logged and reopened on the monitor's queue; the tables are
// read again and, when they changed meanwhile, an update is reported. The
// first reopen is at once; each further attempt (a reopen that fails, or a
// reopened watch that breaks again) waits `retry_first`, then twice the
// last wait, up to `retry_longest`, each failure logged. A reopened watch
// that lasts `retry_longest` is sound: its break is reopened at once
// again. The path stays as it was while there is no watch. Cancel ends
// retrying.
//
// Ownership: the monitor owns its watch; Cancel (or destruction) stops the
// watch's thread and waits for it. Never cancel or destroy a monitor from
// within its own update handler's queue while another thread destroys it
// (one owner at a time).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/log/system_log.h"
#include "platform/path_monitor/interface_type.h"
#include "platform/path_monitor/path_monitor.h"
#include "platform/path_monitor/route_watch.h"

namespace kelvo {

struct RtNetlinkPathMonitorOptions {
  // Where the interfaces' device descriptions are read (interface_type.h).
  std::string sysfs_net = kSysClassNet;
  // How the rtnetlink watch reads bursts and dumps (route_watch.h).
  RtNetlinkRouteWatchOptions watch;
  // Waits between attempts to reopen a broken watch.
  std::chrono::milliseconds retry_first{1000};
  std::chrono::milliseconds retry_longest{60000};
  // Where watches come from; empty: rtnetlink in the namespace of the
  // thread that calls Start.
  RouteWatchOpener open_watch;
  std::shared_ptr<SystemLog> log;  // may be null: failures are then dropped
};

std::unique_ptr<PathMonitor> MakeRtNetlinkPathMonitor(RtNetlinkPathMonitorOptions options = {});

}  // namespace kelvo
