// call, message and listen: the engine's channels from the command line.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "cli/codec_registry.h"
#include "cli/commands.h"
#include "cli/exchange.h"
#include "cli/json_value.h"

namespace kelvo {
namespace {

constexpr const char* kEngineSocket = "engine socket";

// The codec and the parsed value of a request, or the exit code of why not.
struct Prepared {
  int code = kExitOk;
  const NamedCodec* codec = nullptr;
  Value value;
};

Prepared Prepare(const CommandContext& ctx, const ChannelRequest& request, Value fallback) {
  Prepared p;
  p.codec = CodecRegistry::Default().Find(request.codec);
  if (p.codec == nullptr) {
    *ctx.err << "kelvoctl: unknown codec '" << request.codec << "' (known:";
    for (const auto& name : CodecRegistry::Default().Names()) *ctx.err << " " << name;
    *ctx.err << ")\n";
    p.code = kExitUsage;
    return p;
  }
  if (!request.json) {
    p.value = std::move(fallback);
    return p;
  }
  auto parsed = ParseJsonValue(*request.json);
  if (!parsed.ok()) {
    *ctx.err << "kelvoctl: " << parsed.error().message << "\n";
    p.code = kExitBadInput;
    return p;
  }
  p.value = std::move(parsed).value();
  return p;
}

Value ErrorValue(const FlutterError& error) {
  return Value(ValueMap{{"code", Value(error.code)},
                        {"message", error.message ? Value(*error.message) : Value()},
                        {"details", error.details}});
}

// Prints a remote error for both readers: JSON on `out`, a line on `err`.
int ReportError(const CommandContext& ctx, const std::string& channel, const FlutterError& error) {
  *ctx.out << FormatJsonValue(ErrorValue(error)) << "\n";
  *ctx.err << "kelvoctl: '" << channel << "' answered with error " << error.code;
  if (error.message) *ctx.err << ": " << *error.message;
  *ctx.err << "\n";
  return kExitRemoteError;
}

int BadReply(const CommandContext& ctx, const std::string& channel, const std::string& why) {
  *ctx.err << "kelvoctl: the reply on '" << channel << "' " << why << "\n";
  return kExitBadReply;
}

}  // namespace

int CallMethod(const CommandContext& ctx, const ChannelRequest& request,
               const std::string& method) {
  Prepared p = Prepare(ctx, request, Value());
  if (p.code != kExitOk) return p.code;
  EngineSocketClient client;
  if (int code = ConnectTo(client, ctx.engine_socket, kEngineSocket, *ctx.err)) return code;
  Payload reply;
  if (int code =
          Exchange(client, request.channel, p.codec->method->EncodeMethodCall({method, p.value}),
                   ctx.timeout, *ctx.err, &reply)) {
    return code;
  }
  if (!reply) {
    *ctx.err << "kelvoctl: '" << request.channel << "' does not implement '" << method
             << "' (no handler)\n";
    return kExitNoHandler;
  }
  auto envelope = p.codec->method->DecodeEnvelope(*reply);
  if (!envelope.ok()) {
    return BadReply(ctx, request.channel, "does not decode: " + envelope.error().message);
  }
  if (const auto* error = std::get_if<FlutterError>(&envelope.value())) {
    return ReportError(ctx, request.channel, *error);
  }
  *ctx.out << FormatJsonValue(std::get<Value>(envelope.value())) << "\n";
  return kExitOk;
}

int SendMessage(const CommandContext& ctx, const ChannelRequest& request, bool raw) {
  Prepared p = Prepare(ctx, request, raw ? Value() : Value(ValueList{}));
  if (p.code != kExitOk) return p.code;
  EngineSocketClient client;
  if (int code = ConnectTo(client, ctx.engine_socket, kEngineSocket, *ctx.err)) return code;
  Payload reply;
  if (int code = Exchange(client, request.channel, p.codec->message->Encode(p.value), ctx.timeout,
                          *ctx.err, &reply)) {
    return code;
  }
  if (!reply) {
    *ctx.err << "kelvoctl: no handler on '" << request.channel << "'\n";
    return kExitNoHandler;
  }
  auto decoded = p.codec->message->Decode(*reply);
  if (!decoded.ok()) {
    return BadReply(ctx, request.channel, "does not decode: " + decoded.error().message);
  }
  const Value& answer = decoded.value();
  if (raw) {
    *ctx.out << FormatJsonValue(answer) << "\n";
    return kExitOk;
  }
  const auto* list = answer.get_if<ValueList>();
  if (list == nullptr) {
    return BadReply(ctx, request.channel,
                    "is not a typed-message reply (a list): " + FormatJsonValue(answer));
  }
  // As the typed-message convention reads replies: more than one element is
  // the error [code, message, details].
  if (list->size() > 1) {
    FlutterError error;
    if (const auto* code = (*list)[0].get_if<std::string>()) error.code = *code;
    if (const auto* message = (*list)[1].get_if<std::string>()) error.message = *message;
    if (list->size() > 2) error.details = (*list)[2];
    return ReportError(ctx, request.channel, error);
  }
  *ctx.out << FormatJsonValue(list->empty() ? Value() : (*list)[0]) << "\n";
  return kExitOk;
}

namespace {

// What the stream's handler (on the client's I/O thread) shares with the
// waiting command.
struct StreamState {
  std::mutex mu;  // guards the streams and the counters below
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
  uint64_t events = 0;
  std::optional<uint64_t> max_events;
  bool error_events = false;
  std::atomic<bool> ended{false};
  std::atomic<bool> output_closed{false};
  int wake_write = -1;

