// The one place that makes an App Group container, whichever program
// (kelvo-tun as root, kelvo or kelvoctl as the desktop user) comes first,
// and checks the one it finds.
//
// The container <root>/<group id> is a directory of mode 02770 (set-group-id,
// so files made inside take its group) whose group is the shared group
// ("kelvo") when that group exists and this process may use it. The root
// must exist (it is made at install) and must not be writable by everyone.
//
// A container or root that is not so is reported, never silently changed:
// the message names the directory, what it is and what is expected.
// Blocking file-system calls; safe from any thread.
#pragma once

#include <optional>
#include <string>

namespace kelvo {

// Makes the container when missing (only the container, never the root) or
// checks it; nullopt when it is ready for this process to read and write.
std::optional<std::string> EnsureAppGroupContainer(const std::string& root,
                                                   const std::string& group_id,
                                                   const std::string& shared_group);

}  // namespace kelvo
