#include "services/preferences/preferences_store.h"

#include <algorithm>

#include "platform/engine/typed_messages.h"

namespace kelvo {

bool IsCompatible(const Value& value) {
  switch (value.type()) {
    case Value::Type::kBool:
    case Value::Type::kInt:
    case Value::Type::kDouble:
    case Value::Type::kString:
      return true;
    case Value::Type::kList: {
      const ValueList& list = value.as_list();
      return std::all_of(list.begin(), list.end(), IsCompatible);
    }
    default:
      return false;
  }
}

std::unique_ptr<UserDefaults> OpenUserDefaults(UserDefaultsSystem& system,
                                               const SharedPreferencesPigeonOptions& options) {
  if (!options.suite_name) return system.Standard();
  std::unique_ptr<UserDefaults> store = system.Suite(*options.suite_name);
  if (!store) {
    throw FlutterErrorException(
        {"Argument Error", "The provided Suite Name '" + *options.suite_name + "' does not exist",
         Value("")});
  }
  return store;
}

ValueMap GetAllPrefs(UserDefaultsSystem& system, const std::string& bundle_id,
                     const AllowList& allow_list, const SharedPreferencesPigeonOptions& options) {
  // A suite name, empty or not, goes to the store, which may refuse it.
  if (!options.suite_name && bundle_id.empty()) return {};
  const std::string& domain = options.suite_name ? *options.suite_name : bundle_id;
  OpenUserDefaults(system, options);
  std::optional<ValueMap> stored = system.PersistentDomain(domain);
  if (!stored) return {};
  ValueMap out;
  for (const auto& [key, value] : *stored) {
    const auto* name = key.get_if<std::string>();
    if (name == nullptr) continue;
    if (allow_list && std::find(allow_list->begin(), allow_list->end(), *name) == allow_list->end()) {
      continue;
    }
    if (IsCompatible(value)) out.append(key, value);
  }
  return out;
}

namespace {

[[noreturn]] void NotWritten(const std::string& key) {
  throw FlutterErrorException(
      {"Storage Error", "The user defaults store did not save the change to '" + key + "'",
       Value("")});
}

}  // namespace

void StoreValue(UserDefaults& store, const std::string& key, const Value& value) {
  if (!store.Set(key, value)) NotWritten(key);
}

void RemoveValue(UserDefaults& store, const std::string& key) {
  if (!store.Remove(key)) NotWritten(key);
}

void RemoveValues(UserDefaults& store, const std::vector<std::string>& keys) {
  if (keys.empty() || store.RemoveKeys(keys)) return;
  throw FlutterErrorException({"Storage Error",
                               "The user defaults store did not save the removal of " +
                                   std::to_string(keys.size()) + " keys",
                               Value("")});
}

}  // namespace kelvo
