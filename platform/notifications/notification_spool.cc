#include "platform/notifications/notification_spool.h"

#include <dirent.h>
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/fs/files.h"

namespace kelvo {
namespace {

using Json = nlohmann::json;

constexpr unsigned kFolderMode = 02770;
constexpr unsigned kFileMode = 0660;
constexpr std::string_view kSuffix = ".json";
constexpr std::string_view kDefaultSound = "default";

bool IsSpoolFileName(std::string_view name) {
  return name.size() > kSuffix.size() && name.front() != '.' && name.ends_with(kSuffix);
}

std::string Dump(const Json& j) {
  // Replace rather than throw on bad UTF-8: the texts come from settings.
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The member `key` of `object` when it has the wanted kind, else nullptr.
template <typename Pred>
const Json* Member(const Json& object, const char* key, Pred is_kind) {
  auto it = object.find(key);
  if (it == object.end() || !is_kind(*it)) return nullptr;
  return &*it;
}

std::optional<std::string> EnsureSpoolFolders(const std::string& container, bool spool) {
  if (access(container.c_str(), F_OK) != 0) {
    return "the App Group container " + container + " does not exist: " + std::strerror(errno);
  }
  if (auto err = EnsureDirectory(NotificationsDir(container), kFolderMode)) return err;
  if (spool) return EnsureDirectory(NotificationSpoolDir(container), kFolderMode);
  return std::nullopt;
}

}  // namespace

std::string NotificationsDir(const std::string& container) {
  return container + "/notifications";
}
std::string NotificationSpoolDir(const std::string& container) {
  return container + "/notifications/spool";
}
std::string AuthorizationFilePath(const std::string& container) {
  return container + "/notifications/authorization.json";
}

std::string EncodeSpooledNotification(const SpooledNotification& n) {
  const NotificationRequest& r = n.request;
  Json j = {
      {"identifier", r.identifier},
      {"title", r.content.title},
      {"body", r.content.body},
      {"sound", r.content.sound_default ? Json(kDefaultSound) : Json(nullptr)},
      {"trigger_seconds", r.trigger_interval_seconds},
      {"repeats", r.repeats},
      {"created_at", n.created_at},
  };
  return Dump(j) + "\n";
}

std::optional<std::string> DecodeSpooledNotification(std::string_view text,
                                                     SpooledNotification* out) {
  Json j = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) return "not valid JSON";
  if (!j.is_object()) return "not a JSON object";

