#include "host/app_group.h"

#include "platform/defaults/user_defaults.h"

namespace kelvo {

std::optional<std::string> OpenAppGroupContainer(UserDefaultsSystem* defaults) {
  if (!defaults->Suite(kHostAppGroup)) return std::nullopt;
  return defaults->AppGroupContainer(kHostAppGroup);
}

}  // namespace kelvo
