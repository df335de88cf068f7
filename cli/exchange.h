// Internal to kelvoctl's commands: connecting and one request/reply over an
// engine-style socket, with failures turned into exit codes and a line on
// `err`.
#pragma once

#include <ostream>
#include <string>

#include "cli/exit_codes.h"
#include "platform/engine/engine_socket.h"

namespace kelvo {

// `what` names the socket in messages ("engine socket").
int ConnectTo(EngineSocketClient& client, const std::string& path, const std::string& what,
              std::ostream& err);

// Sends and waits. kExitOk with `*reply` set (nothing means no handler), or
// kExitTimeout / kExitConnection / kExitBadInput.
int Exchange(EngineSocketClient& client, const std::string& channel, Payload message,
             Duration timeout, std::ostream& err, Payload* reply);

}  // namespace kelvo
