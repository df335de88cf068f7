// kelvoctl's exit codes: what failed, for scripts.
//
//   code  meaning
//   0     ok
//   1     usage: unknown command or flag, missing argument, unknown codec
//   2     connection failed: the socket is unreachable or refused, or the connection
//         closed before the reply
//   3     the other side answered with an error: a method call's or typed
//         message's error reply, an error event on a stream, a refused
//         listen, a refused tunnel start
//   4     no handler: "not implemented", no handler on the channel, or the
//         extension sent no data for an app message
//   5     bad input: JSON that does not parse or does not map to a value,
//         or a message too large to send
//   6     timeout: no reply within --timeout seconds
//   7     bad reply: a reply that does not decode, or is not of the shape
//         the request expects
//   8     local failure: the settings store does not open or refuses a
//         write, the configuration file cannot be read
#pragma once

namespace kelvo {

enum ExitCode : int {
  kExitOk = 0,
  kExitUsage = 1,
  kExitConnection = 2,
  kExitRemoteError = 3,
  kExitNoHandler = 4,
  kExitBadInput = 5,
  kExitTimeout = 6,
  kExitBadReply = 7,
  kExitLocal = 8,
};

// The table above, for --help.
const char* ExitCodeHelp();

}  // namespace kelvo
