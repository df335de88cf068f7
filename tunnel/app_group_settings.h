// The App Group settings store shared by the host and the extension: string
// values only, flags "1"/"0". Each access opens the suite anew and reads the
// one key it needs, so a change by the user interface takes effect at the
// extension's next read; nothing is cached.
//
// When the suite cannot be opened (its container root is missing or not
// writable) reads give nullopt and writes are skipped; callers that must
// tell this apart from an absent key ask Available().
// Threading: safe from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace kelvo {

class UserDefaultsSystem;

inline constexpr const char* kAppGroupId = "group.net.kelvo.app";

class AppGroupSettings {
 public:
  virtual ~AppGroupSettings() = default;
  // Whether the suite opens right now.
  virtual bool Available() const = 0;
  // The string under `key`; nullopt when absent, not a string, or the suite
  // does not open.
  virtual std::optional<std::string> ReadString(const std::string& key) const = 0;
  // Skipped when the suite does not open.
  virtual void WriteString(const std::string& key, const std::string& value) = 0;
  // Exact comparison with "1": "true" or " 1" are off.
  bool Flag(const std::string& key) const;
};

// Settings on the user-defaults suite `suite_name` of `system` (not owned;
// must outlive the returned object).
std::unique_ptr<AppGroupSettings> MakeAppGroupSettings(UserDefaultsSystem* system,
                                                       std::string suite_name = kAppGroupId);

}  // namespace kelvo
