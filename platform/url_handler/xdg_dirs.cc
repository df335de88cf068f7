#include <stdlib.h>

#include <algorithm>
#include <cctype>

#include "platform/url_handler/system_url_handler.h"
#include "platform/xdg/base_dirs.h"

namespace kelvo {

XdgDirs XdgDirs::FromEnvironment() {
  XdgBaseDirs base = XdgBaseDirs::FromProcess();
  XdgDirs dirs;
  // Without a home directory the user's own associations are unknown: only
  // the system-wide ones apply.
  dirs.config_home = base.config_home;
  dirs.config_dirs = base.config_dirs;
  dirs.data_home = base.data_home;
  dirs.data_dirs = base.data_dirs;
  const char* desktops = ::getenv("XDG_CURRENT_DESKTOP");
  std::string list = desktops ? desktops : "";
  size_t start = 0;
  while (start < list.size()) {
    size_t end = std::min(list.find(':', start), list.size());
    std::string desktop = list.substr(start, end - start);
    std::transform(desktop.begin(), desktop.end(), desktop.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (!desktop.empty()) dirs.desktops.push_back(desktop);
    start = end + 1;
  }
  return dirs;
}

}  // namespace kelvo
