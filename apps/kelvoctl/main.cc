// kelvoctl: the command-line client a person or a script uses instead of
// the user interface. See cli/kelvoctl_app.h for the commands.
#include <signal.h>

#include <iostream>

#include "cli/kelvoctl_app.h"

int main(int argc, char** argv) {
  // A reader that goes away (kelvoctl listen ... | head -1) must end the
  // output, not the process: a listen still owes the host its "cancel".
  ::signal(SIGPIPE, SIG_IGN);
  return kelvo::RunKelvoctl(argc, argv, std::cin, std::cout, std::cerr);
}
