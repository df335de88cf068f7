// The arguments of a secure storage call: a map from string to value with
// "key" (string), "value" (string) and "options" (a map of string options).
// An entry of another type counts as absent, and so does an option whose
// value is not a string; options that are not a map count as none.
#pragma once

#include <optional>
#include <string>

#include "platform/engine/value.h"
#include "services/secure_storage/keychain_query_parameters.h"

namespace kelvo {

struct ParsedCall {
  KeychainQueryParameters params;
  std::optional<std::string> value;
};

// The call's arguments as a map whose keys are all strings, else null.
const ValueMap* StringKeyedArguments(const Value& arguments);

// The parameters record (with shouldReturnData true, and a 30-second
// authentication context for enclave values) and the "value" argument.
ParsedCall parseCall(const ValueMap& arguments);

}  // namespace kelvo
