#include "platform/engine/typed_messages.h"

#include <atomic>
#include <memory>
#include <typeinfo>

#include "platform/dispatch/task_guard.h"
#include "platform/engine/failure_text.h"

namespace kelvo {

std::string TypedChannelName(const std::string& package, const std::string& api,
                             const std::string& method, const std::string& suffix) {
  std::string name = "dev.flutter.pigeon." + package + "." + api + "." + method;
  if (!suffix.empty()) name += "." + suffix;
  return name;
}

Value WrapResult(const Value& result) { return Value(ValueList{result}); }

Value WrapError(const FlutterError& error) {
  return Value(ValueList{Value(error.code), error.message ? Value(*error.message) : Value(),
                         error.details});
}

Value WrapUnknownError(const std::string& description, const std::string& type_name,
                       const std::string& stack) {
  return Value(ValueList{Value(description), Value(type_name), Value("Stacktrace: " + stack)});
}

Value WrapException(const std::exception& failure) {
  return WrapUnknownError(failure.what(), ReadableTypeName(typeid(failure)), CurrentCallStack());
}

namespace {

FlutterError NotAList(const std::string& channel) {
  return {"bad-request", "request on '" + channel + "' is not an argument list", Value()};
}

// A reply that, dropped unanswered by a queued task that threw, answers the
// failure instead of leaving the caller with no reply at all.
MessageReply GuardedReply(MessageReply reply) {
  struct Pending {
    MessageReply reply;
    std::atomic<bool> answered{false};
    ~Pending() {
      const std::string* failure = CurrentTaskFailure();
      if (failure != nullptr && !answered.exchange(true)) {
        reply(WrapUnknownError(*failure, "TaskFailure", CurrentCallStack()));
      }
    }
  };
  auto pending = std::make_shared<Pending>();
  pending->reply = std::move(reply);
  return [pending](const Value& value) {
    if (!pending->answered.exchange(true)) pending->reply(value);
  };
}

}  // namespace

void SetTypedHandler(BasicMessageChannel& channel, TypedHandler handler) {
  if (!handler) {
    channel.SetMessageHandler(nullptr);
    return;
  }
  SetAsyncTypedHandler(channel, [handler = std::move(handler)](const ValueList& args,
                                                               MessageReply reply) {
    Value answer;
    try {
      answer = WrapResult(handler(args));
    } catch (const FlutterErrorException& e) {
      answer = WrapError(e.error());
    } catch (const std::exception& e) {
      answer = WrapException(e);
    }
    reply(answer);
  });
}

void SetAsyncTypedHandler(BasicMessageChannel& channel, AsyncTypedHandler handler) {
  if (!handler) {
    channel.SetMessageHandler(nullptr);
    return;
  }
  std::string name = channel.name();
  channel.SetMessageHandler(
      [name, handler = std::move(handler)](const Value& message, MessageReply reply) {
        static const ValueList kNoArguments;
        const auto* args = message.is_null() ? &kNoArguments : message.get_if<ValueList>();
        if (args == nullptr) {
          reply(WrapError(NotAList(name)));
          return;
        }
        // Guarded once, so that the catches below answer through the same
        // (at most once) reply the handler was given.
        reply = GuardedReply(std::move(reply));
        try {
          handler(*args, reply);
        } catch (const FlutterErrorException& e) {
          reply(WrapError(e.error()));
        } catch (const std::exception& e) {
          reply(WrapException(e));
        }
      },
      [name](const DecodeError& error, MessageReply reply) {
        reply(WrapError(
            {"bad-request", "request on '" + name + "' does not decode: " + error.message, Value()}));
      });
}

namespace {

FlutterError ConnectionError(const std::string& channel) {
  return {"channel-error", "Unable to establish connection on channel: '" + channel + "'.",
          Value("")};
}

FlutterError MalformedReply(const std::string& channel, const std::string& what) {
  return {"channel-error", "Malformed reply on channel: '" + channel + "': " + what + ".",
          Value("")};
}

// One reply of the interface, read by the list convention.
std::variant<Value, FlutterError> ReadTypedReply(const std::string& channel,
                                                 const std::optional<Value>& reply) {
  const ValueList* list = reply ? reply->get_if<ValueList>() : nullptr;
  if (list == nullptr) return ConnectionError(channel);
  if (list->size() == 1) return (*list)[0];
  if (list->size() != 3) {
    return MalformedReply(channel, "a list of " + std::to_string(list->size()) + " elements");
  }
  const auto* code = (*list)[0].get_if<std::string>();
  const Value& message = (*list)[1];
  if (code == nullptr || !(message.is_null() || message.is_string())) {
    return MalformedReply(channel, "an error whose code or message is not text");
  }
  return FlutterError{*code,
                      message.is_null() ? std::nullopt : std::optional(message.as_string()),
                      (*list)[2]};
}

}  // namespace

void CallTypedApi(BasicMessageChannel& channel, const ValueList& arguments,
                  std::function<void(std::variant<Value, FlutterError>)> done) {
  std::string name = channel.name();
  channel.Send(Value(arguments), [name, done = std::move(done)](std::optional<Value> reply) {
    done(ReadTypedReply(name, reply));
  });
}

const Value& TypedArgument(const ValueList& arguments, size_t index, const char* name) {
  if (index >= arguments.size()) {
    throw FlutterErrorException(
        {"bad-request", std::string("missing argument '") + name + "'", Value()});
  }
  return arguments[index];
}

void ThrowBadArgument(const char* name, const std::string& what) {
  throw FlutterErrorException(
      {"bad-request", std::string("argument '") + name + "' must be " + what, Value()});
}

const std::string& TypedStringArgument(const ValueList& arguments, size_t index,
                                       const char* name) {
  const auto* s = TypedArgument(arguments, index, name).get_if<std::string>();
  if (s == nullptr) ThrowBadArgument(name, "a string");
  return *s;
}

std::optional<std::string> TypedOptionalStringArgument(const ValueList& arguments, size_t index,
                                                       const char* name) {
  const Value& v = TypedArgument(arguments, index, name);
  if (v.is_null()) return std::nullopt;
  const auto* s = v.get_if<std::string>();
  if (s == nullptr) ThrowBadArgument(name, "a string or null");
  return *s;
}

int64_t TypedIntArgument(const ValueList& arguments, size_t index, const char* name) {
  const auto* i = TypedArgument(arguments, index, name).get_if<int64_t>();
  if (i == nullptr) ThrowBadArgument(name, "an integer");
  return *i;
}

std::vector<std::string> TypedStringListArgument(const ValueList& arguments, size_t index,
                                                 const char* name) {
  const auto* list = TypedArgument(arguments, index, name).get_if<ValueList>();
  if (list == nullptr) ThrowBadArgument(name, "a list of strings");
  std::vector<std::string> strings;
  strings.reserve(list->size());
  for (const Value& element : *list) {
    const auto* s = element.get_if<std::string>();
    if (s == nullptr) ThrowBadArgument(name, "a list of strings");
    strings.push_back(*s);
  }
  return strings;
}

std::optional<ValueMap> TypedOptionalMapArgument(const ValueList& arguments, size_t index,
                                                 const char* name) {
  const Value& v = TypedArgument(arguments, index, name);
  if (v.is_null()) return std::nullopt;
  const auto* map = v.get_if<ValueMap>();
  if (map == nullptr) ThrowBadArgument(name, "a map or null");
  return *map;
}

}  // namespace kelvo
