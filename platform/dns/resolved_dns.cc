// systemd-resolved through its D-Bus API (org.freedesktop.resolve1.Manager).
#include <arpa/inet.h>
#include <systemd/sd-bus.h>

#include <cstring>
#include <memory>

#include "platform/dns/dns_configurator.h"

namespace kelvo {
namespace {

constexpr const char* kService = "org.freedesktop.resolve1";
constexpr const char* kPath = "/org/freedesktop/resolve1";
constexpr const char* kManager = "org.freedesktop.resolve1.Manager";

struct BusDeleter {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageDeleter {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Bus = std::unique_ptr<sd_bus, BusDeleter>;
using Message = std::unique_ptr<sd_bus_message, MessageDeleter>;

std::string Errno(int r) { return std::strerror(r < 0 ? -r : r); }

// Opens the system bus; null with *error set when it cannot.
Bus OpenSystemBus(int timeout_ms, std::string* error) {
  sd_bus* raw = nullptr;
  int r = sd_bus_open_system(&raw);
  if (r < 0) {
    *error = "cannot reach the system bus: " + Errno(r);
    return nullptr;
  }
  Bus bus(raw);
  sd_bus_set_method_call_timeout(bus.get(), static_cast<uint64_t>(timeout_ms) * 1000);
  return bus;
}

// Sends `m` and waits for the answer; the error names `method`.
std::optional<std::string> Call(sd_bus* bus, sd_bus_message* m, const char* method) {
  sd_bus_error err{};  // SD_BUS_ERROR_NULL, without the C compound literal
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call(bus, m, 0, &err, &reply);
  sd_bus_message_unref(reply);
  if (r >= 0) {
    sd_bus_error_free(&err);
    return std::nullopt;
  }
  std::string text = std::string("systemd-resolved ") + method + " failed: " +
                     (err.message ? err.message : Errno(r));
  sd_bus_error_free(&err);
  return text;
}

Message NewCall(sd_bus* bus, const char* method, int link_index, int* r) {
  sd_bus_message* raw = nullptr;
  *r = sd_bus_message_new_method_call(bus, &raw, kService, kPath, kManager, method);
  Message m(raw);
  if (*r >= 0) *r = sd_bus_message_append(m.get(), "i", link_index);
  return m;
}

class ResolvedDns final : public DnsConfigurator {
 public:
  explicit ResolvedDns(int timeout_ms) : timeout_ms_(timeout_ms) {}

  std::string name() const override { return "systemd-resolved"; }

  std::optional<std::string> Apply(const DnsSettings& s) override {
    std::string error;
    Bus bus = OpenSystemBus(timeout_ms_, &error);
    if (!bus) return "systemd-resolved: " + error;
    if (auto e = SetDns(bus.get(), s)) return e;
    if (auto e = SetDomains(bus.get(), s)) return e;
    int r = 0;
    Message m = NewCall(bus.get(), "SetLinkDefaultRoute", s.link_index, &r);
    if (r >= 0) r = sd_bus_message_append(m.get(), "b", s.full_tunnel ? 1 : 0);
    if (r < 0) return "systemd-resolved SetLinkDefaultRoute: " + Errno(r);
    return Call(bus.get(), m.get(), "SetLinkDefaultRoute");
  }

  std::optional<std::string> Remove(const DnsSettings& s) override {
    std::string error;
    Bus bus = OpenSystemBus(timeout_ms_, &error);
    if (!bus) return "systemd-resolved: " + error;
    int r = 0;
    Message m = NewCall(bus.get(), "RevertLink", s.link_index, &r);
    if (r < 0) return "systemd-resolved RevertLink: " + Errno(r);
    return Call(bus.get(), m.get(), "RevertLink");
  }

  // resolved forgets a link's settings when the link goes, and an earlier
  // run's link is deleted before this is asked.
  bool RemoveLeftover(const std::string&) override { return false; }

 private:
  std::optional<std::string> SetDns(sd_bus* bus, const DnsSettings& s) {
    int r = 0;
    Message m = NewCall(bus, "SetLinkDNS", s.link_index, &r);
    if (r >= 0) r = sd_bus_message_open_container(m.get(), 'a', "(iay)");
    for (const std::string& server : s.servers) {
      unsigned char bytes[16] = {};
      int family = AF_INET;
      size_t size = 4;
      if (inet_pton(AF_INET, server.c_str(), bytes) != 1) {
        if (inet_pton(AF_INET6, server.c_str(), bytes) != 1) {
          return "systemd-resolved SetLinkDNS: not an address: " + server;
        }
        family = AF_INET6;
        size = 16;
      }
      if (r >= 0) r = sd_bus_message_open_container(m.get(), 'r', "iay");
      if (r >= 0) r = sd_bus_message_append(m.get(), "i", family);
      if (r >= 0) r = sd_bus_message_append_array(m.get(), 'y', bytes, size);
      if (r >= 0) r = sd_bus_message_close_container(m.get());
    }
    if (r >= 0) r = sd_bus_message_close_container(m.get());
    if (r < 0) return "systemd-resolved SetLinkDNS: " + Errno(r);
    return Call(bus, m.get(), "SetLinkDNS");
  }

  std::optional<std::string> SetDomains(sd_bus* bus, const DnsSettings& s) {
    int r = 0;
    Message m = NewCall(bus, "SetLinkDomains", s.link_index, &r);
    if (r >= 0) r = sd_bus_message_open_container(m.get(), 'a', "(sb)");
    for (const std::string& domain : s.domains) {
      if (r >= 0) r = sd_bus_message_append(m.get(), "(sb)", domain.c_str(), 0);
    }
    // "~.": the root as a routing-only domain, so every name is resolved
    // through this link rather than the uplink's servers.
    if (s.full_tunnel && r >= 0) r = sd_bus_message_append(m.get(), "(sb)", ".", 1);
    if (r >= 0) r = sd_bus_message_close_container(m.get());
    if (r < 0) return "systemd-resolved SetLinkDomains: " + Errno(r);
    return Call(bus, m.get(), "SetLinkDomains");
  }

  const int timeout_ms_;
};

}  // namespace

bool ResolvedIsRunning(int timeout_ms) {
  std::string error;
  Bus bus = OpenSystemBus(timeout_ms, &error);
  if (!bus) return false;
  sd_bus_error err{};  // SD_BUS_ERROR_NULL, without the C compound literal
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "NameHasOwner", &err, &reply, "s", kService);
  int has = 0;
  if (r >= 0) r = sd_bus_message_read(reply, "b", &has);
  sd_bus_message_unref(reply);
  sd_bus_error_free(&err);
  return r >= 0 && has;
}

std::unique_ptr<DnsConfigurator> MakeResolvedDns(int timeout_ms) {
  return std::make_unique<ResolvedDns>(timeout_ms);
}

}  // namespace kelvo
