// Tests' own XDG tree in a fresh temporary directory: a config home, one
// config dir, a data home and two data dirs, removed with everything in it.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/url_handler/system_url_handler.h"

namespace kelvo {

class XdgTree {
 public:
  XdgTree() {
    char pattern[] = "/tmp/kelvo-xdg-XXXXXX";
    if (::mkdtemp(pattern) != nullptr) root_ = pattern;
  }
  ~XdgTree() {
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
  }
  XdgTree(const XdgTree&) = delete;
  XdgTree& operator=(const XdgTree&) = delete;

  const std::string& root() const { return root_; }
  XdgDirs dirs() const {
    XdgDirs d;
    d.config_home = root_ + "/config";
    d.config_dirs = {root_ + "/etc"};
    d.data_home = root_ + "/data";
    d.data_dirs = {root_ + "/sys1", root_ + "/sys2"};
    return d;
  }

  // Writes `text` to root/`relative`, creating directories; returns the path.
  std::string Write(const std::string& relative, const std::string& text, int mode = 0644) const {
    std::string path = root_ + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::trunc) << text;
    ::chmod(path.c_str(), mode);
    return path;
  }
  // An application entry: root/`dir`/applications/`file`.
  std::string App(const std::string& dir, const std::string& file,
                  const std::string& extra = "") const {
    return Write(dir + "/applications/" + file,
                 "[Desktop Entry]\nType=Application\nName=" + file + "\nExec=app %u\n" + extra);
  }

 private:
  std::string root_;
};

}  // namespace kelvo
