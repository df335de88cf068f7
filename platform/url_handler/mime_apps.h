// The freedesktop.org associations between MIME types and applications,
// read from an XDG tree as system_url_handler.h describes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/url_handler/system_url_handler.h"

namespace kelvo {

// The path of the desktop entry file of `desktop_id` ("org.x.App.desktop")
// when that ID is installed: the first file with the ID in the applications
// directories has Type=Application and is not Hidden=true.
std::optional<std::string> FindDesktopEntry(const XdgDirs& dirs, std::string_view desktop_id);

// The path of the desktop entry of the application for `mime_type`
// (compared without case), or nullopt.
std::optional<std::string> DefaultApplicationFor(const XdgDirs& dirs, std::string_view mime_type);

// The MIME type the glob files give a file `name` (no directory part), or
// nullopt when no glob matches.
std::optional<std::string> MimeTypeForFileName(const XdgDirs& dirs, std::string_view name);

}  // namespace kelvo
