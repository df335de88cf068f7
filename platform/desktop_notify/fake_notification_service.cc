#include "platform/desktop_notify/fake_notification_service.h"

#include <systemd/sd-bus.h>

#include <cstring>
#include <functional>

#include "platform/desktop_notify/desktop_notifier.h"

namespace kelvo {
namespace {

// Reads the a{sv} hints, keeping strings and Booleans.
int ReadHints(sd_bus_message* m, std::map<std::string, std::string>* hints) {
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
    char type = 0;
    const char* contents = nullptr;
    if ((r = sd_bus_message_peek_type(m, &type, &contents)) < 0) return r;
    if ((r = sd_bus_message_enter_container(m, 'v', contents)) < 0) return r;
    if (std::strcmp(contents, "s") == 0) {
      const char* s = nullptr;
      if ((r = sd_bus_message_read(m, "s", &s)) < 0) return r;
      (*hints)[key] = s;
    } else if (std::strcmp(contents, "b") == 0) {
      int b = 0;
      if ((r = sd_bus_message_read(m, "b", &b)) < 0) return r;
      (*hints)[key] = b ? "true" : "false";
    } else {
      if ((r = sd_bus_message_skip(m, contents)) < 0) return r;
      (*hints)[key] = std::string("<") + contents + ">";
    }
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;  // variant
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;  // entry
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

int ReadNotify(sd_bus_message* m, ReceivedNotification* n) {
  const char *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
  int r = sd_bus_message_read(m, "susss", &app, &n->replaces_id, &icon, &summary, &body);
  if (r < 0) return r;
  n->app_name = app;
  n->app_icon = icon;
  n->summary = summary;
  n->body = body;
  if ((r = sd_bus_message_enter_container(m, 'a', "s")) < 0) return r;
  const char* action = nullptr;
  while ((r = sd_bus_message_read(m, "s", &action)) > 0) n->actions.push_back(action);
  if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
  if ((r = ReadHints(m, &n->hints)) < 0) return r;
  return sd_bus_message_read(m, "i", &n->expire_timeout);
}

struct Context {
  std::function<void(ReceivedNotification)> record;
  uint32_t next_id = 1;
};

int OnMethod(sd_bus_message* m, void* userdata, sd_bus_error* error) {
  auto* ctx = static_cast<Context*>(userdata);
  if (sd_bus_message_is_method_call(m, kNotificationsInterface, "GetServerInformation")) {
    return sd_bus_reply_method_return(m, "ssss", "fake", "kelvo-tests", "1", "1.2");
  }
  if (sd_bus_message_is_method_call(m, kNotificationsInterface, "Notify")) {
    ReceivedNotification n;
    if (int r = ReadNotify(m, &n); r < 0) {
      return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "malformed Notify call");
    }
    ctx->record(std::move(n));
    return sd_bus_reply_method_return(m, "u", ctx->next_id++);
  }
  return 0;  // sd-bus answers "unknown method"
}

}  // namespace

std::optional<std::string> FakeNotificationService::Start(const std::string& bus_address) {
  sd_bus* bus = nullptr;
  int r = sd_bus_new(&bus);
  if (r >= 0) r = sd_bus_set_address(bus, bus_address.c_str());
  if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
  if (r >= 0) r = sd_bus_start(bus);
  if (r >= 0) r = sd_bus_request_name(bus, kNotificationsService, 0);
  if (r < 0) {
    sd_bus_flush_close_unref(bus);
    return std::string("fake notification service: ") + std::strerror(-r);
  }
  thread_ = std::thread([this, bus] { Serve(bus); });
  return std::nullopt;
}

void FakeNotificationService::Serve(void* raw_bus) {
  auto* bus = static_cast<sd_bus*>(raw_bus);
  Context ctx{[this](ReceivedNotification n) { Record(std::move(n)); }};
  sd_bus_slot* slot = nullptr;
  sd_bus_add_object(bus, &slot, kNotificationsPath, OnMethod, &ctx);
  while (!stop_.load()) {
    int r = sd_bus_process(bus, nullptr);
    if (r < 0) break;
    if (r > 0) continue;
    sd_bus_wait(bus, 50'000);
  }
  sd_bus_slot_unref(slot);
  sd_bus_flush_close_unref(bus);
}

void FakeNotificationService::Record(ReceivedNotification n) {
  std::lock_guard lock(mu_);
  received_.push_back(std::move(n));
  cv_.notify_all();
}

void FakeNotificationService::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

FakeNotificationService::~FakeNotificationService() { Stop(); }

std::vector<ReceivedNotification> FakeNotificationService::received() const {
  std::lock_guard lock(mu_);
  return received_;
}

bool FakeNotificationService::WaitForCount(size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, limit, [&] { return received_.size() >= count; });
}

}  // namespace kelvo
