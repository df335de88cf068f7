#include "cli/kelvoctl_app.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "cli/codec_registry.h"
#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "platform/engine/engine_socket.h"
#include "platform/defaults/user_defaults.h"
#include "platform/tunnels/control_socket.h"
#include "platform/tunnels/tunnel_manager.h"
#include "tunnel/app_group_settings.h"

namespace kelvo {
namespace {

// ---- Signals for listen ----

int g_interrupt_write = -1;

void OnInterrupt(int) {
  if (g_interrupt_write >= 0) {
    char b = 1;
    [[maybe_unused]] ssize_t n = ::write(g_interrupt_write, &b, 1);
  }
}

// While alive, SIGINT and SIGTERM make fd() readable instead of ending the
// process, so that a listen can still send "cancel".
class InterruptPipe {
 public:
  InterruptPipe() {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
      fds_[0] = fds_[1] = -1;
      return;
    }
    g_interrupt_write = fds_[1];
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &old_int_);
    ::sigaction(SIGTERM, &action, &old_term_);
  }
  ~InterruptPipe() {
    if (fds_[0] < 0) return;
    ::sigaction(SIGINT, &old_int_, nullptr);
    ::sigaction(SIGTERM, &old_term_, nullptr);
    g_interrupt_write = -1;
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  InterruptPipe(const InterruptPipe&) = delete;
  InterruptPipe& operator=(const InterruptPipe&) = delete;
  int fd() const { return fds_[0]; }

 private:
  int fds_[2];
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

// ---- Inputs ----

bool ReadAll(std::istream& in, std::string* text) {
  text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// The JSON argument: as given, or standard input for "-".
std::optional<std::string> JsonArgument(CLI::Option* option, const std::string& value,
                                        std::istream& in) {
  if (option->count() == 0) return std::nullopt;
  if (value != "-") return value;
  std::string text;
  ReadAll(in, &text);
  return text;
}

// ---- The command line ----

constexpr const char* kMappingHelp =
    "JSON values: integers are ints, numbers with a fraction or exponent are\n"
    "doubles (3.0); bytes {\"$bytes\": base64}; typed lists {\"$int32\": [..]},\n"
    "{\"$int64\": [..]}, {\"$float32\": [..]}, {\"$float64\": [..]}; NaN and the\n"
    "infinities {\"$double\": \"NaN\"}; maps with keys that are not strings\n"
    "(or begin with \"$\") {\"$map\": [[k, v], ..]}; custom values\n"
    "{\"$custom\": 128..255, \"value\": v}.\n";

constexpr double kLongestTimeoutSeconds = 1e9;

// The tunnel the host would reach: the profiles in the App Group's tunnels/
// directory, walked as the host walks them.
std::string FindControlSocket() {
  DefaultsConfig config = DefaultsConfig::FromEnvironment();
  ProfileLoad load;
  if (config.error.empty()) {
    load = LoadTunnelProfiles(TunnelProfilesDirectory(config.app_group_root + "/" + kAppGroupId));
  }
  // Without profiles: this user's own socket, else the system service's.
  std::string fallback = DefaultControlSocketPath();
  struct stat st {};
  if (::lstat(fallback.c_str(), &st) != 0 && ::lstat(kSystemControlSocket, &st) == 0) {
    fallback = kSystemControlSocket;
  }
  return ChooseControlSocket(
      load.profiles,
      [](const std::string& path) { return QueryTunnelStatus(path, std::chrono::seconds(2)); },
      fallback);
}

struct ChannelFlags {
  std::string channel;
  std::string json;
  std::string codec = kStandardCodecName;
  CLI::Option* json_option = nullptr;
};

// CHANNEL, then METHOD when `method` is given, then JSON and --codec.
void AddChannelFlags(CLI::App* command, ChannelFlags* flags, std::string* method,
                     const std::string& json_help) {
  command->add_option("CHANNEL", flags->channel, "channel name")->required();
  if (method != nullptr) command->add_option("METHOD", *method, "method name")->required();
  flags->json_option = command->add_option("JSON", flags->json, json_help + " (\"-\": stdin)");
  std::string names;
  for (const auto& name : CodecRegistry::Default().Names()) names += " " + name;
  command->add_option("--codec", flags->codec, "message codec; known:" + names)
      ->capture_default_str();
}

}  // namespace

int RunKelvoctl(int argc, const char* const* argv, std::istream& in, std::ostream& out,
                std::ostream& err) {
  CLI::App app{"kelvoctl: the host's channels and the tunnel extension from the command line",
               "kelvoctl"};
  app.require_subcommand(1);
  app.fallthrough();
  // Subcommands take the footer set when they are made: a pointer to the
  // full one, which is set last.
  app.footer(
      "\nThe global flags (--engine-socket, --control-socket, --timeout) apply here too.\n"
      "kelvoctl --help describes the JSON forms of values and the exit codes.");

  app.set_version_flag("--version", std::string("kelvoctl ") + KELVO_VERSION);
  std::string engine_socket = DefaultEngineSocketPath();
  std::string control_socket;
  double timeout_seconds = 10;
  app.add_option("--engine-socket", engine_socket, "the host's engine socket")
      ->capture_default_str();
  app.add_option("--control-socket", control_socket,
                 "the tunnel extension's control socket (default: the tunnel the host would "
                 "choose among the profiles in the App Group, else " +
                     DefaultControlSocketPath() + ")");
  app.add_option("--timeout", timeout_seconds, "seconds to wait for each reply")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();

  ChannelFlags call_flags;
  std::string method;
  auto* call =
      app.add_subcommand("call", "call a method on a method channel; prints the result as JSON");
  AddChannelFlags(call, &call_flags, &method, "the arguments as JSON (default null)");

  ChannelFlags message_flags;
  bool raw = false;
  auto* message = app.add_subcommand(
      "message",
      "send a typed message (an argument list) on a basic message channel; prints "
      "the result as JSON");
  AddChannelFlags(message, &message_flags, nullptr,
                  "the message as JSON (default [], or null with --raw)");
  message->add_flag("--raw", raw,
                    "send the value as it is and print the whole reply, without the typed-"
                    "message convention");

  ChannelFlags listen_flags;
  uint64_t max_events = 0;
  auto* listen = app.add_subcommand(
      "listen",
      "listen on an event channel; prints one JSON line per event until the end of "
      "the stream or Ctrl-C, then cancels");
  AddChannelFlags(listen, &listen_flags, nullptr, "the listen arguments as JSON (default null)");
  auto* count_option = listen->add_option("--count", max_events, "stop after this many events");

  bool json_output = false;
  auto* tunnel = app.add_subcommand("tunnel", "the tunnel extension, through its control socket");
  tunnel->require_subcommand(1);
  tunnel->add_flag("--json", json_output, "print JSON instead of text");
  std::string config_file;
  auto* start = tunnel->add_subcommand("start", "start the tunnel with a WireGuard configuration");
  start->add_option("--config", config_file, "the configuration file (\"-\": stdin)")->required();
  int64_t reason = 1;
  auto* stop = tunnel->add_subcommand("stop", "stop the tunnel");
  stop->add_option("--reason", reason, "the stop reason code (1: stopped by the user)")
      ->capture_default_str();
  auto* status = tunnel->add_subcommand("status", "print the connection status");
  auto* stats = tunnel->add_subcommand("stats", "print the adapter's runtime configuration");
  auto* ping = tunnel->add_subcommand("ping", "check that the extension answers");
  auto* debug =
      tunnel->add_subcommand("debug", "print the diagnostic report, one segment per line");

  std::string key;
  std::string value;
  auto* settings = app.add_subcommand(
      "settings", "the App Group settings store (string values), opened directly");
  settings->require_subcommand(1);
  auto* get = settings->add_subcommand("get", "print the value under KEY as JSON (null: none)");
  get->add_option("KEY", key)->required();
  auto* set = settings->add_subcommand("set", "store VALUE (a string) under KEY");
  set->add_option("KEY", key)->required();
  set->add_option("VALUE", value)->required();
  auto* remove = settings->add_subcommand("remove", "remove KEY");
  remove->add_option("KEY", key)->required();

  app.footer(std::string("\n") + kMappingHelp + "\n" + ExitCodeHelp());

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e, out, err);
    return code == 0 ? kExitOk : kExitUsage;
  }

