// kelvo-fake-resolved: a stand-in for systemd-resolved's D-Bus API, for
// tests on a private bus. Owns org.freedesktop.resolve1 on the system bus
// (DBUS_SYSTEM_BUS_ADDRESS), answers SetLinkDNS, SetLinkDomains,
// SetLinkDefaultRoute and RevertLink, and appends each call as one line to
// the file given as its argument:
//   SetLinkDNS 5 10.0.0.53 fd00::53
//   SetLinkDomains 5 example.test ~.
//   SetLinkDefaultRoute 5 1
//   RevertLink 5
// Prints "ready" on stdout once the name is owned; runs until killed.
#include <arpa/inet.h>
#include <systemd/sd-bus.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

std::string g_record;

void Record(const std::string& line) {
  std::ofstream(g_record, std::ios::app) << line << "\n" << std::flush;
}

int SetLinkDns(sd_bus_message* m, void*, sd_bus_error*) {
  int index = 0;
  int r = sd_bus_message_read(m, "i", &index);
  std::string line = "SetLinkDNS " + std::to_string(index);
  if (r >= 0) r = sd_bus_message_enter_container(m, 'a', "(iay)");
  while (r >= 0 && (r = sd_bus_message_enter_container(m, 'r', "iay")) > 0) {
    int family = 0;
    const void* bytes = nullptr;
    size_t size = 0;
    if ((r = sd_bus_message_read(m, "i", &family)) < 0) break;
    if ((r = sd_bus_message_read_array(m, 'y', &bytes, &size)) < 0) break;
    char text[INET6_ADDRSTRLEN] = "?";
    if (size == (family == AF_INET ? 4u : 16u)) inet_ntop(family, bytes, text, sizeof text);
    line += std::string(" ") + text;
    r = sd_bus_message_exit_container(m);
  }
  if (r < 0) return r;
  Record(line);
  return sd_bus_reply_method_return(m, "");
}

int SetLinkDomains(sd_bus_message* m, void*, sd_bus_error*) {
  int index = 0;
  int r = sd_bus_message_read(m, "i", &index);
  std::string line = "SetLinkDomains " + std::to_string(index);
  if (r >= 0) r = sd_bus_message_enter_container(m, 'a', "(sb)");
  const char* name = nullptr;
  int routing_only = 0;
  while (r >= 0 && (r = sd_bus_message_read(m, "(sb)", &name, &routing_only)) > 0) {
    line += std::string(" ") + (routing_only ? "~" : "") + name;
  }
  if (r < 0) return r;
  Record(line);
  return sd_bus_reply_method_return(m, "");
}

int SetLinkDefaultRoute(sd_bus_message* m, void*, sd_bus_error*) {
  int index = 0, on = 0;
  int r = sd_bus_message_read(m, "ib", &index, &on);
  if (r < 0) return r;
  Record("SetLinkDefaultRoute " + std::to_string(index) + " " + std::to_string(on));
  return sd_bus_reply_method_return(m, "");
}

int RevertLink(sd_bus_message* m, void*, sd_bus_error*) {
  int index = 0;
  int r = sd_bus_message_read(m, "i", &index);
  if (r < 0) return r;
  Record("RevertLink " + std::to_string(index));
  return sd_bus_reply_method_return(m, "");
}

const sd_bus_vtable kManager[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("SetLinkDNS", "ia(iay)", "", SetLinkDns, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetLinkDomains", "ia(sb)", "", SetLinkDomains, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetLinkDefaultRoute", "ib", "", SetLinkDefaultRoute,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RevertLink", "i", "", RevertLink, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kelvo-fake-resolved RECORD_FILE\n");
    return 2;
  }
  g_record = argv[1];
  sd_bus* bus = nullptr;
  int r = sd_bus_open_system(&bus);
  if (r >= 0) {
    r = sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/resolve1",
                                 "org.freedesktop.resolve1.Manager", kManager, nullptr);
  }
  if (r >= 0) r = sd_bus_request_name(bus, "org.freedesktop.resolve1", 0);
  if (r < 0) {
    std::fprintf(stderr, "kelvo-fake-resolved: %s\n", strerror(-r));
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) {
    r = sd_bus_process(bus, nullptr);
    if (r < 0) return 1;
    if (r == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) return 1;
  }
}
