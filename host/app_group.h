// The App Group the host shares with the tunnel extension.
#pragma once

#include <optional>
#include <string>

namespace kelvo {

class UserDefaultsSystem;

// The same literal the extension uses for its settings suite.
inline constexpr const char* kHostAppGroup = "group.net.kelvo.app";

// Opens the App Group suite (which makes its container when the root
// allows) and gives the container's directory; nullopt when the suite does
// not open.
std::optional<std::string> OpenAppGroupContainer(UserDefaultsSystem* defaults);

}  // namespace kelvo