  auto is_string = [](const Json& v) { return v.is_string(); };
  auto is_number = [](const Json& v) { return v.is_number(); };
  auto is_bool = [](const Json& v) { return v.is_boolean(); };
  SpooledNotification n;
  for (auto [key, field] : {std::pair{"identifier", &n.request.identifier},
                            std::pair{"title", &n.request.content.title},
                            std::pair{"body", &n.request.content.body}}) {
    const Json* v = Member(j, key, is_string);
    if (!v) return std::string("\"") + key + "\" is missing or not a string";
    *field = v->get<std::string>();
  }
  const Json* sound = Member(j, "sound", [](const Json& v) { return v.is_string() || v.is_null(); });
  if (!sound) return "\"sound\" is missing or neither a string nor null";
  if (sound->is_string() && sound->get<std::string>() != kDefaultSound) {
    return "unknown sound \"" + sound->get<std::string>() + "\"";
  }
  n.request.content.sound_default = sound->is_string();
  const Json* trigger = Member(j, "trigger_seconds", is_number);
  if (!trigger) return "\"trigger_seconds\" is missing or not a number";
  n.request.trigger_interval_seconds = trigger->get<double>();
  const Json* repeats = Member(j, "repeats", is_bool);
  if (!repeats) return "\"repeats\" is missing or not a Boolean";
  n.request.repeats = repeats->get<bool>();
  const Json* created = Member(j, "created_at", is_number);
  if (!created) return "\"created_at\" is missing or not a number";
  n.created_at = created->get<double>();
  if (!std::isfinite(n.created_at)) return "\"created_at\" is not finite";
  if (auto err = ValidateNotificationRequest(n.request)) return err;
  *out = std::move(n);
  return std::nullopt;
}

std::optional<std::string> FitNotificationToSpool(SpooledNotification* notification,
                                                  std::string* cut) {
  static constexpr std::string_view kEllipsis = "…";
  auto fits = [&](const SpooledNotification& n) {
    return EncodeSpooledNotification(n).size() <= kMaxNotificationFileBytes;
  };
  if (fits(*notification)) return std::nullopt;
  const std::string body = std::move(notification->request.content.body);
  // Never split a character: step back over continuation bytes.
  auto boundary = [&](size_t k) {
    while (k > 0 && k < body.size() && (static_cast<unsigned char>(body[k]) & 0xC0) == 0x80) --k;
    return k;
  };
  auto fits_with = [&](size_t k) {
    notification->request.content.body = body.substr(0, boundary(k)).append(kEllipsis);
    return fits(*notification);
  };
  if (!fits_with(0)) {
    notification->request.content.body = body;
    return "the notification does not fit a spool file of " +
           std::to_string(kMaxNotificationFileBytes) + " bytes even without its body";
  }
  // Encoded text is never shorter than the raw bytes, so the answer lies
  // below the limit; fits_with grows no shorter as k grows.
  size_t lo = 0, hi = std::min(body.size(), kMaxNotificationFileBytes);
  while (lo < hi) {
    size_t mid = lo + (hi - lo + 1) / 2;
    if (fits_with(mid)) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  const size_t kept = boundary(lo);
  fits_with(kept);
  if (cut != nullptr) {
    *cut = "notification " + notification->request.identifier + ": body cut from " +
           std::to_string(body.size()) + " to " + std::to_string(kept) +
           " bytes at a character boundary, \"…\" added (" +
           std::to_string(body.size() - kept) + " bytes dropped) to fit the spool's " +
           std::to_string(kMaxNotificationFileBytes) + "-byte file limit";
  }
  return std::nullopt;
}

std::optional<std::string> SpoolNotification(const std::string& container,
                                             const SpooledNotification& notification,
                                             std::string* cut) {
  if (auto err = ValidateNotificationRequest(notification.request)) return err;
  SpooledNotification fitted = notification;
  if (auto err = FitNotificationToSpool(&fitted, cut)) return err;
  if (auto err = EnsureSpoolFolders(container, /*spool=*/true)) return err;
  return WriteFileAtomically(NotificationSpoolDir(container),
                             fitted.request.identifier + std::string(kSuffix),
                             EncodeSpooledNotification(fitted), kFileMode);
}

AuthorizationStatus ReadAuthorization(const std::string& container, std::string* problem) {
  std::string scratch;
  std::string& why = problem ? *problem : scratch;
  why.clear();
  std::string text;
  bool missing = false;
  if (auto err = ReadSmallFile(AuthorizationFilePath(container), kMaxNotificationFileBytes, &text,
                               &missing)) {
    if (!missing) why = *err;
    return AuthorizationStatus::notDetermined;
  }
  Json j = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  const Json* status = nullptr;
  if (!j.is_discarded() && j.is_object()) {
    status = Member(j, "status", [](const Json& v) { return v.is_number_integer(); });
  }
  if (!status) {
    why = "the permission file " + AuthorizationFilePath(container) +
          " holds no integer \"status\"";
    return AuthorizationStatus::notDetermined;
  }
  // Unsigned JSON integers above INT64_MAX would wrap; treat them as out of range.
  auto value = status->is_number_unsigned() && status->get<unsigned long long>() > 4
                   ? std::nullopt
                   : AuthorizationStatusFromInt(status->get<long long>());
  if (!value) {
    why = "the permission file " + AuthorizationFilePath(container) + " holds an unknown status " +
          status->dump();
    return AuthorizationStatus::notDetermined;
  }
  return *value;
}

std::optional<std::string> RecordAuthorization(const std::string& container,
                                               AuthorizationStatus status) {
  if (auto err = EnsureSpoolFolders(container, /*spool=*/false)) return err;
  Json j = {{"status", static_cast<int>(status)}};
  return WriteFileAtomically(NotificationsDir(container), "authorization.json", Dump(j) + "\n",
                             kFileMode);
}

SpoolReader::SpoolReader(std::string container) : container_(std::move(container)) {}

SpoolReader::Listing SpoolReader::Pending() const {
  Listing listing;
  const std::string dir = NotificationSpoolDir(container_);
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) {
    if (errno != ENOENT) {
      listing.error = "cannot list the notification spool " + dir + ": " + std::strerror(errno);
    }
    return listing;
  }
  std::vector<std::string> names;
  while (const struct dirent* e = ::readdir(d)) {
    if (IsSpoolFileName(e->d_name)) names.emplace_back(e->d_name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());

  for (std::string& name : names) {
    Entry entry;
    entry.file_name = std::move(name);
    std::string text;
    bool missing = false;
    if (auto err = ReadSmallFile(dir + "/" + entry.file_name, kMaxNotificationFileBytes, &text,
                                 &missing)) {
      if (missing) continue;  // removed since the listing
      entry.error = *err;
    } else {
      SpooledNotification n;
      if (auto bad = DecodeSpooledNotification(text, &n)) {
        entry.error = *bad;
      } else if (n.request.identifier + std::string(kSuffix) != entry.file_name) {
        entry.error = "identifier \"" + n.request.identifier + "\" does not match the file name";
      } else {
        entry.notification = std::move(n);
      }
    }
    listing.entries.push_back(std::move(entry));
  }
  return listing;
}

std::optional<std::string> SpoolReader::Remove(const std::string& file_name) const {
  if (!IsSpoolFileName(file_name) || file_name.find('/') != std::string::npos) {
    return "not a notification spool file name: \"" + file_name + "\"";
  }
  const std::string path = NotificationSpoolDir(container_) + "/" + file_name;
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    return "cannot remove " + path + ": " + std::strerror(errno);
  }
  return std::nullopt;
}

}  // namespace kelvo
