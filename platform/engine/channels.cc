#include "platform/engine/channels.h"

#include <mutex>

#include "platform/dispatch/task_guard.h"

namespace kelvo {

MethodResult::MethodResult(const MethodCodec& codec, BinaryReply reply)
    : codec_(codec), reply_(std::move(reply)) {}

MethodResult::~MethodResult() {
  if (!Claim() || !reply_) return;
  // Dropped by a task that threw: the caller learns that it failed.
  if (const std::string* failure = CurrentTaskFailure()) {
    reply_(codec_.EncodeErrorEnvelope({"internal-error", "request failed: " + *failure, Value()}));
  } else {
    reply_(std::nullopt);
  }
}

void MethodResult::Success(const Value& result) {
  if (Claim() && reply_) reply_(codec_.EncodeSuccessEnvelope(result));
}

void MethodResult::Error(const std::string& code, std::optional<std::string> message,
                         const Value& details) {
  if (Claim() && reply_) reply_(codec_.EncodeErrorEnvelope({code, std::move(message), details}));
}

void MethodResult::NotImplemented() {
  if (Claim() && reply_) reply_(std::nullopt);
}

MethodChannel::MethodChannel(BinaryMessenger* messenger, std::string name,
                             const MethodCodec* codec)
    : messenger_(messenger), name_(std::move(name)), codec_(codec) {}

void MethodChannel::SetMethodCallHandler(MethodCallHandler handler) {
  if (!handler) {
    messenger_->SetMessageHandler(name_, nullptr);
    return;
  }
  const MethodCodec* codec = codec_;
  messenger_->SetMessageHandler(
      name_, [codec, name = name_, handler = std::move(handler)](Payload message,
                                                                  BinaryReply reply) {
        auto result = std::make_shared<MethodResult>(*codec, std::move(reply));
        if (!message) {
          result->Error("bad-call", "empty method call on '" + name + "'");
          return;
        }
        auto call = codec->DecodeMethodCall(*message);
        if (!call.ok()) {
          result->Error("bad-call", "method call on '" + name +
                                        "' does not decode: " + call.error().message);
          return;
        }
        handler(std::move(call).value(), std::move(result));
      });
}

void MethodChannel::InvokeMethod(const std::string& method, const Value& arguments,
                                 std::function<void(MethodResponse)> on_response) {
  BinaryReply reply;
  if (on_response) {
    const MethodCodec* codec = codec_;
    reply = [codec, on_response = std::move(on_response)](Payload data) {
      MethodResponse response;
      if (!data) {
        on_response(std::move(response));  // not implemented
        return;
      }
      auto envelope = codec->DecodeEnvelope(*data);
      if (!envelope.ok()) {
        response.kind = MethodResponse::Kind::kError;
        response.error = {"bad-envelope", envelope.error().message, Value()};
      } else if (auto* value = std::get_if<Value>(&envelope.value())) {
        response.kind = MethodResponse::Kind::kSuccess;
        response.result = std::move(*value);
      } else {
        response.kind = MethodResponse::Kind::kError;
        response.error = std::get<FlutterError>(std::move(envelope).value());
      }
      on_response(std::move(response));
    };
  }
  messenger_->Send(name_, codec_->EncodeMethodCall({method, arguments}), std::move(reply));
}

namespace {

// One listening stream: live from an accepted "listen" until "cancel", the
// end of the stream or a new "listen".
class StreamSink : public EventSink {
 public:
  StreamSink(BinaryMessenger* messenger, std::string name, const MethodCodec* codec)
      : messenger_(messenger), name_(std::move(name)), codec_(codec) {}

  void Success(const Value& event) override {
    if (Live()) messenger_->Send(name_, codec_->EncodeSuccessEnvelope(event), nullptr);
  }
  void Error(const FlutterError& error) override {
    if (Live()) messenger_->Send(name_, codec_->EncodeErrorEnvelope(error), nullptr);
  }
  void EndOfStream() override {
    if (Close()) messenger_->Send(name_, std::nullopt, nullptr);
  }
  bool Close() { return !closed_.exchange(true); }

 private:
  bool Live() const { return !closed_.load(); }

