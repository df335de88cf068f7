// kelvoctl's commands, one function each. The command line (kelvoctl_app.h)
// parses flags and calls these; tests may call them directly.
//
// Every command returns an exit code (exit_codes.h). Results go to `out`:
// JSON where a script reads them (values in the form of json_value.h, one
// per line), plain text for the tunnel commands unless `json` is set.
// Messages for a person (errors, notes) go to `err`, prefixed "kelvoctl: ".
//
// Threading: a command blocks the calling thread until it is done; it runs
// its socket I/O on a thread of its own. Not for concurrent use of the same
// streams.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "platform/dispatch/dispatch.h"

namespace kelvo {

struct CommandContext {
  std::string engine_socket;                    // host's engine socket
  std::string control_socket;                   // tunnel extension's control socket
  Duration timeout = std::chrono::seconds(10);  // per request
  bool json = false;                            // tunnel commands: JSON instead of text
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
};

// ---- Engine channels ----

struct ChannelRequest {
  std::string channel;
  std::string codec = "standard";   // a name in CodecRegistry::Default()
  std::optional<std::string> json;  // the value to send, as JSON; nullopt: none
};

// Calls METHOD on a method channel with the arguments (null when none) and
// prints the result. An error reply prints {"code", "message", "details"}
// on `out` and exits kExitRemoteError.
int CallMethod(const CommandContext& ctx, const ChannelRequest& request, const std::string& method);

// Sends a message on a basic message channel. Typed (the default): the
// message is the argument list (default []), a one-element reply list is
// the result and a longer one the error [code, message, details]. Raw: the
// message (default null) and the reply are printed as they are.
int SendMessage(const CommandContext& ctx, const ChannelRequest& request, bool raw);

// Listens on an event channel: sends "listen" with the arguments, prints
// each event as one JSON line and stops at the end of the stream, after
// `max_events` events, when `interrupt_fd` (-1: none) becomes readable, or
// when `out` can no longer be written; then sends "cancel". Error events go
// to `err` as they come and make the exit code kExitRemoteError.
int Listen(const CommandContext& ctx, const ChannelRequest& request,
           std::optional<uint64_t> max_events, int interrupt_fd);

// ---- Tunnel extension (control socket) ----

// "startTunnel" with the start options {"cfg": config_text}. A refusal
// [domain, code, description] is shown field by field.
int TunnelStart(const CommandContext& ctx, const std::string& config_text);
// "stopTunnel" with the stop reason (1: stopped by the user).
int TunnelStop(const CommandContext& ctx, int64_t reason);
// "status": the connection status by name and number. A socket nobody
// serves (no file, nobody listening) is "disconnected (1)" and exits 0;
// any other failure to connect, a refusal above all, is an error.
// The tunnel commands say "permission denied on SOCKET: add yourself to the
// group kelvo" (or the real reason) when the socket refuses them.
int TunnelStatus(const CommandContext& ctx);

// Provider messages: the one request byte and how the reply is shown.
enum class AppMessage : uint8_t {
  kRuntimeStats = 0x00,  // the adapter's runtime configuration text
  kPing = 0x01,          // "pong"
  kDebugReport = 0x02,   // the diagnostic report, one segment per line
};
int TunnelAppMessage(const CommandContext& ctx, AppMessage message);

// ---- App Group settings (the user-defaults suite, opened directly) ----

// Prints the value under `key` as JSON (null when absent).
int SettingsGet(const CommandContext& ctx, const std::string& key);
// Stores `value` as a string.
int SettingsSet(const CommandContext& ctx, const std::string& key, const std::string& value);
int SettingsRemove(const CommandContext& ctx, const std::string& key);

}  // namespace kelvo
