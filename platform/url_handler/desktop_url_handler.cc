// The freedesktop.org handler: lookups through the XDG MIME associations,
// opening through xdg-open. The rules are in system_url_handler.h.
#include <sys/stat.h>

#include <cctype>

#include "platform/url_handler/mime_apps.h"
#include "platform/url_handler/opener.h"
#include "platform/url_handler/system_url_handler.h"

namespace kelvo {
namespace {

std::string FileUrl(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "file://";
  for (unsigned char c : path) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

class DesktopURLHandler : public SystemURLHandler {
 public:
  explicit DesktopURLHandler(DesktopURLHandlerOptions options) : options_(std::move(options)) {}

  bool OpenURL(const Url& url) override {
    if (!ApplicationFor(url)) return false;
    OpenerOutcome outcome = RunOpener(options_.opener, url.text, options_.opener_wait);
    if (!outcome.opened && options_.log) {
      options_.log("cannot open a " + url.scheme + " URL: " + outcome.problem);
    }
    return outcome.opened;
  }

  std::optional<std::string> URLForApplicationToOpenURL(const Url& url) override {
    std::optional<std::string> entry = ApplicationFor(url);
    if (!entry) return std::nullopt;
    return FileUrl(*entry);
  }

 private:
  std::optional<std::string> ApplicationFor(const Url& url) const {
    const XdgDirs& dirs = options_.dirs;
    if (url.scheme.empty()) return std::nullopt;
    if (url.scheme == "file") {
      if (!url.file_path) return std::nullopt;
      struct stat st;
      if (::stat(url.file_path->c_str(), &st) != 0) return std::nullopt;
      if (S_ISDIR(st.st_mode)) return DefaultApplicationFor(dirs, "inode/directory");
      std::optional<std::string> type = MimeTypeForFileName(dirs, BaseName(*url.file_path));
      if (!type) return std::nullopt;
      return DefaultApplicationFor(dirs, *type);
    }
    if (auto entry = DefaultApplicationFor(dirs, "x-scheme-handler/" + url.scheme)) return entry;
    if (url.scheme == "http" || url.scheme == "https") {
      return DefaultApplicationFor(dirs, "text/html");
    }
    return std::nullopt;
  }

  const DesktopURLHandlerOptions options_;
};

}  // namespace

std::unique_ptr<SystemURLHandler> MakeDesktopURLHandler(DesktopURLHandlerOptions options) {
  return std::make_unique<DesktopURLHandler>(std::move(options));
}

}  // namespace kelvo