  BinaryMessenger* messenger_;
  std::string name_;
  const MethodCodec* codec_;
  std::atomic<bool> closed_{false};
};

}  // namespace

EventChannel::EventChannel(BinaryMessenger* messenger, std::string name,
                           const MethodCodec* codec)
    : messenger_(messenger), name_(std::move(name)), codec_(codec) {}

void EventChannel::SetStreamHandler(std::shared_ptr<StreamHandler> handler) {
  if (!handler) {
    messenger_->SetMessageHandler(name_, nullptr);
    return;
  }
  struct State {
    std::mutex mu;
    std::shared_ptr<StreamSink> sink;
  };
  auto state = std::make_shared<State>();
  messenger_->SetMessageHandler(name_, [this_messenger = messenger_, name = name_, codec = codec_,
                                        handler, state](Payload message, BinaryReply reply) {
    MethodResult result(*codec, std::move(reply));
    if (!message) {
      result.Error("error", "empty stream request");
      return;
    }
    auto call = codec->DecodeMethodCall(*message);
    if (!call.ok()) {
      result.Error("error", "stream request does not decode: " + call.error().message);
      return;
    }
    std::shared_ptr<StreamSink> previous;
    if (call.value().method == "listen") {
      auto sink = std::make_shared<StreamSink>(this_messenger, name, codec);
      {
        std::lock_guard lock(state->mu);
        previous = std::exchange(state->sink, sink);
      }
      // A second listen replaces the first stream, as the engine does.
      if (previous && previous->Close()) handler->OnCancel(Value());
      if (auto error = handler->OnListen(call.value().arguments, sink)) {
        sink->Close();
        result.Error(*error);
      } else {
        result.Success();
      }
    } else if (call.value().method == "cancel") {
      {
        std::lock_guard lock(state->mu);
        previous = std::exchange(state->sink, nullptr);
      }
      if (!previous || !previous->Close()) {
        result.Error("error", "No active stream to cancel");
        return;
      }
      if (auto error = handler->OnCancel(call.value().arguments)) {
        result.Error(*error);
      } else {
        result.Success();
      }
    } else {
      result.NotImplemented();
    }
  });
}

BasicMessageChannel::BasicMessageChannel(BinaryMessenger* messenger, std::string name,
                                         const StandardCodec* codec)
    : messenger_(messenger), name_(std::move(name)), codec_(codec) {}

void BasicMessageChannel::SetMessageHandler(MessageHandler handler,
                                            UndecodableHandler on_undecodable) {
  if (!handler) {
    messenger_->SetMessageHandler(name_, nullptr);
    return;
  }
  const StandardCodec* codec = codec_;
  messenger_->SetMessageHandler(
      name_, [codec, handler = std::move(handler), on_undecodable = std::move(on_undecodable)](
                 Payload message, BinaryReply reply) {
        std::optional<DecodeError> undecodable;
        Value decoded;
        if (message) {
          auto r = codec->Decode(*message);
          if (r.ok()) {
            decoded = std::move(r).value();
          } else {
            undecodable = r.error();
          }
        }
        if (undecodable && !on_undecodable) {
          reply(std::nullopt);
          return;
        }
        auto once = std::make_shared<std::atomic<bool>>(false);
        MessageReply answer = [codec, reply = std::move(reply), once](const Value& value) {
          if (!once->exchange(true)) reply(codec->Encode(value));
        };
        if (undecodable) {
          on_undecodable(*undecodable, std::move(answer));
        } else {
          handler(decoded, std::move(answer));
        }
      });
}

void BasicMessageChannel::Send(const Value& message,
                               std::function<void(std::optional<Value>)> on_reply) {
  BinaryReply reply;
  if (on_reply) {
    const StandardCodec* codec = codec_;
    reply = [codec, on_reply = std::move(on_reply)](Payload data) {
      if (!data) {
        on_reply(std::nullopt);
        return;
      }
      auto r = codec->Decode(*data);
      on_reply(r.ok() ? std::optional<Value>(std::move(r).value()) : std::nullopt);
    };
  }
  messenger_->Send(name_, codec_->Encode(message), std::move(reply));
}

}  // namespace kelvo
