// The desktop notification service (org.freedesktop.Notifications on the
// user's session bus): how the host shows a notification on this desktop.
//
// Contract:
// - Notify shows one notification and gives the service's id for it, or a
//   failure that says whether the service could not be reached at all
//   (no bus, no service, the call timed out: try again later) or refused
//   this one notification (do not retry it).
// - CheckReachable asks the service for its server information; nullopt
//   means it answered.
// - Calls block for at most the notifier's call timeout.
// Threading: a notifier is used by one thread at a time (a serial queue);
// it may move between threads. The fake is safe from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kelvo {

struct DesktopNotification {
  std::string app_name;
  std::string summary;
  std::string body;
  // The "sound-name" hint (a freedesktop sound theme name); without one the
  // notification carries "suppress-sound" = true.
  std::optional<std::string> sound_name;

  bool operator==(const DesktopNotification&) const = default;
};

struct NotifyOutcome {
  std::optional<uint32_t> id;  // set on success
  bool unreachable = false;    // on failure: the service could not be reached
  std::string error;           // on failure: why

  bool ok() const { return id.has_value(); }
};

class DesktopNotifier {
 public:
  virtual ~DesktopNotifier() = default;
  virtual NotifyOutcome Notify(const DesktopNotification& notification) = 0;
  virtual std::optional<std::string> CheckReachable() = 0;
};

inline constexpr const char* kNotificationsService = "org.freedesktop.Notifications";
inline constexpr const char* kNotificationsPath = "/org/freedesktop/Notifications";
inline constexpr const char* kNotificationsInterface = "org.freedesktop.Notifications";

// The notifier on the user's session bus (DBUS_SESSION_BUS_ADDRESS, else
// $XDG_RUNTIME_DIR/bus), through sd-bus. It connects on first use and
// again after the connection is lost. Each call waits at most 5 seconds.
std::unique_ptr<DesktopNotifier> MakeSessionBusNotifier();

}  // namespace kelvo
