// kelvoctl's command line: parses the arguments (CLI11) and runs one
// command from commands.h.
//
//   kelvoctl [global flags] call CHANNEL METHOD [JSON] [--codec NAME]
//   kelvoctl [global flags] message CHANNEL [JSON] [--codec NAME] [--raw]
//   kelvoctl [global flags] listen CHANNEL [JSON] [--codec NAME] [--count N]
//   kelvoctl [global flags] tunnel start --config FILE | stop [--reason N] |
//                                  status | stats | ping | debug   [--json]
//   kelvoctl settings get KEY | set KEY VALUE | remove KEY
// Global flags (accepted before or after the command): --engine-socket
// PATH, --control-socket PATH, --timeout SECONDS. A JSON argument or a
// configuration file given as "-" is read from standard input.
#pragma once

#include <istream>
#include <ostream>

namespace kelvo {

// Runs kelvoctl and returns its exit code. SIGINT and SIGTERM stop a
// "listen" (which then sends "cancel"); they are left alone otherwise.
int RunKelvoctl(int argc, const char* const* argv, std::istream& in, std::ostream& out,
                std::ostream& err);

}  // namespace kelvo
