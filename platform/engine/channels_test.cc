#include "platform/engine/channels.h"

#include <gtest/gtest.h>

#include "platform/dispatch/virtual_dispatch.h"
#include "platform/engine/in_process_messenger.h"
#include "platform/engine/typed_messages.h"

namespace kelvo {
namespace {

const MethodCodec& M() { return MethodCodec::Standard(); }
const StandardCodec& S() { return StandardCodec::Instance(); }

class ChannelsTest : public ::testing::Test {
 protected:
  // Sends from the interface side and returns the native reply.
  std::optional<Payload> Call(const std::string& channel, Payload message) {
    std::optional<Payload> reply;
    messenger.SendFromInterface(channel, std::move(message), [&](Payload r) { reply = r; });
    dispatch.RunUntilIdle();
    return reply;
  }
  Envelope CallMethod(const std::string& channel, const std::string& method, const Value& args) {
    auto reply = Call(channel, M().EncodeMethodCall({method, args}));
    EXPECT_TRUE(reply && *reply);
    if (!reply || !*reply) return FlutterError{"no reply", std::nullopt, Value()};
    auto envelope = M().DecodeEnvelope(**reply);
    EXPECT_TRUE(envelope.ok());
    return envelope.ok() ? envelope.value() : Envelope(Value());
  }
  Value CallTyped(const std::string& channel, const Value& request) {
    auto reply = Call(channel, S().Encode(request));
    EXPECT_TRUE(reply && *reply);
    if (!reply || !*reply) return Value();
    return S().Decode(**reply).value();
  }

