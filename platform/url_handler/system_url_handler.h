// What the URL launcher needs of the system: reading a text as a URL,
// finding the application that would open a URL, and opening it.
//
// URLs: ParseUrl accepts exactly the URI references of RFC 3986 (uriparser,
// strict): an absolute URI ("https://example.com/a?b#c", "mailto:x@y.org",
// "tel:+34600000000") or a relative reference ("docs/a.html", "//host/p",
// "?q"). Not URLs: the empty text (a valid relative reference that names
// nothing to open), and any text with a space, a control or NUL byte, a
// non-ASCII byte (IRIs must be percent-encoded first), a malformed
// percent-escape, or a bracket outside a well-formed IP literal.
//
// The desktop handler (MakeDesktopURLHandler) finds the application as a
// freedesktop.org desktop does:
// - A URL's type is "x-scheme-handler/<scheme>". When no application is
//   found for an "http" or "https" URL, "text/html" is tried too, since many
//   browsers register only that. A "file" URL has the type of what it
//   names: "inode/directory" for a directory, the MIME glob match of its
//   name for anything else (mime/globs2 under $XDG_DATA_HOME and
//   $XDG_DATA_DIRS; highest weight, then longest pattern); a path that does
//   not exist, or a file whose name matches no glob, has no application. A
//   relative reference has none. "mailto" and every other scheme use only
//   their x-scheme-handler type.
// - The application for a type is, in this order: the first installed
//   desktop ID listed for it under [Default Applications] in the
//   mimeapps.list files ("<desktop>-mimeapps.list" first for each desktop in
//   $XDG_CURRENT_DESKTOP, in $XDG_CONFIG_HOME, $XDG_CONFIG_DIRS,
//   $XDG_DATA_HOME/applications, $XDG_DATA_DIRS/applications, in that
//   order); else the first installed one under [Added Associations], not
//   named under [Removed Associations] of the same or an earlier file; else
//   the first installed, not removed desktop entry that lists the type in
//   its MimeType key (applications directories in order, names sorted).
// - A desktop ID is installed when the first file with that ID (ID dashes
//   may stand for subdirectories) in $XDG_DATA_HOME/applications, then
//   $XDG_DATA_DIRS/applications, has Type=Application and is not
//   Hidden=true. The application's URL is the file URL of that file.
// - Opening: a URL with no application is refused without running
//   anything. Otherwise the opener (xdg-open) runs with the URL as its only
//   argument, started with posix_spawn (never through a shell) in a session
//   of its own, stdin and stdout on /dev/null. The URL was opened when the
//   opener exits 0, or is still running after `opener_wait` (it then stays
//   with the application it started; it is reaped in the background). It
//   was not when the opener cannot start, exits non-zero or is killed.
//
// Ownership: the caller owns the handler. Threading: the desktop handler
// keeps no state between calls (files are read anew at each call, so a
// changed default applies at once) and is safe from any thread; OpenURL
// blocks for up to `opener_wait`. The fake is safe from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo {

struct Url {
  std::string text;    // as given
  std::string scheme;  // lower case; empty for a relative reference
  // For a "file" URL naming a local absolute path (no host, an empty host
  // or "localhost"): the path with its percent-escapes decoded.
  std::optional<std::string> file_path;
};

std::optional<Url> ParseUrl(std::string_view text);

class SystemURLHandler {
 public:
  virtual ~SystemURLHandler() = default;
  // Asks the system to open `url`; whether it was opened.
  virtual bool OpenURL(const Url& url) = 0;
  // The URL of the application that would open `url`, or nullopt.
  virtual std::optional<std::string> URLForApplicationToOpenURL(const Url& url) = 0;
};

// The XDG base directories by the rules of platform/xdg/base_dirs.h
// (absolute paths only; the homes are empty without a home directory).
struct XdgDirs {
  std::string config_home;               // $XDG_CONFIG_HOME, else ~/.config
  std::vector<std::string> config_dirs;  // $XDG_CONFIG_DIRS, else /etc/xdg
  std::string data_home;                 // $XDG_DATA_HOME, else ~/.local/share
  std::vector<std::string> data_dirs;    // $XDG_DATA_DIRS, else /usr/local/share:/usr/share
  std::vector<std::string> desktops;     // $XDG_CURRENT_DESKTOP, lower case

  static XdgDirs FromEnvironment();
};

struct DesktopURLHandlerOptions {
  XdgDirs dirs = XdgDirs::FromEnvironment();
  // A name looked up in PATH, or a path.
  std::string opener = "xdg-open";
  std::chrono::milliseconds opener_wait{2000};
  // Gets one line for each opener that could not start or failed (the
  // scheme only: a URL may carry secrets). May be empty.
  std::function<void(const std::string& line)> log;
};

std::unique_ptr<SystemURLHandler> MakeDesktopURLHandler(DesktopURLHandlerOptions options = {});

}  // namespace kelvo