  void Wake() {
    char b = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_write, &b, 1);
  }
};

class Pipe {
 public:
  Pipe() {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) fds_[0] = fds_[1] = -1;
  }
  ~Pipe() {
    for (int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  bool ok() const { return fds_[0] >= 0; }
  int read_end() const { return fds_[0]; }
  int write_end() const { return fds_[1]; }

 private:
  int fds_[2];
};

// Polls often enough to notice a connection that went away, which no
// callback reports.
constexpr int kPollMillis = 200;

}  // namespace

int Listen(const CommandContext& ctx, const ChannelRequest& request,
           std::optional<uint64_t> max_events, int interrupt_fd) {
  Prepared p = Prepare(ctx, request, Value());
  if (p.code != kExitOk) return p.code;
  Pipe wake;
  if (!wake.ok()) {
    *ctx.err << "kelvoctl: cannot create a pipe\n";
    return kExitLocal;
  }
  auto state = std::make_shared<StreamState>();
  state->out = ctx.out;
  state->err = ctx.err;
  state->max_events = max_events;
  state->wake_write = wake.write_end();

  EngineSocketClient client;
  if (int code = ConnectTo(client, ctx.engine_socket, kEngineSocket, *ctx.err)) return code;
  std::shared_ptr<const MethodCodec> codec = p.codec->method;
  // Installed before "listen": the first events may come before its reply.
  client.SetMessageHandler(request.channel, [state, codec, channel = request.channel](
                                                Payload message, BinaryReply reply) {
    reply(std::nullopt);
    if (state->ended.load()) return;
    if (!message) {
      state->ended = true;
      state->Wake();
      return;
    }
    auto envelope = codec->DecodeEnvelope(*message);
    std::lock_guard lock(state->mu);
    if (!envelope.ok()) {
      // Some services call methods of the interface on their channel
      // instead of sending events (the store's callbacks): show the call.
      if (auto call = codec->DecodeMethodCall(*message); call.ok()) {
        envelope = Result<Envelope>(Envelope(Value(ValueMap{
            {Value("method"), Value(call.value().method)},
            {Value("arguments"), call.value().arguments}})));
      }
    }
    if (!envelope.ok()) {
      *state->err << "kelvoctl: an event on '" << channel
                  << "' does not decode: " << envelope.error().message << "\n";
      state->error_events = true;
      return;
    }
    if (const auto* error = std::get_if<FlutterError>(&envelope.value())) {
      *state->err << "kelvoctl: error event on '" << channel
                  << "': " << FormatJsonValue(ErrorValue(*error)) << "\n";
      state->error_events = true;
      return;
    }
    if (state->max_events && state->events >= *state->max_events) return;
    *state->out << FormatJsonValue(std::get<Value>(envelope.value())) << "\n" << std::flush;
    ++state->events;
    if (!state->out->good()) state->output_closed = true;
    if (state->output_closed || (state->max_events && state->events >= *state->max_events)) {
      state->Wake();
    }
  });

  Payload reply;
  if (int code = Exchange(client, request.channel, codec->EncodeMethodCall({"listen", p.value}),
                          ctx.timeout, *ctx.err, &reply)) {
    client.SetMessageHandler(request.channel, nullptr);
    return code;
  }
  auto refuse = [&](int code) {
    client.SetMessageHandler(request.channel, nullptr);
    return code;
  };
  if (!reply) {
    *ctx.err << "kelvoctl: no stream handler on '" << request.channel << "'\n";
    return refuse(kExitNoHandler);
  }
  auto envelope = codec->DecodeEnvelope(*reply);
  if (!envelope.ok()) {
    return refuse(BadReply(ctx, request.channel, "does not decode: " + envelope.error().message));
  }
  if (const auto* error = std::get_if<FlutterError>(&envelope.value())) {
    int code = 0;
    {
      std::lock_guard lock(state->mu);
      code = ReportError(ctx, request.channel, *error);
    }
    return refuse(code);
  }

  bool lost = false;
  for (;;) {
    {
      std::lock_guard lock(state->mu);
      if (state->ended || state->output_closed || (max_events && state->events >= *max_events)) {
        break;
      }
    }
    if (!client.connected()) {
      lost = true;
      break;
    }
    pollfd fds[2] = {{wake.read_end(), POLLIN, 0}, {interrupt_fd, POLLIN, 0}};
    int n = ::poll(fds, interrupt_fd >= 0 ? 2 : 1, kPollMillis);
    if (n > 0 && interrupt_fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP)) != 0) break;
    char drain[64];
    while (::read(wake.read_end(), drain, sizeof drain) > 0) {
    }
  }
  client.SetMessageHandler(request.channel, nullptr);
  if (lost) {
    std::lock_guard lock(state->mu);
    *ctx.err << "kelvoctl: the engine socket closed during the stream on '" << request.channel
             << "'\n";
    return kExitConnection;
  }
  // As the engine's own listener does, also after the end of the stream; the
  // answer changes nothing (after the end it is "no active stream").
  client.SendAndWait(request.channel, codec->EncodeMethodCall({"cancel", Value()}), ctx.timeout);
  std::lock_guard lock(state->mu);
  return state->error_events ? kExitRemoteError : kExitOk;
}

}  // namespace kelvo
