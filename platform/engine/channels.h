// Channels over a BinaryMessenger: method channels, event channels, basic
// message channels. A channel object is a light handle: it does not own the
// messenger (which must outlive it) and installing a handler on a channel
// replaces the previous one, as on the engine.
//
// Threading: handlers run where the messenger delivers (the main queue);
// results and event sinks may be used from any thread, each answer once.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/engine/binary_messenger.h"
#include "platform/engine/method_codec.h"

namespace kelvo {

// The answer to one method call. Exactly one of Success, Error or
// NotImplemented takes effect; later calls are ignored. A result destroyed
// without an answer replies "not implemented" so the caller never waits for
// ever.
class MethodResult {
 public:
  MethodResult(const MethodCodec& codec, BinaryReply reply);
  ~MethodResult();
  MethodResult(const MethodResult&) = delete;
  MethodResult& operator=(const MethodResult&) = delete;

  void Success(const Value& result = Value());
  void Error(const std::string& code, std::optional<std::string> message = std::nullopt,
             const Value& details = Value());
  void Error(const FlutterError& error) { Error(error.code, error.message, error.details); }
  void NotImplemented();

 private:
  bool Claim() { return !answered_.exchange(true); }

  const MethodCodec& codec_;
  BinaryReply reply_;
  std::atomic<bool> answered_{false};
};

// The call is handed over by value: a handler that keeps it (to finish on
// another queue) moves it instead of copying a possibly large argument tree.
using MethodCallHandler =
    std::function<void(MethodCall call, std::shared_ptr<MethodResult> result)>;

// What a native-to-interface method call came back with.
struct MethodResponse {
  enum class Kind { kSuccess, kError, kNotImplemented };
  Kind kind = Kind::kNotImplemented;
  Value result;        // kSuccess
  FlutterError error;  // kError (also a reply that did not decode)
};

class MethodChannel {
 public:
  MethodChannel(BinaryMessenger* messenger, std::string name,
                const MethodCodec* codec = &MethodCodec::Standard());

  const std::string& name() const { return name_; }
  // An empty handler removes it. Calls that do not decode are answered
  // with an error envelope.
  void SetMethodCallHandler(MethodCallHandler handler);
  void InvokeMethod(const std::string& method, const Value& arguments,
                    std::function<void(MethodResponse)> on_response = nullptr);

 private:
  BinaryMessenger* messenger_;
  std::string name_;
  const MethodCodec* codec_;
};

// Sends events of one listening stream. Safe from any thread; after
// EndOfStream (or after the listener cancelled) nothing more is sent.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void Success(const Value& event) = 0;
  virtual void Error(const FlutterError& error) = 0;
  virtual void EndOfStream() = 0;
};

class StreamHandler {
 public:
  virtual ~StreamHandler() = default;
  // nullopt accepts the listen; an error is sent back as its reply.
  virtual std::optional<FlutterError> OnListen(const Value& arguments,
                                               std::shared_ptr<EventSink> sink) = 0;
  virtual std::optional<FlutterError> OnCancel(const Value& arguments) = 0;
};

class EventChannel {
 public:
  EventChannel(BinaryMessenger* messenger, std::string name,
               const MethodCodec* codec = &MethodCodec::Standard());
  // The handler is shared with the channel's message handler; nullptr
  // removes it.
  void SetStreamHandler(std::shared_ptr<StreamHandler> handler);

 private:
  BinaryMessenger* messenger_;
  std::string name_;
  const MethodCodec* codec_;
};

using MessageReply = std::function<void(const Value& reply)>;
using MessageHandler = std::function<void(const Value& message, MessageReply reply)>;
// Answers a message that does not decode (it gets the decoder's complaint).
using UndecodableHandler = std::function<void(const DecodeError& error, MessageReply reply)>;

class BasicMessageChannel {
 public:
  BasicMessageChannel(BinaryMessenger* messenger, std::string name,
                      const StandardCodec* codec = &StandardCodec::Instance());
  const std::string& name() const { return name_; }
  const StandardCodec& codec() const { return *codec_; }
  // A message that does not decode goes to `on_undecodable` when given,
  // else it gets no reply data.
  void SetMessageHandler(MessageHandler handler, UndecodableHandler on_undecodable = nullptr);
  // `on_reply` gets the decoded reply, or nullopt when there was none or it
  // did not decode.
  void Send(const Value& message, std::function<void(std::optional<Value>)> on_reply = nullptr);

 private:
  BinaryMessenger* messenger_;
  std::string name_;
  const StandardCodec* codec_;
};

}  // namespace kelvo
