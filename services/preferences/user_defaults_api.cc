#include "services/preferences/user_defaults_api.h"

#include <functional>
#include <span>
#include <utility>

#include "platform/engine/channels.h"
#include "platform/engine/typed_messages.h"

namespace kelvo {
namespace {

constexpr const char* kCurrentApi = "UserDefaultsApi";
constexpr const char* kLegacyApi = "LegacyUserDefaultsApi";

const char* const kCurrentMethods[] = {"set", "clear", "getAll", "getValue", "getKeys"};
const char* const kLegacyMethods[] = {"remove",   "setBool", "setDouble",
                                      "setValue", "getAll",  "clear"};

bool BoolArg(const ValueList& args, size_t index, const char* name) {
  const auto* b = TypedArgument(args, index, name).get_if<bool>();
  if (b == nullptr) ThrowBadArgument(name, "a boolean");
  return *b;
}

double DoubleArg(const ValueList& args, size_t index, const char* name) {
  const auto* d = TypedArgument(args, index, name).get_if<double>();
  if (d == nullptr) ThrowBadArgument(name, "a floating-point number");
  return *d;
}

AllowList AllowListArg(const ValueList& args, size_t index) {
  const Value& v = TypedArgument(args, index, "allowList");
  if (v.is_null()) return std::nullopt;
  const auto* list = v.get_if<ValueList>();
  if (list == nullptr) ThrowBadArgument("allowList", "a list of strings or null");
  std::vector<std::string> keys;
  keys.reserve(list->size());
  for (const Value& key : *list) {
    const auto* s = key.get_if<std::string>();
    if (s == nullptr) ThrowBadArgument("allowList", "a list of strings or null");
    keys.push_back(*s);
  }
  return keys;
}

SharedPreferencesPigeonOptions OptionsArg(const ValueList& args, size_t index) {
  auto options = SharedPreferencesPigeonOptions::FromValue(TypedArgument(args, index, "options"));
  if (!options) ThrowBadArgument("options", "a SharedPreferencesPigeonOptions record");
  return *options;
}

// Records of this codec are messages, not preferences: the store holds only
// the standard types.
bool HoldsRecord(const Value& value) {
  if (value.is_custom()) return true;
  if (const auto* list = value.get_if<ValueList>()) {
    for (const Value& v : *list) {
      if (HoldsRecord(v)) return true;
    }
  } else if (const auto* map = value.get_if<ValueMap>()) {
    for (const auto& [k, v] : *map) {
      if (HoldsRecord(k) || HoldsRecord(v)) return true;
    }
  }
  return false;
}

// A value to store: anything of the standard types but null (storing null
// would remove the key).
const Value& StoredValueArg(const ValueList& args, size_t index) {
  const Value& v = TypedArgument(args, index, "value");
  if (v.is_null() || HoldsRecord(v)) {
    ThrowBadArgument("value", "a value of the standard types, not null");
  }
  return v;
}

Value KeysValue(const std::vector<std::string>& keys) {
  ValueList out;
  out.reserve(keys.size());
  for (const std::string& k : keys) out.emplace_back(k);
  return Value(std::move(out));
}

using Binding = std::pair<const char*, TypedHandler>;

void Bind(BinaryMessenger* messenger, const std::string& api, const std::string& suffix,
          std::vector<Binding> bindings) {
  for (auto& [method, handler] : bindings) {
    BasicMessageChannel channel(messenger, TypedChannelName(kPreferencesPackage, api, method, suffix),
                                &MessagesPigeonCodec::Instance());
    SetTypedHandler(channel, std::move(handler));  // an empty handler removes
  }
}

std::vector<std::string> Names(const std::string& api, const std::string& suffix,
                               std::span<const char* const> methods) {
  std::vector<std::string> names;
  for (const char* method : methods) {
    names.push_back(TypedChannelName(kPreferencesPackage, api, method, suffix));
  }
  return names;
}

}  // namespace

std::vector<std::string> UserDefaultsApiChannels(const std::string& suffix) {
  return Names(kCurrentApi, suffix, kCurrentMethods);
}

std::vector<std::string> LegacyUserDefaultsApiChannels(const std::string& suffix) {
  return Names(kLegacyApi, suffix, kLegacyMethods);
}

void SetUpUserDefaultsApi(BinaryMessenger* messenger, std::shared_ptr<UserDefaultsApi> api,
                          const std::string& suffix) {
  std::vector<Binding> b;
  for (const char* method : kCurrentMethods) b.emplace_back(method, nullptr);
  if (api) {
    b[0].second = [api](const ValueList& args) {
      api->Set(TypedStringArgument(args, 0, "key"), StoredValueArg(args, 1), OptionsArg(args, 2));
      return Value();
    };
    b[1].second = [api](const ValueList& args) {
      api->Clear(AllowListArg(args, 0), OptionsArg(args, 1));
      return Value();
    };
    b[2].second = [api](const ValueList& args) {
      return Value(api->GetAll(AllowListArg(args, 0), OptionsArg(args, 1)));
    };
    b[3].second = [api](const ValueList& args) {
      return api->GetValue(TypedStringArgument(args, 0, "key"), OptionsArg(args, 1));
    };
    b[4].second = [api](const ValueList& args) {
      return KeysValue(api->GetKeys(AllowListArg(args, 0), OptionsArg(args, 1)));
    };
  }
  Bind(messenger, kCurrentApi, suffix, std::move(b));
}

void SetUpLegacyUserDefaultsApi(BinaryMessenger* messenger,
                                std::shared_ptr<LegacyUserDefaultsApi> api,
                                const std::string& suffix) {
  std::vector<Binding> b;
  for (const char* method : kLegacyMethods) b.emplace_back(method, nullptr);
  if (api) {
    b[0].second = [api](const ValueList& args) {
      api->Remove(TypedStringArgument(args, 0, "key"));
      return Value();
    };
    b[1].second = [api](const ValueList& args) {
      api->SetBool(TypedStringArgument(args, 0, "key"), BoolArg(args, 1, "value"));
      return Value();
    };
    b[2].second = [api](const ValueList& args) {
      api->SetDouble(TypedStringArgument(args, 0, "key"), DoubleArg(args, 1, "value"));
      return Value();
    };
    b[3].second = [api](const ValueList& args) {
      api->SetValue(TypedStringArgument(args, 0, "key"), StoredValueArg(args, 1));
      return Value();
    };
    b[4].second = [api](const ValueList& args) {
      return Value(api->GetAll(TypedStringArgument(args, 0, "prefix"), AllowListArg(args, 1)));
    };
    b[5].second = [api](const ValueList& args) {
      return Value(api->Clear(TypedStringArgument(args, 0, "prefix"), AllowListArg(args, 1)));
    };
  }
  Bind(messenger, kLegacyApi, suffix, std::move(b));
}

}  // namespace kelvo
