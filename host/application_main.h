// The application's main function, as the process entry calls it.
#pragma once

namespace kelvo {

// Parses the arguments (--engine-socket PATH, --foreground, --help), runs
// the host until SIGTERM or SIGINT and gives the exit status: 0 after a
// signal, 1 when the engine socket cannot be served, CLI11's status for
// --help and bad arguments.
int ApplicationMain(int argc, char** argv);

}  // namespace kelvo
