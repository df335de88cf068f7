#include "host/user_notification_center.h"

#include <algorithm>
#include <set>
#include <vector>

#include "host/app_group.h"
#include "platform/notifications/notification_spool.h"

namespace kelvo {

std::shared_ptr<UserNotificationCenter> UserNotificationCenter::Create(
    Dispatch* dispatch, std::shared_ptr<UserDefaultsSystem> defaults,
    std::unique_ptr<DesktopNotifier> notifier, std::shared_ptr<SystemLog> log) {
  return std::shared_ptr<UserNotificationCenter>(
      new UserNotificationCenter(dispatch, defaults, std::move(notifier), std::move(log)));
}

UserNotificationCenter::UserNotificationCenter(Dispatch* dispatch,
                                               std::shared_ptr<UserDefaultsSystem> defaults,
                                               std::unique_ptr<DesktopNotifier> notifier,
                                               std::shared_ptr<SystemLog> log)
    : dispatch_(dispatch),
      defaults_(std::move(defaults)),
      queue_(dispatch->CreateSerialQueue("net.kelvo.app.notifications")),
      notifier_(std::move(notifier)),
      log_(std::move(log)),
      container_(defaults_->AppGroupContainer(kHostAppGroup).value_or("")) {}

void UserNotificationCenter::Start() {
  if (timer_) return;
  timer_ = dispatch_->CreateTimer(queue_);
  timer_->SetEventHandler([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->PollNow();
  });
  timer_->Schedule(Duration::zero(), kSpoolPollInterval, Duration::zero());
  timer_->Resume();
}

void UserNotificationCenter::Stop() {
  if (timer_) timer_->Cancel();
}

void UserNotificationCenter::RequestAuthorization(unsigned /*options*/, AuthorizationDone done) {
  queue_->Async([self = shared_from_this(), done = std::move(done)] {
    std::optional<std::string> unreachable = self->notifier_->CheckReachable();
    bool granted = !unreachable;
    if (unreachable) {
      self->log_->Notice(
          "notification permission denied: the desktop notification service "
          "cannot be reached (" +
          *unreachable + ")");
    }
    std::optional<std::string> error;
    if (auto container = OpenAppGroupContainer(self->defaults_.get())) {
      error = RecordAuthorization(
          *container, granted ? AuthorizationStatus::authorized : AuthorizationStatus::denied);
    } else {
      error = "the App Group container does not open";
    }
    if (error) self->log_->Error("cannot record the notification permission: " + *error);
    done(granted, error);
  });
}

PresentationOptions UserNotificationCenter::AskDelegate(const NotificationRequest& request) {
  UserNotificationCenterDelegate* delegate = delegate_.load();
  if (!delegate) return kPresentBanner | kPresentSound;
  auto answer = std::make_shared<std::optional<PresentationOptions>>();
  delegate->WillPresent(request, [answer](PresentationOptions options) {
    if (!*answer) *answer = options;
  });
  PresentationOptions options = answer->value_or(0);
  *answer = 0;  // a late answer changes nothing
  return options;
}

void UserNotificationCenter::PollNow() {
  if (container_.empty()) return;
  SpoolReader reader(container_);
  SpoolReader::Listing listing = reader.Pending();
  if (listing.error) {
    if (spool_error_ != listing.error)
      log_->Error("cannot read the notification spool: " + *listing.error);
    spool_error_ = listing.error;
    return;
  }
  spool_error_.reset();

  const double now = dispatch_->WallSeconds();
  std::set<std::string> present;
  std::vector<std::pair<const SpoolReader::Entry*, double>> due;
  for (const auto& entry : listing.entries) {
    present.insert(entry.file_name);
    if (!entry.notification) {
      log_->Error("dropping spooled notification " + entry.file_name + ": " + entry.error);
      reader.Remove(entry.file_name);
      continue;
    }
    auto next = next_due_.find(entry.file_name);
    double due_at =
        next != next_due_.end()
            ? next->second
            : entry.notification->created_at + entry.notification->request.trigger_interval_seconds;
    if (due_at <= now) due.emplace_back(&entry, due_at);
  }
  std::erase_if(next_due_, [&](const auto& kv) { return !present.contains(kv.first); });

  for (size_t i = 0; i < due.size(); ++i) {
    const auto& [entry, due_at] = due[i];
    const NotificationRequest& request = entry->notification->request;
    if (auto unreachable = Deliver(entry->file_name, request)) {
      if (!unreachable_) {
        log_->Error("the desktop notification service cannot be reached (" + *unreachable +
                    "): keeping " + std::to_string(due.size() - i) +
                    " notification(s) spooled until it answers");
      }
      unreachable_ = true;
      return;
    }
    Finish(entry->file_name, request, due_at);
  }
}

std::optional<std::string> UserNotificationCenter::Deliver(const std::string& file_name,
                                                           const NotificationRequest& request) {
  PresentationOptions options = AskDelegate(request);
  if (!(options & (kPresentBanner | kPresentAlert))) {
    log_->Info("notification " + request.identifier + " not presented (options " +
               std::to_string(options) + ")");
    return std::nullopt;
  }
  DesktopNotification shown{kNotificationAppName, request.content.title, request.content.body,
                            std::nullopt};
  if ((options & kPresentSound) && request.content.sound_default) {
    shown.sound_name = kNotificationSoundName;
  }
  NotifyOutcome outcome = notifier_->Notify(shown);
  if (!outcome.ok() && outcome.unreachable) return outcome.error;
  if (unreachable_) log_->Notice("the desktop notification service answers again");
  unreachable_ = false;
  if (outcome.ok()) {
    log_->Info("notification " + request.identifier + " shown");
  } else {
    log_->Error("notification " + request.identifier + " (" + file_name +
                ") refused by the desktop notification service: " + outcome.error);
  }
  return std::nullopt;
}

void UserNotificationCenter::Finish(const std::string& file_name,
                                    const NotificationRequest& request, double due_at) {
  if (request.repeats) {
    const double interval = request.trigger_interval_seconds;
    double next = due_at + interval;
    const double now = dispatch_->WallSeconds();
    if (next <= now) next = now + interval;  // missed rounds collapse into one
    next_due_[file_name] = next;
    return;
  }
  if (auto error = SpoolReader(container_).Remove(file_name)) {
    log_->Error("cannot remove delivered notification " + file_name + ": " + *error);
  }
}

}  // namespace kelvo
