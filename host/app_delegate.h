// The application delegate: keeps the application running when its last
// window closes, shows the main window again when the user reopens the
// application, and has notifications shown (banner and sound) while the
// application is in front. No state of its own.
// Threading: the application calls it on the main queue; the notification
// centre calls WillPresent on its own queue (it touches no state).
#pragma once

#include "host/application.h"
#include "host/user_notification_center.h"

namespace kelvo {

// Sound and banner: the option set 2 | 16.
inline constexpr PresentationOptions kForegroundPresentation = kPresentSound | kPresentBanner;

class AppDelegate : public ApplicationDelegate, public UserNotificationCenterDelegate {
 public:
  bool ApplicationShouldTerminateAfterLastWindowClosed(Application& app) override;
  // With visible windows: nothing. Otherwise the regular activation policy,
  // activation ignoring other applications, and a main-queue item that
  // brings every main window to the front as key. True either way.
  bool ApplicationShouldHandleReopen(Application& app, bool has_visible_windows) override;
  bool ApplicationSupportsSecureRestorableState(Application& app) override;

  void WillPresent(const NotificationRequest& request,
                   std::function<void(PresentationOptions)> completion) override;
};

}  // namespace kelvo
