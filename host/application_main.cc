// The process entry of the host application.
#include "host/application_main.h"

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>

#include "host/host_process.h"
#include "platform/defaults/user_defaults.h"
#include "platform/xdg/base_dirs.h"

namespace kelvo {

int ApplicationMain(int argc, char** argv) {
  HostOptions options;
  CLI::App cli{
      "kelvo: the Kelvo host application. Serves the native services and the host control "
      "channel to the user interface over the engine socket, and shows the tunnel's "
      "notifications on the desktop. Runs until SIGTERM or SIGINT."};
  cli.add_option("--engine-socket", options.engine_socket,
                 "Unix socket the user interface connects to (default: "
                 "$XDG_RUNTIME_DIR/kelvo/engine.sock)");
  cli.add_flag("--foreground", options.foreground, "Copy log lines to stderr");
  cli.set_version_flag("--version", std::string("kelvo ") + KELVO_VERSION);
  CLI11_PARSE(cli, argc, argv);

  // A relative App Group root would not be the one the extension uses.
  if (std::string error = DefaultsConfig::FromEnvironment().error; !error.empty()) {
    std::fprintf(stderr, "kelvo: %s\n", error.c_str());
    return 1;
  }
  // Preferences, secrets, the store and the login item all live below the
  // home directory: without one the host says so once and does not start
  // half-working (nor guess a directory relative to wherever it started).
  if (std::string why = XdgBaseDirs::FromProcess().home_error; !why.empty()) {
    std::fprintf(stderr, "kelvo: %s\n", why.c_str());
    return 1;
  }

  AsioDispatch dispatch(2);
  dispatch.StopMainOnSignals({SIGTERM, SIGINT});
  HostProcess host(options, &dispatch);
  if (auto error = host.Start()) {
    std::fprintf(stderr, "kelvo: cannot serve the engine socket: %s\n", error->c_str());
    return 1;
  }
  dispatch.RunMain();
  host.Stop();
  return 0;
}

}  // namespace kelvo
