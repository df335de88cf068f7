// The typed-message convention every service API follows on basic message
// channels:
//   name     "dev.flutter.pigeon." + package + "." + api + "." + method
//            (+ "." + suffix when the suffix is not empty)
//   request  the list of arguments in declaration order
//   success  a one-element list holding the result (null for none)
//   error    the list [code, message, details]
// Calls toward the interface whose reply is not a list fail with
// "channel-error"; a three-element reply becomes an error with its fields, a
// one-element one is the result, and a list of any other length (or an
// error whose code is not a string) is a malformed reply: a "channel-error"
// saying so, never a result or an error built from the wrong fields.
#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "platform/engine/channels.h"

namespace kelvo {

std::string TypedChannelName(const std::string& package, const std::string& api,
                             const std::string& method, const std::string& suffix = "");

Value WrapResult(const Value& result);
Value WrapError(const FlutterError& error);
// Any other failure: its description, its type name and "Stacktrace: " +
// the call stack as far as it is known.
Value WrapUnknownError(const std::string& description, const std::string& type_name,
                       const std::string& stack = "");
// WrapUnknownError for a caught exception: what(), its readable dynamic
// type name ("std::runtime_error") and the stack of the caller here.
Value WrapException(const std::exception& failure);

// Thrown by typed handlers to answer with a FlutterError.
class FlutterErrorException : public std::runtime_error {
 public:
  explicit FlutterErrorException(FlutterError error)
      : std::runtime_error(error.code), error_(std::move(error)) {}
  const FlutterError& error() const { return error_; }

 private:
  FlutterError error_;
};

// A synchronous typed handler: gets the request's argument list (a message
// that does not decode, or is neither a list nor null, is refused with
// "bad-request" before the handler runs; null, which the interface sends
// for a method without arguments, is the empty list) and returns the
// result; throwing FlutterErrorException answers with that error, any other
// exception with WrapException.
using TypedHandler = std::function<Value(const ValueList& arguments)>;
// An asynchronous one answers through `reply` with WrapResult / WrapError.
using AsyncTypedHandler = std::function<void(const ValueList& arguments, MessageReply reply)>;

void SetTypedHandler(BasicMessageChannel& channel, TypedHandler handler);
void SetAsyncTypedHandler(BasicMessageChannel& channel, AsyncTypedHandler handler);

// Calls an interface-side API: `done` gets the result or the error.
void CallTypedApi(BasicMessageChannel& channel, const ValueList& arguments,
                  std::function<void(std::variant<Value, FlutterError>)> done);

// The argument at `index` if present, else a FlutterErrorException naming
// the problem (requests of the wrong shape get an error reply, never a
// crash).
const Value& TypedArgument(const ValueList& arguments, size_t index, const char* name);

// Throws the "bad-request" error "argument '<name>' must be <what>".
[[noreturn]] void ThrowBadArgument(const char* name, const std::string& what);
// The argument at `index` of one type, else ThrowBadArgument.
const std::string& TypedStringArgument(const ValueList& arguments, size_t index,
                                       const char* name);
std::optional<std::string> TypedOptionalStringArgument(const ValueList& arguments, size_t index,
                                                       const char* name);
int64_t TypedIntArgument(const ValueList& arguments, size_t index, const char* name);
std::vector<std::string> TypedStringListArgument(const ValueList& arguments, size_t index,
                                                 const char* name);
std::optional<ValueMap> TypedOptionalMapArgument(const ValueList& arguments, size_t index,
                                                 const char* name);

}  // namespace kelvo