  VirtualDispatch dispatch;
  InProcessMessenger messenger{dispatch.MainQueue()};
};

TEST_F(ChannelsTest, MethodCallsAnswerOnceWithValueErrorOrNothing) {
  MethodChannel channel(&messenger, "svc");
  std::shared_ptr<MethodResult> kept;
  channel.SetMethodCallHandler([&](const MethodCall& call, std::shared_ptr<MethodResult> result) {
    if (call.method == "echo") {
      result->Success(call.arguments);
      result->Error("LATE");  // ignored: already answered
    } else if (call.method == "fail") {
      result->Error("BAD_ARGS", "bad", Value(1));
    } else if (call.method == "later") {
      kept = result;
    }
    // any other method: the result is dropped unanswered
  });
  EXPECT_EQ(std::get<Value>(CallMethod("svc", "echo", Value(ValueList{Value(1.5)}))),
            Value(ValueList{Value(1.5)}));
  EXPECT_EQ(std::get<FlutterError>(CallMethod("svc", "fail", Value())),
            (FlutterError{"BAD_ARGS", std::string("bad"), Value(1)}));
  EXPECT_EQ(Call("svc", M().EncodeMethodCall({"unknown", Value()})), std::optional<Payload>(Payload()))
      << "an unanswered call replies not-implemented";

  std::optional<Payload> later;
  messenger.SendFromInterface("svc", M().EncodeMethodCall({"later", Value()}),
                              [&](Payload r) { later = r; });
  dispatch.RunUntilIdle();
  EXPECT_FALSE(later);
  kept->Success(Value("done"));
  dispatch.RunUntilIdle();
  ASSERT_TRUE(later && *later);

  // Garbage is answered with an error, never a crash.
  auto garbage = Call("svc", std::vector<uint8_t>{0xff, 0x01});
  ASSERT_TRUE(garbage && *garbage);
  EXPECT_TRUE(std::holds_alternative<FlutterError>(M().DecodeEnvelope(**garbage).value()));
  EXPECT_EQ(Call("nobody", M().EncodeMethodCall({"x", Value()})), std::optional<Payload>(Payload()));
}

TEST_F(ChannelsTest, InvokeMethodTowardTheInterface) {
  messenger.SetInterfaceHandler("cb", [](Payload message, BinaryReply reply) {
    auto call = M().DecodeMethodCall(*message).value();
    if (call.method == "ok") reply(M().EncodeSuccessEnvelope(call.arguments));
    else if (call.method == "err") reply(M().EncodeErrorEnvelope({"E", std::nullopt, Value()}));
    else reply(std::nullopt);
  });
  MethodChannel channel(&messenger, "cb");
  std::vector<MethodResponse> responses;
  for (const char* m : {"ok", "err", "none"}) {
    channel.InvokeMethod(m, Value(7), [&](MethodResponse r) { responses.push_back(r); });
  }
  dispatch.RunUntilIdle();
  ASSERT_EQ(responses.size(), 3u);
  EXPECT_EQ(responses[0].kind, MethodResponse::Kind::kSuccess);
  EXPECT_EQ(responses[0].result, Value(7));
  EXPECT_EQ(responses[1].kind, MethodResponse::Kind::kError);
  EXPECT_EQ(responses[1].error.code, "E");
  EXPECT_EQ(responses[2].kind, MethodResponse::Kind::kNotImplemented);
}

class CountingStream : public StreamHandler {
 public:
  std::optional<FlutterError> OnListen(const Value& args, std::shared_ptr<EventSink> s) override {
    listens++;
    if (args == Value("refuse")) return FlutterError{"NOPE", std::nullopt, Value()};
    sink = std::move(s);
    return std::nullopt;
  }
  std::optional<FlutterError> OnCancel(const Value&) override {
    cancels++;
    return std::nullopt;
  }
  std::shared_ptr<EventSink> sink;
  int listens = 0, cancels = 0;
};

TEST_F(ChannelsTest, EventStreamsListenSendAndCancel) {
  auto handler = std::make_shared<CountingStream>();
  EventChannel channel(&messenger, "events");
  channel.SetStreamHandler(handler);

  EXPECT_TRUE(std::holds_alternative<FlutterError>(CallMethod("events", "listen", Value("refuse"))));
  EXPECT_TRUE(std::holds_alternative<Value>(CallMethod("events", "listen", Value())));
  handler->sink->Success(Value(true));
  handler->sink->Error({"E", std::string("m"), Value()});
  auto sent = messenger.sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].channel, "events");
  EXPECT_EQ(std::get<Value>(M().DecodeEnvelope(*sent[0].message).value()), Value(true));
  EXPECT_EQ(std::get<FlutterError>(M().DecodeEnvelope(*sent[1].message).value()).code, "E");

  EXPECT_TRUE(std::holds_alternative<Value>(CallMethod("events", "cancel", Value())));
  EXPECT_EQ(handler->cancels, 1);
  handler->sink->Success(Value(1));  // after cancel: dropped
  EXPECT_EQ(messenger.sent().size(), 2u);
  EXPECT_TRUE(std::holds_alternative<FlutterError>(CallMethod("events", "cancel", Value())))
      << "cancel without a stream";

  CallMethod("events", "listen", Value());
  handler->sink->EndOfStream();
  handler->sink->EndOfStream();
  sent = messenger.sent();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_FALSE(sent[2].message) << "end of stream is a message without payload";
}

TEST_F(ChannelsTest, TypedMessagesFollowTheListConvention) {
  EXPECT_EQ(TypedChannelName("pkg", "Api", "get"), "dev.flutter.pigeon.pkg.Api.get");
  EXPECT_EQ(TypedChannelName("pkg", "Api", "get", "x"), "dev.flutter.pigeon.pkg.Api.get.x");

  BasicMessageChannel channel(&messenger, "dev.flutter.pigeon.pkg.Api.get");
  SetTypedHandler(channel, [](const ValueList& args) -> Value {
    const Value& key = TypedArgument(args, 0, "key");
    if (key == Value("flutter")) throw FlutterErrorException({"Argument Error", std::string("m"), Value("")});
    return key;
  });
  EXPECT_EQ(CallTyped(channel.name(), Value(ValueList{Value("k")})), Value(ValueList{Value("k")}));
  EXPECT_EQ(CallTyped(channel.name(), Value(ValueList{Value("flutter")})),
            Value(ValueList{Value("Argument Error"), Value("m"), Value("")}));
  // Wrong shapes get an error reply.
  EXPECT_EQ(CallTyped(channel.name(), Value(ValueList{})).as_list().size(), 3u);
  EXPECT_EQ(CallTyped(channel.name(), Value("not a list")).as_list().size(), 3u);
}

