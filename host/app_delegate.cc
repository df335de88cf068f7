#include "host/app_delegate.h"

#include "host/main_flutter_window.h"

namespace kelvo {

bool AppDelegate::ApplicationShouldTerminateAfterLastWindowClosed(Application&) { return false; }

bool AppDelegate::ApplicationShouldHandleReopen(Application& app, bool has_visible_windows) {
  if (has_visible_windows) return true;
  app.SetActivationPolicy(ActivationPolicy::kRegular);
  app.Activate(/*ignoring_other_apps=*/true);
  // After this call has returned, as the platform expects.
  app.main_queue()->Async([&app] {
    for (Window* window : app.windows()) {
      if (dynamic_cast<MainFlutterWindow*>(window)) window->MakeKeyAndOrderFront();
    }
  });
  return true;
}

bool AppDelegate::ApplicationSupportsSecureRestorableState(Application&) { return true; }

void AppDelegate::WillPresent(const NotificationRequest&,
                              std::function<void(PresentationOptions)> completion) {
  completion(kForegroundPresentation);
}

}  // namespace kelvo