  CommandContext ctx;
  ctx.engine_socket = engine_socket;
  // Found as the host finds it, and only when a tunnel command needs it.
  ctx.control_socket = !control_socket.empty() || !tunnel->parsed() ? control_socket
                                                                     : FindControlSocket();
  // Beyond any wait worth having, and within what a Duration holds.
  ctx.timeout = Seconds(std::min(timeout_seconds, kLongestTimeoutSeconds));
  ctx.json = json_output;
  ctx.out = &out;
  ctx.err = &err;

  auto request = [&](const ChannelFlags& flags) {
    return ChannelRequest{flags.channel, flags.codec,
                          JsonArgument(flags.json_option, flags.json, in)};
  };

  if (call->parsed()) return CallMethod(ctx, request(call_flags), method);
  if (message->parsed()) return SendMessage(ctx, request(message_flags), raw);
  if (listen->parsed()) {
    InterruptPipe interrupt;
    std::optional<uint64_t> limit;
    if (count_option->count() > 0) limit = max_events;
    return Listen(ctx, request(listen_flags), limit, interrupt.fd());
  }
  if (start->parsed()) {
    std::string text;
    if (config_file == "-") {
      ReadAll(in, &text);
    } else {
      std::ifstream file(config_file, std::ios::binary);
      if (!file || !ReadAll(file, &text)) {
        err << "kelvoctl: cannot read the configuration file " << config_file << ": "
            << std::strerror(errno) << "\n";
        return kExitLocal;
      }
    }
    return TunnelStart(ctx, text);
  }
  if (stop->parsed()) return TunnelStop(ctx, reason);
  if (status->parsed()) return TunnelStatus(ctx);
  if (stats->parsed()) return TunnelAppMessage(ctx, AppMessage::kRuntimeStats);
  if (ping->parsed()) return TunnelAppMessage(ctx, AppMessage::kPing);
  if (debug->parsed()) return TunnelAppMessage(ctx, AppMessage::kDebugReport);
  if (get->parsed()) return SettingsGet(ctx, key);
  if (set->parsed()) return SettingsSet(ctx, key, value);
  if (remove->parsed()) return SettingsRemove(ctx, key);
  err << "kelvoctl: no command\n";
  return kExitUsage;
}

}  // namespace kelvo