// Any other failure: description, readable dynamic type name, and a stack
// after "Stacktrace: ", from the synchronous and the asynchronous handler.
struct DiskFull : std::runtime_error {
  DiskFull() : std::runtime_error("no space left") {}
};

TEST_F(ChannelsTest, UnknownFailuresAnswerTheErrorTriplet) {
  BasicMessageChannel sync(&messenger, "dev.flutter.pigeon.pkg.Api.sync");
  SetTypedHandler(sync, [](const ValueList& args) -> Value {
    if (args.empty()) throw DiskFull();
    throw std::out_of_range("index 7");
  });
  BasicMessageChannel async(&messenger, "dev.flutter.pigeon.pkg.Api.async");
  SetAsyncTypedHandler(async, [](const ValueList&, MessageReply) -> void {
    throw std::invalid_argument("bad");
  });
  struct Case {
    std::string channel;
    Value request;
    std::string code;
    std::string type_name;
  };
  for (const Case& c : std::vector<Case>{
           {sync.name(), Value(ValueList{Value(1)}), "index 7", "std::out_of_range"},
           {sync.name(), Value(ValueList{}), "no space left", "kelvo::(anonymous namespace)::DiskFull"},
           {async.name(), Value(ValueList{}), "bad", "std::invalid_argument"},
       }) {
    Value reply = CallTyped(c.channel, c.request);
    ASSERT_TRUE(reply.is_list() && reply.as_list().size() == 3u) << reply;
    const ValueList& triplet = reply.as_list();
    EXPECT_EQ(triplet[0], Value(c.code));
    EXPECT_EQ(triplet[1], Value(c.type_name));
    ASSERT_TRUE(triplet[2].is_string());
    const std::string& details = triplet[2].as_string();
    EXPECT_EQ(details.rfind("Stacktrace: ", 0), 0u) << details;
    // At least the handler's own frame and the one that called it.
    EXPECT_NE(details.find('\n'), std::string::npos) << details;
  }
}

TEST_F(ChannelsTest, TypedCallsTowardTheInterface) {
  BasicMessageChannel channel(&messenger, "dev.flutter.pigeon.pkg.Cb.on");
  std::vector<std::variant<Value, FlutterError>> results;
  auto record = [&](std::variant<Value, FlutterError> r) { results.push_back(std::move(r)); };

  CallTypedApi(channel, {Value(1)}, record);  // no handler: not a list
  messenger.SetInterfaceHandler(channel.name(), [](Payload m, BinaryReply reply) {
    Value args = S().Decode(*m).value();
    if (args.as_list()[0] == Value(2)) {
      reply(S().Encode(Value(ValueList{Value("CODE"), Value("msg"), Value(3)})));
    } else {
      reply(S().Encode(Value(ValueList{Value("ok")})));
    }
  });
  CallTypedApi(channel, {Value(2)}, record);
  CallTypedApi(channel, {Value(3)}, record);
  dispatch.RunUntilIdle();
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(std::get<FlutterError>(results[0]),
            (FlutterError{"channel-error",
                          std::string("Unable to establish connection on channel: "
                                      "'dev.flutter.pigeon.pkg.Cb.on'."),
                          Value("")}));
  EXPECT_EQ(std::get<FlutterError>(results[1]), (FlutterError{"CODE", std::string("msg"), Value(3)}));
  EXPECT_EQ(std::get<Value>(results[2]), Value("ok"));
}

