// The desktop notifier on the session bus, through sd-bus.
#include <systemd/sd-bus.h>

#include <cstring>
#include <memory>
#include <string_view>

#include "platform/desktop_notify/desktop_notifier.h"

namespace kelvo {
namespace {

constexpr uint64_t kCallTimeoutUsec = 5'000'000;

struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// Owns an sd_bus_error for the length of one call.
struct BusError {
  sd_bus_error e{};  // SD_BUS_ERROR_NULL, without the C compound literal
  ~BusError() { sd_bus_error_free(&e); }
};

std::string Describe(const sd_bus_error& e, int r) {
  if (e.message && *e.message) return e.message;
  if (e.name && *e.name) return e.name;
  return std::strerror(r < 0 ? -r : r);
}

// Errors that mean "nobody answered": the service may come back later.
bool MeansUnreachable(const sd_bus_error& e) {
  if (!sd_bus_error_is_set(&e)) return true;  // a transport failure
  std::string_view name = e.name;
  for (std::string_view n :
       {SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER, SD_BUS_ERROR_NO_REPLY,
        SD_BUS_ERROR_TIMEOUT, "org.freedesktop.DBus.Error.TimedOut", SD_BUS_ERROR_DISCONNECTED,
        SD_BUS_ERROR_NO_SERVER, SD_BUS_ERROR_UNKNOWN_OBJECT}) {
    if (name == n) return true;
  }
  return name.starts_with("org.freedesktop.DBus.Error.Spawn.");
}

class SessionBusNotifier : public DesktopNotifier {
 public:
  ~SessionBusNotifier() override { Drop(); }

  NotifyOutcome Notify(const DesktopNotification& n) override {
    if (auto error = Connect()) return {std::nullopt, true, *error};
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus_, &raw, kNotificationsService, kNotificationsPath,
                                           kNotificationsInterface, "Notify");
    MessagePtr m(raw);
    if (r >= 0) {
      r = sd_bus_message_append(m.get(), "susssas", n.app_name.c_str(), uint32_t{0}, "",
                                n.summary.c_str(), n.body.c_str(), 0);
    }
    if (r >= 0) r = sd_bus_message_open_container(m.get(), 'a', "{sv}");
    if (r >= 0) {
      r = n.sound_name
              ? sd_bus_message_append(m.get(), "{sv}", "sound-name", "s", n.sound_name->c_str())
              : sd_bus_message_append(m.get(), "{sv}", "suppress-sound", "b", 1);
    }
    if (r >= 0) r = sd_bus_message_close_container(m.get());
    if (r >= 0) r = sd_bus_message_append(m.get(), "i", int32_t{-1});
    if (r < 0) {
      // Building failed: the texts cannot travel (not UTF-8, say).
      return {std::nullopt, false, std::string("cannot build the request: ") + std::strerror(-r)};
    }
    BusError error;
    sd_bus_message* reply_raw = nullptr;
    r = sd_bus_call(bus_, m.get(), 0, &error.e, &reply_raw);
    MessagePtr reply(reply_raw);
    if (r < 0) return Failed(error.e, r);
    uint32_t id = 0;
    r = sd_bus_message_read(reply.get(), "u", &id);
    if (r < 0) return {std::nullopt, false, "the service's reply carries no id"};
    return {id, false, ""};
  }

  std::optional<std::string> CheckReachable() override {
    if (auto error = Connect()) return error;
    BusError error;
    sd_bus_message* reply_raw = nullptr;
    int r =
        sd_bus_call_method(bus_, kNotificationsService, kNotificationsPath, kNotificationsInterface,
                           "GetServerInformation", &error.e, &reply_raw, "");
    MessagePtr reply(reply_raw);
    if (r < 0) return Failed(error.e, r).error;
    return std::nullopt;
  }

 private:
  std::optional<std::string> Connect() {
    if (bus_ && sd_bus_is_open(bus_) > 0) return std::nullopt;
    Drop();
    sd_bus* bus = nullptr;
    int r = sd_bus_open_user(&bus);
    if (r < 0) {
      return std::string("cannot connect to the session bus: ") + std::strerror(-r);
    }
    sd_bus_set_method_call_timeout(bus, kCallTimeoutUsec);
    bus_ = bus;
    return std::nullopt;
  }

  NotifyOutcome Failed(const sd_bus_error& e, int r) {
    bool unreachable = MeansUnreachable(e);
    std::string why = Describe(e, r);
    if (unreachable) Drop();  // start afresh next time
    return {std::nullopt, unreachable, why};
  }

  void Drop() {
    if (bus_) bus_ = sd_bus_flush_close_unref(bus_);
  }

  sd_bus* bus_ = nullptr;
};

}  // namespace

std::unique_ptr<DesktopNotifier> MakeSessionBusNotifier() {
  return std::make_unique<SessionBusNotifier>();
}

}  // namespace kelvo
