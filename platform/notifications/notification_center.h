// The user-notification centre: authorisation status and local notification
// requests, in the manner of the desktop platform's notification centre.
//
// The tunnel extension runs as a system service outside the user's desktop
// session, so it cannot show anything itself. The App Group centre
// (MakeAppGroupNotificationCenter) hands each request to the host
// application through the App Group container, and reads back the
// permission the host recorded; notification_spool.h has the file layout
// and the host's side.
//
// Contract:
// - Every callback runs exactly once, on the centre's queue (given at
//   creation), never on the calling thread; only a queue whose dispatch is
//   gone drops it.
// - Add reports failure as a description (the platform's "localised
//   description"); nullopt means the request was accepted. A rejected
//   request leaves nothing behind.
// - Requests are validated as the platform does: the identifier is a
//   non-empty name without '/' that does not start with '.'; the trigger
//   interval is greater than 0, and at least 60 seconds when repeating.
//
// Ownership: a centre holds its queue (shared). Work it has queued holds
// only copies of what it needs, so destroying the centre early is harmless:
// callbacks already queued still run.
// Threading: every method is thread-safe.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/dispatch.h"

namespace kelvo {

// The platform's integer values.
enum class AuthorizationStatus : int {
  notDetermined = 0,
  denied = 1,
  authorized = 2,
  provisional = 3,
  ephemeral = 4,
};

// The status for a recorded integer; nullopt outside 0...4.
std::optional<AuthorizationStatus> AuthorizationStatusFromInt(long long value);

struct NotificationContent {
  std::string title;
  std::string body;
  bool sound_default = false;  // the platform's default sound, else silent

  bool operator==(const NotificationContent&) const = default;
};

struct NotificationRequest {
  std::string identifier;
  NotificationContent content;
  double trigger_interval_seconds = 0;  // a time-interval trigger
  bool repeats = false;

  bool operator==(const NotificationRequest&) const = default;
};

// Why the platform would refuse `request` (see Contract), or nullopt.
std::optional<std::string> ValidateNotificationRequest(const NotificationRequest& request);

class NotificationCenter {
 public:
  using StatusCallback = std::function<void(AuthorizationStatus)>;
  using AddCallback = std::function<void(std::optional<std::string> error_description)>;

  virtual ~NotificationCenter() = default;
  virtual void GetAuthorizationStatus(StatusCallback done) = 0;
  virtual void Add(NotificationRequest request, AddCallback done) = 0;
};

// The centre backed by the App Group container directory `container`
// (<app group root>/<group>, see platform/defaults/user_defaults.h). The
// container must exist; the centre creates its own folders inside it.
// `wall_seconds` stamps each request (null: the system clock). A body too
// long for a spool file is cut to fit (see FitNotificationToSpool) and the
// request still added; `log` (may be null) then gets a line saying what was
// cut, on the centre's queue.
std::shared_ptr<NotificationCenter> MakeAppGroupNotificationCenter(
    std::string container, std::shared_ptr<Queue> queue,
    std::function<double()> wall_seconds = nullptr,
    std::function<void(const std::string&)> log = nullptr);

}  // namespace kelvo
