// Why the defaults layer last failed on this thread.
#pragma once

#include <string>

namespace kelvo {

// The reason for the latest failure of the defaults layer on the calling
// thread (a write, a removal or a suite that did not open), as errno is for
// system calls: read it right after the call that failed. Empty when this
// thread saw none. Never holds a value, only keys and paths.
std::string LastDefaultsFailure();

}  // namespace kelvo
