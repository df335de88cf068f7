#include "cli/exit_codes.h"

namespace kelvo {

const char* ExitCodeHelp() {
  return "Exit codes:\n"
         "  0  ok\n"
         "  1  usage: unknown command or flag, missing argument, unknown codec\n"
         "  2  connection failed: socket unreachable or refused, or closed before the reply\n"
         "  3  the other side answered with an error (error reply, error event,\n"
         "     refused listen, refused tunnel start)\n"
         "  4  no handler: not implemented, no handler on the channel, or the\n"
         "     extension sent no data\n"
         "  5  bad input: JSON that does not parse or map to a value\n"
         "  6  timeout: no reply within --timeout seconds\n"
         "  7  bad reply: does not decode, or not of the expected shape\n"
         "  8  local failure: settings store does not open or refuses a write,\n"
         "     configuration file unreadable\n";
}

}  // namespace kelvo
