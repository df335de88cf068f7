// The host's user-notification centre. On this desktop the host is the one
// that shows notifications: the tunnel extension runs as a system service
// outside the user's session and leaves its requests in the App Group
// spool (platform/notifications/notification_spool.h); the host's own
// requests take the same road (MakeAppGroupNotificationCenter on the same
// container). The centre delivers them to the desktop notification service
// (platform/desktop_notify) and records the user's permission where the
// extension reads it.
//
// Delivery: every 2 seconds the centre lists the spool. A request is due
// once its trigger interval has passed since it was created; a due request
// is offered to the delegate (willPresent), whose presentation options
// decide: with banner (or alert) it is shown with app name "Kelvo", summary
// = title, body, and the "sound-name" hint "message-new-instant" when the
// options include sound and the request has the default sound (else
// "suppress-sound"). Without a delegate the system's own presentation
// (banner and sound) applies. A shown request leaves the spool (a repeating
// one stays and comes again every interval, counted from its last due
// time). A request refused by the service, or not presented, leaves the
// spool with a log line; a malformed spool file is removed with a log line.
// While the service cannot be reached nothing leaves the spool; the log
// says so once, and once more when the service answers again.
//
// Permission: RequestAuthorization grants when the notification service is
// reachable, and records authorized (2), else denied (1), in the App Group
// container.
//
// Threading: the spool, the D-Bus calls and the permission work run on the
// centre's own serial queue, so the main queue never waits on the bus.
// SetDelegate and the public calls are safe from any thread; the delegate
// is called on the centre's queue and must outlive the centre's Stop().
// Ownership: shared; the timer holds the centre weakly.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/defaults/user_defaults.h"
#include "platform/desktop_notify/desktop_notifier.h"
#include "platform/dispatch/dispatch.h"
#include "platform/log/system_log.h"
#include "platform/notifications/notification_center.h"

namespace kelvo {

// The platform's presentation option values.
enum PresentationOption : unsigned {
  kPresentBadge = 1,
  kPresentSound = 2,
  kPresentAlert = 4,
  kPresentList = 8,
  kPresentBanner = 16,
};
using PresentationOptions = unsigned;

// The platform's authorisation option values.
enum AuthorizationOption : unsigned {
  kAuthorizeBadge = 1,
  kAuthorizeSound = 2,
  kAuthorizeAlert = 4,
};

class UserNotificationCenterDelegate {
 public:
  virtual ~UserNotificationCenterDelegate() = default;
  // Answers how to present `request` while the application is in front,
  // by calling `completion` before returning (a later answer is ignored
  // and the request is not presented).
  virtual void WillPresent(const NotificationRequest& request,
                           std::function<void(PresentationOptions)> completion) = 0;
};

inline constexpr const char* kNotificationAppName = "Kelvo";
inline constexpr const char* kNotificationSoundName = "message-new-instant";
inline constexpr Duration kSpoolPollInterval = std::chrono::seconds(2);

class UserNotificationCenter : public std::enable_shared_from_this<UserNotificationCenter> {
 public:
  static std::shared_ptr<UserNotificationCenter> Create(
      Dispatch* dispatch, std::shared_ptr<UserDefaultsSystem> defaults,
      std::unique_ptr<DesktopNotifier> notifier, std::shared_ptr<SystemLog> log);

  // Starts the spool poll (a first poll at once). Stop ends it for good.
  void Start();
  void Stop();

  void SetDelegate(UserNotificationCenterDelegate* delegate) { delegate_ = delegate; }
  UserNotificationCenterDelegate* delegate() const { return delegate_; }

  // `done` runs on the centre's queue with the granted flag and the
  // recording's failure, if any.
  using AuthorizationDone = std::function<void(bool granted, std::optional<std::string> error)>;
  void RequestAuthorization(unsigned options, AuthorizationDone done);

  // One poll, as the timer runs it; for tests (call on the centre's queue,
  // or with a virtual dispatch).
  void PollNow();

 private:
  UserNotificationCenter(Dispatch* dispatch, std::shared_ptr<UserDefaultsSystem> defaults,
                         std::unique_ptr<DesktopNotifier> notifier, std::shared_ptr<SystemLog> log);
  PresentationOptions AskDelegate(const NotificationRequest& request);
  // Shows one due request; why not when the service cannot be reached.
  std::optional<std::string> Deliver(const std::string& file_name,
                                     const NotificationRequest& request);
  void Finish(const std::string& file_name, const NotificationRequest& request, double due_at);

  Dispatch* dispatch_;
  std::shared_ptr<UserDefaultsSystem> defaults_;
  std::shared_ptr<Queue> queue_;
  std::shared_ptr<TimerSource> timer_;
  std::unique_ptr<DesktopNotifier> notifier_;
  std::shared_ptr<SystemLog> log_;
  std::atomic<UserNotificationCenterDelegate*> delegate_{nullptr};
  // Queue state.
  std::string container_;
  std::map<std::string, double> next_due_;  // repeating requests, by file name
  bool unreachable_ = false;
  std::optional<std::string> spool_error_;
};

}  // namespace kelvo
