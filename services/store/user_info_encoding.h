// How a store error's user-info map crosses a channel: errors become error
// maps ("code", "domain", "userInfo"), URLs their absolute text, numbers
// and strings stay, lists and maps are encoded element by element, and a
// value of any other class becomes a text that names the class and asks
// for an issue to be filed at kUserInfoIssueTracker.
// Pure functions; any thread.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/engine/value.h"
#include "platform/store/store_types.h"

namespace kelvo {

inline constexpr const char* kUserInfoIssueTracker =
    "https://github.com/flutter/flutter/issues/new";

Value EncodeUserInfoValue(const StoreUserInfoValue& value);
// A map with the same keys, in the same order, and encoded values.
ValueMap EncodeUserInfo(const std::vector<std::pair<std::string, StoreUserInfoValue>>& user_info);
// The error map: "code" (integer), "domain" (text, empty when none),
// "userInfo" (encoded).
ValueMap ErrorMap(const StoreError& error);

}  // namespace kelvo
