// The tunnel commands: what the user interface's tunnel plugin and the host
// control channel ask of the extension, sent straight to its control socket.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>

#include "cli/commands.h"
#include "cli/exchange.h"
#include "cli/json_value.h"
#include "platform/engine/standard_codec.h"
#include "platform/tunnels/control_socket.h"
#include "platform/tunnels/tunnel_manager.h"

namespace kelvo {
namespace {

constexpr const char* kControlSocket = "tunnel control socket";

const StandardCodec& Codec() { return StandardCodec::Instance(); }

// Connects; a refusal says why in a way a person can act on.
int ConnectTunnel(const CommandContext& ctx, EngineSocketClient& client) {
  if (auto error = client.Connect(ctx.control_socket)) {
    std::string why = DescribeControlSocketFailure(ctx.control_socket, *error);
    if (why == *error) {
      *ctx.err << "kelvoctl: cannot connect to the " << kControlSocket << " at "
               << ctx.control_socket << ": " << why << "\n";
    } else {
      *ctx.err << "kelvoctl: " << why << "\n";
    }
    return kExitConnection;
  }
  return kExitOk;
}

// Connects and makes one request; `*reply` is the raw reply.
int Request(const CommandContext& ctx, const std::string& operation, Payload message,
            Payload* reply) {
  EngineSocketClient client;
  if (int code = ConnectTunnel(ctx, client)) return code;
  if (int code = Exchange(client, operation, std::move(message), ctx.timeout, *ctx.err, reply)) {
    return code;
  }
  if (!*reply) {
    *ctx.err << "kelvoctl: the extension has no handler for '" << operation << "'\n";
    return kExitNoHandler;
  }
  return kExitOk;
}

int Undecodable(const CommandContext& ctx, const std::string& operation, const std::string& why) {
  *ctx.err << "kelvoctl: the reply to '" << operation << "' " << why << "\n";
  return kExitBadReply;
}

// A field of the start error as a person reads it: strings as they are.
std::string FieldText(const Value& v) {
  if (const auto* s = v.get_if<std::string>()) return *s;
  return FormatJsonValue(v);
}

const char* StatusName(int64_t status) {
  switch (status) {
    case 0:
      return "invalid";
    case 1:
      return "disconnected";
    case 2:
      return "connecting";
    case 3:
      return "connected";
    case 4:
      return "reasserting";
    case 5:
      return "disconnecting";
    default:
      return "unknown";
  }
}

// The age of the newest handshake in a runtime configuration text: absent
// when there is no text, -1 when no peer has had a handshake yet.
std::optional<int64_t> HandshakeAge(const std::optional<std::string>& runtime) {
  if (!runtime) return std::nullopt;
  static const std::string kKey = "last_handshake_time_sec=";
  int64_t newest = 0;
  size_t at = 0;
  while ((at = runtime->find(kKey, at)) != std::string::npos) {
    if (at == 0 || (*runtime)[at - 1] == '\n') {
      newest = std::max<int64_t>(newest, std::atoll(runtime->c_str() + at + kKey.size()));
    }
    at += kKey.size();
  }
  if (newest <= 0) return -1;
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  return std::max<int64_t>(0, now - newest);
}

void PrintStatus(const CommandContext& ctx, int64_t status, bool reachable,
                 std::optional<int64_t> age = std::nullopt) {
  if (ctx.json) {
    ValueMap map{{"status", Value(StatusName(status))},
                 {"code", Value(status)},
                 {"reachable", Value(reachable)}};
    if (age) map.set(Value("handshake_age_sec"), *age < 0 ? Value() : Value(*age));
    *ctx.out << FormatJsonValue(Value(std::move(map))) << "\n";
  } else {
    *ctx.out << StatusName(status) << " (" << status << ")";
    // "connected" over a dead tunnel shows here.
    if (age) {
      *ctx.out << (*age < 0 ? ", no handshake yet"
                            : ", newest handshake " + std::to_string(*age) + " s ago");
    }
    *ctx.out << "\n";
  }
}

// Splits the diagnostic report into its segments.
ValueList Segments(const std::string& report) {
  static const std::string kSeparator = " | ";
  ValueList segments;
  if (report.empty()) return segments;
  size_t start = 0;
  for (;;) {
    size_t at = report.find(kSeparator, start);
    if (at == std::string::npos) {
      segments.emplace_back(report.substr(start));
      return segments;
    }
    segments.emplace_back(report.substr(start, at - start));
    start = at + kSeparator.size();
  }
}

}  // namespace

int TunnelStart(const CommandContext& ctx, const std::string& config_text) {
  const std::string operation = "startTunnel";
  Payload reply;
  if (int code =
          Request(ctx, operation, Codec().Encode(Value(ValueMap{{"cfg", config_text}})), &reply)) {
    return code;
  }
  auto decoded = Codec().Decode(*reply);
  if (!decoded.ok()) return Undecodable(ctx, operation, "does not decode");
  const Value& answer = decoded.value();
  if (answer.is_null()) {
    *ctx.out << (ctx.json ? "{\"started\":true}" : "tunnel started") << "\n";
    return kExitOk;
  }
  const auto* error = answer.get_if<ValueList>();
  if (error == nullptr || error->size() != 3) {
    return Undecodable(
        ctx, operation,
        "is neither null nor [domain, code, description]: " + FormatJsonValue(answer));
  }
  if (ctx.json) {
    *ctx.out << FormatJsonValue(Value(ValueMap{{"error", Value(ValueMap{
                                                             {"domain", (*error)[0]},
                                                             {"code", (*error)[1]},
                                                             {"description", (*error)[2]},
                                                         })}}))
             << "\n";
  } else {
    *ctx.err << "kelvoctl: the tunnel did not start\n"
             << "  domain:      " << FieldText((*error)[0]) << "\n"
             << "  code:        " << FieldText((*error)[1]) << "\n"
             << "  description: " << FieldText((*error)[2]) << "\n";
  }
  return kExitRemoteError;
}

int TunnelStop(const CommandContext& ctx, int64_t reason) {
  Payload reply;
  if (int code = Request(ctx, "stopTunnel", Codec().Encode(Value(reason)), &reply)) return code;
  *ctx.out << (ctx.json ? "{\"stopped\":true}" : "tunnel stopped") << "\n";
  return kExitOk;
}

int TunnelStatus(const CommandContext& ctx) {
  const std::string operation = "status";
  EngineSocketClient client;
  if (ControlSocketAbsent(ctx.control_socket)) {
    // No extension serving: the tunnel is down, which is an answer. Any
    // other failure (a refusal above all) is an error, not a state.
    *ctx.err << "kelvoctl: no tunnel extension serves " << ctx.control_socket << "\n";
    PrintStatus(ctx, static_cast<int64_t>(TunnelStatus::kDisconnected), false);
    return kExitOk;
  }
  if (int code = ConnectTunnel(ctx, client)) return code;
  Payload reply;
  if (int code = Exchange(client, operation, std::nullopt, ctx.timeout, *ctx.err, &reply)) {
    return code;
  }
  if (!reply) {
    *ctx.err << "kelvoctl: the extension has no handler for '" << operation << "'\n";
    return kExitNoHandler;
  }
  auto decoded = Codec().Decode(*reply);
  if (!decoded.ok() || !decoded.value().is_int()) {
    return Undecodable(ctx, operation, "is not an integer status");
  }
  // The runtime configuration, for the handshake's age; an extension that
  // has none (no tunnel) or does not answer leaves the line as it was.
  std::optional<std::string> runtime;
  Payload stats;
  std::ostringstream ignored;
  if (Exchange(client, "handleAppMessage", Payload(std::in_place, 1, uint8_t{0}), ctx.timeout,
               ignored, &stats) == kExitOk &&
      stats && !stats->empty()) {
    runtime = std::string(stats->begin(), stats->end());
  }
  PrintStatus(ctx, decoded.value().as_int(), true, HandshakeAge(runtime));
  return kExitOk;
}

int TunnelAppMessage(const CommandContext& ctx, AppMessage message) {
  EngineSocketClient client;
  if (int code = ConnectTunnel(ctx, client)) return code;
  Payload reply;
  if (int code = Exchange(client, "handleAppMessage",
                          Payload(std::in_place, 1, static_cast<uint8_t>(message)), ctx.timeout,
                          *ctx.err, &reply)) {
    return code;
  }
  // No data is how the extension answers a message it has nothing for
  // (and how a socket without the handler answers too).
  if (!reply || reply->empty()) {
    *ctx.err << "kelvoctl: the extension sent no data\n";
    return kExitNoHandler;
  }
  std::string text(reply->begin(), reply->end());
  switch (message) {
    case AppMessage::kRuntimeStats:
      if (ctx.json) {
        *ctx.out << FormatJsonValue(Value(ValueMap{{"text", Value(text)}})) << "\n";
      } else {
        *ctx.out << text << (text.back() == '\n' ? "" : "\n");
      }
      break;
    case AppMessage::kPing:
      if (ctx.json) {
        *ctx.out << FormatJsonValue(Value(ValueMap{{"reply", Value(text)}})) << "\n";
      } else {
        *ctx.out << text << "\n";
      }
      break;
    case AppMessage::kDebugReport: {
      ValueList segments = Segments(text);
      if (ctx.json) {
        *ctx.out << FormatJsonValue(Value(ValueMap{{"segments", Value(segments)}})) << "\n";
      } else {
        for (const auto& s : segments) *ctx.out << s.as_string() << "\n";
      }
      break;
    }
  }
  return kExitOk;
}

}  // namespace kelvo
