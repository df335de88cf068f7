// The preferences service's two typed-message APIs, each a protocol of
// operations and a set-up function that binds every operation to its
// basic message channel (codec MessagesPigeonCodec):
//   "dev.flutter.pigeon.shared_preferences_foundation.UserDefaultsApi." + method
//   "dev.flutter.pigeon.shared_preferences_foundation.LegacyUserDefaultsApi." + method
// (+ "." + suffix when the suffix is not empty).
//
// The set-up functions check the shape of every request before calling the
// API: a request with missing elements or elements of the wrong type (a
// null value to store included) gets the error reply "bad-request" and the
// API is not called. Elements after the expected ones are ignored. An
// operation fails by throwing FlutterErrorException, which becomes the
// error reply [code, message, details].
//
// Ownership: the installed handlers share ownership of the API object.
// Threading: operations run on the messenger's delivery queue (the main
// queue) and finish before the reply is sent.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/engine/binary_messenger.h"
#include "platform/engine/value.h"
#include "services/preferences/messages.h"

namespace kelvo {

inline constexpr const char* kPreferencesPackage = "shared_preferences_foundation";

using AllowList = std::optional<std::vector<std::string>>;  // none: every key

// The current API: every operation names its suite in `options`.
class UserDefaultsApi {
 public:
  virtual ~UserDefaultsApi() = default;
  virtual void Set(const std::string& key, const Value& value,
                   const SharedPreferencesPigeonOptions& options) = 0;
  virtual void Clear(const AllowList& allow_list, const SharedPreferencesPigeonOptions& options) = 0;
  virtual ValueMap GetAll(const AllowList& allow_list,
                          const SharedPreferencesPigeonOptions& options) = 0;
  // Null when there is no (compatible) value.
  virtual Value GetValue(const std::string& key, const SharedPreferencesPigeonOptions& options) = 0;
  virtual std::vector<std::string> GetKeys(const AllowList& allow_list,
                                           const SharedPreferencesPigeonOptions& options) = 0;
};

// The legacy API, always on the application's standard defaults.
class LegacyUserDefaultsApi {
 public:
  virtual ~LegacyUserDefaultsApi() = default;
  virtual void Remove(const std::string& key) = 0;
  virtual void SetBool(const std::string& key, bool value) = 0;
  virtual void SetDouble(const std::string& key, double value) = 0;
  virtual void SetValue(const std::string& key, const Value& value) = 0;
  virtual ValueMap GetAll(const std::string& prefix, const AllowList& allow_list) = 0;
  virtual bool Clear(const std::string& prefix, const AllowList& allow_list) = 0;
};

// The channel names, in the order the set-up functions bind them.
std::vector<std::string> UserDefaultsApiChannels(const std::string& suffix = "");
std::vector<std::string> LegacyUserDefaultsApiChannels(const std::string& suffix = "");

// Installs a handler on every channel of the API; a null `api` removes them.
void SetUpUserDefaultsApi(BinaryMessenger* messenger, std::shared_ptr<UserDefaultsApi> api,
                          const std::string& suffix = "");
void SetUpLegacyUserDefaultsApi(BinaryMessenger* messenger,
                                std::shared_ptr<LegacyUserDefaultsApi> api,
                                const std::string& suffix = "");

}  // namespace kelvo
