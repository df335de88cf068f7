#include <cstdlib>

#include "platform/defaults/user_defaults.h"
#include "platform/fs/files.h"
#include "platform/xdg/base_dirs.h"

namespace kelvo {

DefaultsConfig DefaultsConfig::FromEnvironment() {
  DefaultsConfig config;
  const char* root = std::getenv("KELVO_APP_GROUP_ROOT");
  if (root == nullptr || *root == '\0') {
    config.app_group_root = kDefaultAppGroupRoot;
  } else if (root[0] != '/') {
    // A relative root would put the shared container wherever each program
    // happens to start, so two programs would not meet.
    config.error = std::string("KELVO_APP_GROUP_ROOT is not an absolute path: ") + root;
  } else {
    config.app_group_root = WithoutTrailingSlashes(root);
  }
  XdgBaseDirs dirs = XdgBaseDirs::FromProcess();
  config.data_home = dirs.data_home;
  config.data_home_error = dirs.home_error;
  return config;
}

}  // namespace kelvo
