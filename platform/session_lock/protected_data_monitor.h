// Whether the user's protected data are available, and when that changes.
//
// On this desktop the protected data are available while the user's login
// session is unlocked. The real monitor asks systemd-logind over the system
// bus (DBUS_SYSTEM_BUS_ADDRESS, else the standard socket): the caller's
// session (XDG_SESSION_ID when set, else logind's "auto" session) and its
// LockedHint property, read once at Start and then followed through the
// session's PropertiesChanged signals.
//
// Contract:
// - Before Start, and whenever logind cannot be reached (no system bus, no
//   logind, no session for this process), the data count as available and
//   no event is ever sent. A bus connection lost while watching makes the
//   data available again (with a true event when they were not): without
//   logind nothing can say the session is locked.
// - Start reads the state synchronously (each bus call bounded, 2 s), so
//   IsProtectedDataAvailable is exact when Start returns. Only changes are
//   reported: `on_change(true)` after the session was unlocked (the data did
//   become available), `on_change(false)` when it is being locked (the data
//   will become unavailable). Start sends nothing for the initial state.
//
// Ownership: whoever makes a monitor owns it; dropping it stops it.
// Threading: IsProtectedDataAvailable may be called from any thread. Start
// and Stop come from one thread (the main queue). `on_change` runs on the
// main queue given at creation, and never after Stop has returned when
// Stop is called on that queue.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/dispatch.h"

namespace kelvo {

class ProtectedDataMonitor {
 public:
  using ChangeHandler = std::function<void(bool available)>;

  virtual ~ProtectedDataMonitor() = default;
  virtual bool IsProtectedDataAvailable() const = 0;
  // Starts watching; call once.
  virtual void Start(ChangeHandler on_change) = 0;
  // Stops watching for good. Idempotent.
  virtual void Stop() = 0;
};

inline constexpr const char* kLogindService = "org.freedesktop.login1";
inline constexpr const char* kLogindPath = "/org/freedesktop/login1";
inline constexpr const char* kLogindManagerInterface = "org.freedesktop.login1.Manager";
inline constexpr const char* kLogindSessionInterface = "org.freedesktop.login1.Session";
inline constexpr const char* kLogindAutoSessionPath = "/org/freedesktop/login1/session/auto";

struct LogindMonitorOptions {
  // Empty: the system bus. Else a bus address (tests serve a fake logind).
  std::string bus_address;
  // Empty: XDG_SESSION_ID, else logind's "auto" session of this process.
  std::string session_id;
  // Where the monitor says what it could not do.
  std::function<void(const std::string& line)> log;
};

// The monitor on logind, reporting on `main_queue`.
std::unique_ptr<ProtectedDataMonitor> MakeLogindProtectedDataMonitor(
    std::shared_ptr<Queue> main_queue, LogindMonitorOptions options = {});

}  // namespace kelvo
