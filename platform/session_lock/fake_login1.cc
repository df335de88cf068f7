#include "platform/session_lock/fake_login1.h"

#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstring>
#include <optional>

#include "platform/session_lock/protected_data_monitor.h"

namespace kelvo {
namespace {

constexpr int kAnnounceValue = 1;
constexpr int kAnnounceInvalidation = 2;
constexpr int kAnnounceUnrelated = 4;

struct Served {
  std::string id;
  std::string path;
  const std::atomic<bool>* locked;
};

int OnManager(sd_bus_message* m, void* userdata, sd_bus_error* error) {
  auto* s = static_cast<Served*>(userdata);
  if (!sd_bus_message_is_method_call(m, kLogindManagerInterface, "GetSession")) return 0;
  const char* id = nullptr;
  if (sd_bus_message_read(m, "s", &id) < 0) {
    return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "expected a session id");
  }
  if (s->id != id) {
    return sd_bus_error_setf(error, "org.freedesktop.login1.NoSuchSession",
                             "No session '%s' known", id);
  }
  return sd_bus_reply_method_return(m, "o", s->path.c_str());
}

int OnSession(sd_bus_message* m, void* userdata, sd_bus_error* error) {
  auto* s = static_cast<Served*>(userdata);
  if (!sd_bus_message_is_method_call(m, "org.freedesktop.DBus.Properties", "Get")) return 0;
  const char *interface = nullptr, *name = nullptr;
  if (sd_bus_message_read(m, "ss", &interface, &name) < 0) {
    return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "expected interface and name");
  }
  if (std::strcmp(interface, kLogindSessionInterface) == 0) {
    if (std::strcmp(name, "Id") == 0) return sd_bus_reply_method_return(m, "v", "s", s->id.c_str());
    if (std::strcmp(name, "LockedHint") == 0) {
      return sd_bus_reply_method_return(m, "v", "b", int(s->locked->load()));
    }
  }
  return sd_bus_error_setf(error, SD_BUS_ERROR_UNKNOWN_PROPERTY, "Unknown property %s", name);
}

}  // namespace

std::optional<std::string> FakeLogin1::Start(const std::string& bus_address,
                                             const std::string& session_id, bool locked) {
  session_id_ = session_id;
  locked_ = locked;
  char* path = nullptr;
  if (sd_bus_path_encode("/org/freedesktop/login1/session", session_id.c_str(), &path) < 0) {
    return "fake logind: cannot encode the session path";
  }
  session_path_ = path;
  ::free(path);
  sd_bus* bus = nullptr;
  int r = sd_bus_new(&bus);
  if (r >= 0) r = sd_bus_set_address(bus, bus_address.c_str());
  if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
  if (r >= 0) r = sd_bus_start(bus);
  if (r >= 0) r = sd_bus_request_name(bus, kLogindService, 0);
  if (r < 0) {
    sd_bus_flush_close_unref(bus);
    return std::string("fake logind: ") + std::strerror(-r);
  }
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  bus_ = bus;
  thread_ = std::thread([this] { Serve(); });
  return std::nullopt;
}

void FakeLogin1::Serve() {
  auto* bus = static_cast<sd_bus*>(bus_);
  Served served{session_id_, session_path_, &locked_};
  sd_bus_slot *manager = nullptr, *session = nullptr, *autosession = nullptr;
  sd_bus_add_object(bus, &manager, kLogindPath, OnManager, &served);
  sd_bus_add_object(bus, &session, session_path_.c_str(), OnSession, &served);
  sd_bus_add_object(bus, &autosession, kLogindAutoSessionPath, OnSession, &served);
  while (!stop_.load()) {
    int pending = pending_.exchange(0);
    if (pending & kAnnounceValue) {
      sd_bus_emit_signal(bus, session_path_.c_str(), "org.freedesktop.DBus.Properties",
                         "PropertiesChanged", "sa{sv}as", kLogindSessionInterface, 1,
                         "LockedHint", "b", int(locked_.load()), 0);
    }
    if (pending & kAnnounceInvalidation) {
      sd_bus_emit_signal(bus, session_path_.c_str(), "org.freedesktop.DBus.Properties",
                         "PropertiesChanged", "sa{sv}as", kLogindSessionInterface, 0, 1,
                         "LockedHint");
    }
    if (pending & kAnnounceUnrelated) {
      sd_bus_emit_signal(bus, session_path_.c_str(), "org.freedesktop.DBus.Properties",
                         "PropertiesChanged", "sa{sv}as", kLogindSessionInterface, 1,
                         "IdleHint", "b", 1, 0);
    }
    int r = sd_bus_process(bus, nullptr);
    if (r < 0) break;
    if (r > 0) continue;
    pollfd fds[2] = {{sd_bus_get_fd(bus), short(sd_bus_get_events(bus)), 0},
                     {wake_fd_, POLLIN, 0}};
    ::poll(fds, 2, 100);
    uint64_t drained = 0;
    [[maybe_unused]] ssize_t n = ::read(wake_fd_, &drained, sizeof drained);
  }
  sd_bus_slot_unref(manager);
  sd_bus_slot_unref(session);
  sd_bus_slot_unref(autosession);
  sd_bus_flush_close_unref(bus);
}

void FakeLogin1::Kick(int command) {
  pending_.fetch_or(command);
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

void FakeLogin1::SetLockedHint(bool locked, Announce how) {
  locked_ = locked;
  Kick(how == Announce::kValue ? kAnnounceValue : kAnnounceInvalidation);
}

void FakeLogin1::AnnounceUnrelatedChange() { Kick(kAnnounceUnrelated); }

std::string FakeLogin1::session_path() const { return session_path_; }

void FakeLogin1::Stop() {
  stop_ = true;
  if (thread_.joinable()) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
    thread_.join();
  }
  if (wake_fd_ >= 0) {
    ::close(wake_fd_);
    wake_fd_ = -1;
  }
}

FakeLogin1::~FakeLogin1() { Stop(); }

}  // namespace kelvo
