// How notification requests and the permission travel between the tunnel
// extension and the host application, through the App Group container:
//
//   <container>/notifications/authorization.json   {"status": 0..4}
//       written by the host when the user answers the permission request
//   <container>/notifications/spool/<identifier>.json
//       one pending request, written by the extension, removed by the host
//       once delivered
//
// A spool file holds {"identifier", "title", "body", "sound" ("default" or
// null), "trigger_seconds", "repeats", "created_at" (seconds since 1970)}.
//
// Contract:
// - Files appear whole: each is written under a temporary name beginning
//   with '.' in the same folder, synced, then renamed. Readers ignore every
//   name that begins with '.' or does not end in ".json".
// - Folders are made with mode 02770 and files with 0660, so that the App
//   Group's group (the service and the user's session) share them.
// - Bad files never crash a reader: a malformed spool file is listed with
//   the reason it was rejected; a missing, unreadable or malformed
//   permission file reads as notDetermined.
// - Texts that are not valid UTF-8 are written with U+FFFD in place of the
//   bad bytes (JSON cannot carry them).
// Threading: free functions and SpoolReader hold no state between calls;
// concurrent writers and readers are safe (that is what the renames buy).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/notifications/notification_center.h"

namespace kelvo {

std::string NotificationsDir(const std::string& container);
std::string NotificationSpoolDir(const std::string& container);
std::string AuthorizationFilePath(const std::string& container);

// Larger files are rejected unread.
inline constexpr size_t kMaxNotificationFileBytes = 64 * 1024;

struct SpooledNotification {
  NotificationRequest request;
  double created_at = 0;  // seconds since 1970

  bool operator==(const SpooledNotification&) const = default;
};

std::string EncodeSpooledNotification(const SpooledNotification& notification);
// Fills `out` and returns nullopt, or returns why `text` is not a valid
// spool file (and leaves `out` alone).
std::optional<std::string> DecodeSpooledNotification(std::string_view text,
                                                     SpooledNotification* out);

// Makes `notification` fit a spool file: when its encoding is larger than
// kMaxNotificationFileBytes, the body is cut at a UTF-8 character boundary
// and "…" appended, keeping as much as fits. Sets `*cut` (if given) to a
// line saying what was cut, and leaves it alone when nothing was. Returns
// why it cannot fit even so (a title or identifier too long), or nullopt.
std::optional<std::string> FitNotificationToSpool(SpooledNotification* notification,
                                                  std::string* cut = nullptr);

// The extension's side: writes one validated request into the spool, its
// body cut to fit as FitNotificationToSpool does (`*cut` as there); an
// existing file of the same identifier is replaced. Returns the failure's
// description, or nullopt. The container must exist.
std::optional<std::string> SpoolNotification(const std::string& container,
                                             const SpooledNotification& notification,
                                             std::string* cut = nullptr);

// The permission the host recorded; notDetermined when there is none or it
// cannot be used, in which case `problem` (if given) says why, empty for a
// plain missing file.
AuthorizationStatus ReadAuthorization(const std::string& container, std::string* problem = nullptr);

// The host's side: records the user's answer. Returns the failure's
// description, or nullopt.
std::optional<std::string> RecordAuthorization(const std::string& container,
                                               AuthorizationStatus status);

// The host's view of the spool.
class SpoolReader {
 public:
  struct Entry {
    std::string file_name;  // "<identifier>.json"
    std::optional<SpooledNotification> notification;
    std::string error;  // why the file was rejected, when notification is empty
  };
  struct Listing {
    std::vector<Entry> entries;  // sorted by file name
    std::optional<std::string> error;  // the spool folder could not be read
  };

  explicit SpoolReader(std::string container);

  // Every pending file. A spool folder that does not exist yet is empty.
  Listing Pending() const;
  // Removes one pending file (delivered, or rejected and dealt with). A
  // file already gone is not an error; a name that is not a spool file's is.
  std::optional<std::string> Remove(const std::string& file_name) const;

 private:
  const std::string container_;
};

}  // namespace kelvo
