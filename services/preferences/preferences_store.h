// What both preference APIs do with the user-defaults store: open the store
// a request names, read one domain's compatible entries, and store or
// remove values with failures reported rather than ignored.
// Threading: as the UserDefaultsSystem given (any thread).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/defaults/user_defaults.h"
#include "platform/engine/value.h"
#include "services/preferences/messages.h"
#include "services/preferences/user_defaults_api.h"

namespace kelvo {

// Booleans, integers, floating-point numbers, strings, and lists whose
// elements are all compatible (an empty list is). Everything else (maps,
// bytes, typed number lists, null, records) is not.
bool IsCompatible(const Value& value);

// The suite named in `options`, or the standard store when it names none.
// Throws FlutterErrorException "Argument Error" when the platform refuses
// the suite name.
std::unique_ptr<UserDefaults> OpenUserDefaults(UserDefaultsSystem& system,
                                               const SharedPreferencesPigeonOptions& options);

// The compatible entries stored in the persistent domain of the suite (of
// `bundle_id` when the options name none), kept to `allow_list` when one is
// given. Only that domain: values seen through the search list (global
// domain, registered defaults) are not included. Empty without a bundle
// identifier. Throws as OpenUserDefaults.
ValueMap GetAllPrefs(UserDefaultsSystem& system, const std::string& bundle_id,
                     const AllowList& allow_list, const SharedPreferencesPigeonOptions& options);

// Store or remove through `store`; throw FlutterErrorException
// "Storage Error" when the store reports that the write did not happen.
void StoreValue(UserDefaults& store, const std::string& key, const Value& value);
void RemoveValue(UserDefaults& store, const std::string& key);
// Removes all of `keys` in one write (all or none); throws like RemoveValue.
void RemoveValues(UserDefaults& store, const std::vector<std::string>& keys);

}  // namespace kelvo
