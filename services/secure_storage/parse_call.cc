#include "services/secure_storage/parse_call.h"

namespace kelvo {
namespace {

std::optional<std::string> StringEntry(const ValueMap& map, const char* name) {
  const Value* v = map.find(name);
  if (!v || !v->is_string()) return std::nullopt;
  return v->as_string();
}

// Exactly "true" or "false"; anything else leaves the field absent.
std::optional<bool> TriState(const ValueMap& options, const char* name) {
  std::optional<std::string> s = StringEntry(options, name);
  if (s == "true") return true;
  if (s == "false") return false;
  return std::nullopt;
}

}  // namespace

const ValueMap* StringKeyedArguments(const Value& arguments) {
  const ValueMap* map = arguments.get_if<ValueMap>();
  if (!map) return nullptr;
  for (const auto& [key, value] : *map) {
    if (!key.is_string()) return nullptr;
  }
  return map;
}

ParsedCall parseCall(const ValueMap& arguments) {
  static const ValueMap kNoOptions;
  const Value* options_value = arguments.find("options");
  const ValueMap* found = options_value ? options_value->get_if<ValueMap>() : nullptr;
  const ValueMap& options = found ? *found : kNoOptions;

  ParsedCall parsed;
  KeychainQueryParameters& p = parsed.params;
  p.key = StringEntry(arguments, "key");
  p.accessGroup = StringEntry(options, "groupId");
  p.service = StringEntry(options, "accountName");
  p.isSynchronizable = TriState(options, "synchronizable");
  p.accessibilityLevel = StringEntry(options, "accessibility");
  // Only the exact "false" turns it off.
  p.usesDataProtectionKeychain = StringEntry(options, "usesDataProtectionKeychain") != "false";
  p.shouldReturnData = true;
  p.itemLabel = StringEntry(options, "label");
  p.itemDescription = StringEntry(options, "description");
  p.itemComment = StringEntry(options, "comment");
  p.isHidden = TriState(options, "isHidden");
  p.isPlaceholder = TriState(options, "isPlaceholder");
  p.shouldReturnPersistentReference = TriState(options, "persistentReference");
  p.authenticationUIBehavior = StringEntry(options, "authenticationUIBehavior");
  p.accessControlFlags = StringEntry(options, "accessControlFlags");
  p.useSecureEnclave = TriState(options, "useSecureEnclave");
  if (p.useSecureEnclave == true) {
    p.authenticationContext = std::make_shared<LAContext>();
    p.authenticationContext->touchIDAuthenticationAllowableReuseDuration = 30;
  }
  parsed.value = StringEntry(arguments, "value");
  return parsed;
}

}  // namespace kelvo
