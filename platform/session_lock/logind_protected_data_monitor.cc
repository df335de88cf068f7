// The protected-data monitor on systemd-logind, through sd-bus. One thread
// of its own runs the bus after Start; the state is an atomic flag, and
// changes hop to the main queue.
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <thread>

#include "platform/session_lock/protected_data_monitor.h"

namespace kelvo {
namespace {

constexpr uint64_t kCallTimeoutUsec = 2'000'000;
constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char* kLockedHint = "LockedHint";

struct BusError {
  sd_bus_error e{};
  ~BusError() { sd_bus_error_free(&e); }
};

struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

std::string Describe(const sd_bus_error& e, int r) {
  if (e.message && *e.message) return e.message;
  if (e.name && *e.name) return e.name;
  return std::strerror(r < 0 ? -r : r);
}

// What the bus thread and queued main-queue work share; outlives both.
struct SharedState : std::enable_shared_from_this<SharedState> {
  std::shared_ptr<Queue> main;
  ProtectedDataMonitor::ChangeHandler handler;
  std::atomic<bool> available{true};
  std::atomic<bool> stopped{false};

  void Report(bool now_available) {
    if (available.exchange(now_available) == now_available) return;
    main->Async([self = shared_from_this(), now_available] {
      if (!self->stopped.load() && self->handler) self->handler(now_available);
    });
  }
};

class LogindMonitor final : public ProtectedDataMonitor {
 public:
  LogindMonitor(std::shared_ptr<Queue> main, LogindMonitorOptions options)
      : options_(std::move(options)), shared_(std::make_shared<SharedState>()) {
    shared_->main = std::move(main);
  }
  ~LogindMonitor() override { Stop(); }

  bool IsProtectedDataAvailable() const override { return shared_->available.load(); }

  void Start(ChangeHandler on_change) override {
    if (started_) return;
    started_ = true;
    shared_->handler = std::move(on_change);
    if (std::optional<std::string> why = Connect()) {
      Log("logind is not reachable (" + *why + "); protected data count as available");
      Drop();
      return;
    }
    stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_fd_ < 0) {
      Log(std::string("cannot watch the session's lock state: ") + std::strerror(errno));
      Drop();
      shared_->available = true;
      return;
    }
    thread_ = std::thread([this] { Loop(); });
  }

  void Stop() override {
    shared_->stopped = true;
    if (thread_.joinable()) {
      uint64_t one = 1;
      [[maybe_unused]] ssize_t n = ::write(stop_fd_, &one, sizeof one);
      thread_.join();
    }
    Drop();
    if (stop_fd_ >= 0) {
      ::close(stop_fd_);
      stop_fd_ = -1;
    }
  }

 private:
  void Log(const std::string& line) {
    if (options_.log) options_.log(line);
  }

  // Opens the bus, finds the session, subscribes and reads the state.
  // Returns why it could not.
  std::optional<std::string> Connect() {
    int r = 0;
    if (options_.bus_address.empty()) {
      r = sd_bus_open_system(&bus_);
    } else {
      r = sd_bus_new(&bus_);
      if (r >= 0) r = sd_bus_set_address(bus_, options_.bus_address.c_str());
      if (r >= 0) r = sd_bus_set_bus_client(bus_, 1);
      if (r >= 0) r = sd_bus_start(bus_);
    }
    if (r < 0) return std::string("no system bus: ") + std::strerror(-r);
    sd_bus_set_method_call_timeout(bus_, kCallTimeoutUsec);

    std::string id = options_.session_id;
    if (id.empty()) {
      const char* env = ::getenv("XDG_SESSION_ID");
      if (env) id = env;
    }
    BusError error;
    if (id.empty()) {
      char* auto_id = nullptr;
      r = sd_bus_get_property_string(bus_, kLogindService, kLogindAutoSessionPath,
                                     kLogindSessionInterface, "Id", &error.e, &auto_id);
      if (r < 0) return "no session for this process: " + Describe(error.e, r);
      id = auto_id;
      ::free(auto_id);
    }
    sd_bus_message* reply_raw = nullptr;
    r = sd_bus_call_method(bus_, kLogindService, kLogindPath, kLogindManagerInterface,
                           "GetSession", &error.e, &reply_raw, "s", id.c_str());
    MessagePtr reply(reply_raw);
    if (r < 0) return "no session " + id + ": " + Describe(error.e, r);
    const char* path = nullptr;
    if (sd_bus_message_read(reply.get(), "o", &path) < 0) return "logind gave no session path";
    session_path_ = path;

    // Subscribe before reading, so no change falls between the two. Only
    // logind's own signals count: the bus checks the sender.
    r = sd_bus_match_signal(bus_, &slot_, kLogindService, session_path_.c_str(),
                            kPropertiesInterface, "PropertiesChanged", &OnPropertiesChanged, this);
    if (r < 0) return std::string("cannot subscribe to the session: ") + std::strerror(-r);
    std::optional<bool> locked = ReadLockedHint(&error.e, &r);
    if (!locked) return "cannot read LockedHint: " + Describe(error.e, r);
    shared_->available = !*locked;
    return std::nullopt;
  }

