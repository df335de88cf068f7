// kelvo: the host application. The process entry hands control to the
// application's main function, which loads the main interface and runs
// the main queue until SIGTERM or SIGINT.
#include "host/application_main.h"

int main(int argc, char** argv) { return kelvo::ApplicationMain(argc, argv); }
