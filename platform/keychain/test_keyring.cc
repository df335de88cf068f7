#include "platform/keychain/test_keyring.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

extern char** environ;

namespace kelvo {
namespace {

constexpr char kPassword[] = "k16-login-password";

// A synchronous call on a private connection to `address`.
std::optional<std::string> Call(const std::string& address, const char* path,
                                const char* interface, const char* method, GVariant* args,
                                GVariant** reply) {
  GError* error = nullptr;
  GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (bus == nullptr) {
    std::string why = error->message;
    g_error_free(error);
    if (args) g_variant_unref(g_variant_ref_sink(args));
    return why;
  }
  const bool to_bus = std::string(interface) == "org.freedesktop.DBus";
  GVariant* result = g_dbus_connection_call_sync(
      bus, to_bus ? "org.freedesktop.DBus" : "org.freedesktop.secrets", path, interface, method,
      args, nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, &error);
  g_object_unref(bus);
  if (result == nullptr) {
    std::string why = error->message;
    g_error_free(error);
    return why;
  }
  if (reply) {
    *reply = result;
  } else {
    g_variant_unref(result);
  }
  return std::nullopt;
}

bool Owned(const std::string& address) {
  GVariant* reply = nullptr;
  if (Call(address, "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
           g_variant_new("(s)", "org.freedesktop.secrets"), &reply)) {
    return false;
  }
  gboolean owned = FALSE;
  g_variant_get(reply, "(b)", &owned);
  g_variant_unref(reply);
  return owned;
}

}  // namespace

bool TestKeyring::Installed() {
  return access("/usr/bin/gnome-keyring-daemon", X_OK) == 0 &&
         access("/usr/bin/dbus-daemon", X_OK) == 0;
}

TestKeyring::~TestKeyring() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
}

std::optional<std::string> TestKeyring::Start(const std::string& bus_address,
                                              const std::string& data_home) {
  bus_address_ = bus_address;
  int in[2];
  if (pipe2(in, O_CLOEXEC) != 0) return "no pipe";
  std::vector<std::string> env_strings = {"DBUS_SESSION_BUS_ADDRESS=" + bus_address,
                                          "HOME=" + data_home, "XDG_DATA_HOME=" + data_home,
                                          "XDG_RUNTIME_DIR=" + data_home, "PATH=/usr/bin:/bin"};
  std::vector<char*> env;
  for (std::string& e : env_strings) env.push_back(e.data());
  env.push_back(nullptr);
  std::string control = "--control-directory=" + data_home + "/control";
  std::vector<char*> argv = {const_cast<char*>("gnome-keyring-daemon"),
                             const_cast<char*>("--foreground"), const_cast<char*>("--unlock"),
                             const_cast<char*>("--components=secrets"), control.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  const std::string log = data_home + "/keyring.log";
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  int spawned = posix_spawn(&pid_, "/usr/bin/gnome-keyring-daemon", &actions, nullptr,
                            argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  if (spawned != 0) {
    close(in[1]);
    pid_ = -1;
    return "cannot start gnome-keyring-daemon";
  }
  // The daemon reads the login password from standard input up to its end.
  ssize_t written = write(in[1], kPassword, sizeof(kPassword) - 1);
  close(in[1]);
  if (written != static_cast<ssize_t>(sizeof(kPassword) - 1)) return "cannot pass the password";
  // Waiting for a real daemon to come up is the one wait these tests have.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!Owned(bus_address)) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return "gnome-keyring-daemon exited; see " + log;
    }
    if (std::chrono::steady_clock::now() > deadline) return "gnome-keyring-daemon did not come up";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

std::optional<std::string> TestKeyring::LockLogin() {
  GVariantBuilder paths;
  g_variant_builder_init(&paths, G_VARIANT_TYPE("ao"));
  g_variant_builder_add(&paths, "o", "/org/freedesktop/secrets/collection/login");
  return Call(bus_address_, "/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "Lock",
              g_variant_new("(ao)", &paths), nullptr);
}

}  // namespace kelvo
