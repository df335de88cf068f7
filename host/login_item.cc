#include "host/login_item.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/fs/files.h"
#include "platform/xdg/base_dirs.h"

namespace kelvo {
namespace {

// Quoting of one Exec argument, then the escapes of a string value.
std::string QuoteExecArgument(const std::string& arg) {
  std::string quoted = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    if (c == '%') quoted += '%';
    quoted += c;
  }
  quoted += '"';
  std::string value;
  for (char c : quoted) {
    switch (c) {
      case '\\':
        value += "\\\\";
        break;
      case '\n':
        value += "\\n";
        break;
      case '\t':
        value += "\\t";
        break;
      case '\r':
        value += "\\r";
        break;
      default:
        value += c;
    }
  }
  return value;
}

std::string Errno(int err) { return std::strerror(err); }

class AutostartLoginItem : public LoginItem {
 public:
  AutostartLoginItem(std::string directory, std::string executable, std::string unknown)
      : directory_(std::move(directory)),
        path_(directory_ + "/" + kAutostartEntryName),
        executable_(std::move(executable)),
        unknown_(std::move(unknown)) {}

  LoginItemStatus Status() const override {
    struct stat st;
    if (::stat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return LoginItemStatus::kEnabled;
    return LoginItemStatus::kNotRegistered;
  }

  std::optional<std::string> Register() override {
    if (directory_.empty()) return unknown_;
    // The answer is the system's description alone, as the platform's is.
    if (MakeDirectories(directory_, kPrivateDirectoryMode)) return Errno(errno);
    // Readable by all, as desktop entries are.
    if (WriteFileAtomically(directory_, kAutostartEntryName, AutostartEntryText(executable_),
                            0644)) {
      return Errno(errno);
    }
    return std::nullopt;
  }

  std::optional<std::string> Unregister() override {
    if (directory_.empty()) return unknown_;
    if (::unlink(path_.c_str()) != 0 && errno != ENOENT) return Errno(errno);
    return std::nullopt;
  }

 private:
  std::string directory_;
  std::string path_;
  std::string executable_;
  std::string unknown_;
};

}  // namespace

std::string DefaultAutostartDirectory(std::string* error) {
  XdgBaseDirs dirs = XdgBaseDirs::FromProcess();
  std::optional<std::string> config = dirs.Known(dirs.config_home, error);
  return config ? *config + "/autostart" : std::string();
}

std::string CurrentExecutablePath() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string AutostartEntryText(const std::string& executable) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Kelvo\n"
         "Comment=Starts Kelvo when you log in\n"
         "Exec=" +
         QuoteExecArgument(executable) +
         "\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

std::unique_ptr<LoginItem> MakeAutostartLoginItem(std::string autostart_directory,
                                                  std::string executable,
                                                  std::string why_no_directory) {
  if (autostart_directory.empty() && why_no_directory.empty()) {
    why_no_directory = "no autostart directory";
  }
  return std::make_unique<AutostartLoginItem>(std::move(autostart_directory),
                                              std::move(executable),
                                              std::move(why_no_directory));
}

}  // namespace kelvo
