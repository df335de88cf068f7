// Runs the desktop's URL opener (xdg-open) for one URL, without a shell.
#pragma once

#include <chrono>
#include <string>

namespace kelvo {

struct OpenerOutcome {
  bool opened = false;
  std::string problem;  // when not opened: why, without the URL
};

// Starts `opener` (a name looked up in PATH, or a path) with `url` as its
// only argument and waits up to `wait` for its end; see
// system_url_handler.h for what counts as opened. The child is reaped by a
// background thread whether or not the wait ends first.
OpenerOutcome RunOpener(const std::string& opener, const std::string& url,
                        std::chrono::milliseconds wait);

}  // namespace kelvo