  std::optional<bool> ReadLockedHint(sd_bus_error* error, int* r) {
    int locked = 0;
    *r = sd_bus_get_property_trivial(bus_, kLogindService, session_path_.c_str(),
                                     kLogindSessionInterface, kLockedHint, error, 'b', &locked);
    if (*r < 0) return std::nullopt;
    return locked != 0;
  }

  static int OnPropertiesChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    static_cast<LogindMonitor*>(userdata)->PropertiesChanged(m);
    return 0;
  }

  // "sa{sv}as": the interface, changed values, invalidated names.
  void PropertiesChanged(sd_bus_message* m) {
    const char* interface = nullptr;
    if (sd_bus_message_read(m, "s", &interface) < 0) return;
    if (std::strcmp(interface, kLogindSessionInterface) != 0) return;
    std::optional<bool> locked;
    bool invalidated = false;
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return;
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
      const char* name = nullptr;
      if (sd_bus_message_read(m, "s", &name) < 0) return;
      if (std::strcmp(name, kLockedHint) == 0) {
        int value = 0;
        if (sd_bus_message_read(m, "v", "b", &value) < 0) return;
        locked = value != 0;
      } else if (sd_bus_message_skip(m, "v") < 0) {
        return;
      }
      if (sd_bus_message_exit_container(m) < 0) return;
    }
    if (sd_bus_message_exit_container(m) < 0) return;
    if (sd_bus_message_enter_container(m, 'a', "s") >= 0) {
      const char* name = nullptr;
      while (sd_bus_message_read(m, "s", &name) > 0) {
        if (std::strcmp(name, kLockedHint) == 0) invalidated = true;
      }
    }
    if (!locked && invalidated) {
      BusError error;
      int r = 0;
      locked = ReadLockedHint(&error.e, &r);
      if (!locked) Log("cannot read LockedHint: " + Describe(error.e, r));
    }
    if (locked) shared_->Report(!*locked);
  }

  void Loop() {
    while (!shared_->stopped.load()) {
      int r = sd_bus_process(bus_, nullptr);
      if (r < 0) break;
      if (r > 0) continue;
      int events = sd_bus_get_events(bus_);
      if (events < 0) break;
      uint64_t until = 0;
      int timeout_ms = -1;
      if (sd_bus_get_timeout(bus_, &until) >= 0 && until != UINT64_MAX) {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        uint64_t now = uint64_t(ts.tv_sec) * 1'000'000 + uint64_t(ts.tv_nsec) / 1000;
        timeout_ms = until <= now ? 0 : int((until - now + 999) / 1000);
      }
      pollfd fds[2] = {{sd_bus_get_fd(bus_), short(events), 0}, {stop_fd_, POLLIN, 0}};
      if (::poll(fds, 2, timeout_ms) < 0 && errno != EINTR) break;
    }
    if (!shared_->stopped.load()) {
      Log("lost the system bus; protected data count as available");
      shared_->Report(true);
    }
  }

  void Drop() {
    if (slot_) slot_ = sd_bus_slot_unref(slot_);
    if (bus_) bus_ = sd_bus_flush_close_unref(bus_);
  }

  const LogindMonitorOptions options_;
  const std::shared_ptr<SharedState> shared_;
  bool started_ = false;
  // Used by Start, then only by the bus thread until Stop joins it.
  sd_bus* bus_ = nullptr;
  sd_bus_slot* slot_ = nullptr;
  std::string session_path_;
  int stop_fd_ = -1;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<ProtectedDataMonitor> MakeLogindProtectedDataMonitor(
    std::shared_ptr<Queue> main_queue, LogindMonitorOptions options) {
  return std::make_unique<LogindMonitor>(std::move(main_queue), std::move(options));
}

}  // namespace kelvo
