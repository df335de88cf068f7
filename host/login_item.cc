#include "host/login_item.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

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
  AutostartLoginItem(std::string directory, std::string executable)
      : directory_(std::move(directory)),
        path_(directory_ + "/" + kAutostartEntryName),
        executable_(std::move(executable)) {}

  LoginItemStatus Status() const override {
    struct stat st;
    if (::stat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return LoginItemStatus::kEnabled;
    return LoginItemStatus::kNotRegistered;
  }

  std::optional<std::string> Register() override {
    std::error_code ec;
    std::filesystem::create_directories(directory_, ec);
    if (ec) return ec.message();
    const std::string text = AutostartEntryText(executable_);
    const std::string temp =
        directory_ + "/." + kAutostartEntryName + ".tmp-" + std::to_string(::getpid());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return Errno(errno);
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              ::fsync(fd) == 0;
    int err = errno;
    ::close(fd);
    if (ok && ::rename(temp.c_str(), path_.c_str()) == 0) return std::nullopt;
    if (ok) err = errno;
    ::unlink(temp.c_str());
    return Errno(err);
  }

  std::optional<std::string> Unregister() override {
    if (::unlink(path_.c_str()) != 0 && errno != ENOENT) return Errno(errno);
    return std::nullopt;
  }

 private:
  std::string directory_;
  std::string path_;
  std::string executable_;
};

}  // namespace

std::string DefaultAutostartDirectory() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return std::string(config) + "/autostart";
  const char* home = std::getenv("HOME");
  std::string base = home && *home ? home : "";
  if (base.empty()) {
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir) base = pw->pw_dir;
  }
  return base + "/.config/autostart";
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
                                                  std::string executable) {
  return std::make_unique<AutostartLoginItem>(std::move(autostart_directory),
                                              std::move(executable));
}

}  // namespace kelvo
