// Tests' own XDG tree in a fresh temporary directory: a config home, one
// config dir, a data home and two data dirs, removed with everything in it.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/fs/test_dir.h"
#include "platform/url_handler/system_url_handler.h"

namespace kelvo {

class XdgTree {
 public:
  const std::string& root() const { return dir_.path(); }
  XdgDirs dirs() const {
    XdgDirs d;
    d.config_home = root() + "/config";
    d.config_dirs = {root() + "/etc"};
    d.data_home = root() + "/data";
    d.data_dirs = {root() + "/sys1", root() + "/sys2"};
    return d;
  }

  // Writes `text` to root/`relative`, creating directories; returns the path.
  std::string Write(const std::string& relative, const std::string& text, int mode = 0644) const {
    std::string path = root() + "/" + relative;
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
  TestDir dir_;
};

}  // namespace kelvo