// Only a three-element list is an error and only a one-element list a
// result; every other shape is a malformed reply, never read as either.
TEST_F(ChannelsTest, TypedRepliesOfOtherShapesAreMalformed) {
  BasicMessageChannel channel(&messenger, "dev.flutter.pigeon.pkg.Cb.on");
  Value answer;
  messenger.SetInterfaceHandler(channel.name(),
                                [&](Payload, BinaryReply reply) { reply(S().Encode(answer)); });
  auto call = [&](Value reply) {
    answer = std::move(reply);
    std::optional<std::variant<Value, FlutterError>> result;
    CallTypedApi(channel, {}, [&](std::variant<Value, FlutterError> r) { result = std::move(r); });
    dispatch.RunUntilIdle();
    EXPECT_TRUE(result.has_value());
    return result.value_or(Value("no answer"));
  };
  auto malformed = [](const std::string& what) {
    return FlutterError{"channel-error",
                        "Malformed reply on channel: 'dev.flutter.pigeon.pkg.Cb.on': " + what + ".",
                        Value("")};
  };
  using R = std::variant<Value, FlutterError>;
  const std::pair<Value, std::string> bad[] = {
      {Value(ValueList{}), "a list of 0 elements"},
      {Value(ValueList{Value("CODE"), Value("msg")}), "a list of 2 elements"},
      {Value(ValueList{Value("CODE"), Value("msg"), Value(), Value("extra")}), "a list of 4 elements"},
      {Value(ValueList{Value(7), Value("msg"), Value()}), "an error whose code or message is not text"},
  };
  for (const auto& [reply, what] : bad) EXPECT_EQ(call(reply), R(malformed(what))) << what;
  // A result that is itself a list stays a result; a null message is none.
  EXPECT_EQ(call(Value(ValueList{Value(ValueList{Value(1), Value(2)})})),
            R(Value(ValueList{Value(1), Value(2)})));
  EXPECT_EQ(call(Value(ValueList{Value("CODE"), Value(), Value()})),
            R(FlutterError{"CODE", std::nullopt, Value()}));
}

// A handler that hands its reply to a queued task which then throws: the
// process goes on, later tasks run, and the caller gets an error, never
// silence.
TEST_F(ChannelsTest, TasksThatThrowAnswerTheirPendingRepliesWithAnError) {
  auto worker = dispatch.CreateSerialQueue("worker");
  MethodChannel method(&messenger, "svc");
  method.SetMethodCallHandler([&](MethodCall, std::shared_ptr<MethodResult> result) {
    worker->Async([result] { throw std::runtime_error("disk on fire"); });
  });
  auto envelope = CallMethod("svc", "m", Value());
  const auto* error = std::get_if<FlutterError>(&envelope);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code, "internal-error");
  EXPECT_NE(error->message->find("disk on fire"), std::string::npos);

  BasicMessageChannel typed(&messenger, "typed", &S());
  SetAsyncTypedHandler(typed, [&](const ValueList&, MessageReply reply) {
    worker->Async([reply] { throw std::logic_error("bad state"); });
  });
  Value reply = CallTyped("typed", Value(ValueList{}));
  ASSERT_TRUE(reply.is_list());
  ASSERT_EQ(reply.as_list().size(), 3u);
  EXPECT_EQ(reply.as_list()[0], Value("bad state"));

  // A task that throws after answering changes nothing, and the queue lives on.
  bool later = false;
  method.SetMethodCallHandler([&](MethodCall, std::shared_ptr<MethodResult> result) {
    worker->Async([result] {
      result->Success(Value(1));
      throw std::runtime_error("after");
    });
    worker->Async([&] { later = true; });
  });
  EXPECT_EQ(std::get<Value>(CallMethod("svc", "m", Value())), Value(1));
  EXPECT_TRUE(later);
}

}  // namespace
}  // namespace kelvo
