#include "cli/exchange.h"

#include <sstream>

#include "platform/engine/frame.h"

namespace kelvo {
namespace {

// Room for the frame's list header, kind, id and channel around the data.
constexpr size_t kFrameOverhead = 64;

std::string SecondsText(Duration d) {
  std::ostringstream s;
  s << std::chrono::duration<double>(d).count();
  return s.str();
}

}  // namespace

int ConnectTo(EngineSocketClient& client, const std::string& path, const std::string& what,
              std::ostream& err) {
  if (auto error = client.Connect(path)) {
    err << "kelvoctl: cannot connect to the " << what << " at " << path << ": " << *error << "\n";
    return kExitConnection;
  }
  return kExitOk;
}

int Exchange(EngineSocketClient& client, const std::string& channel, Payload message,
             Duration timeout, std::ostream& err, Payload* reply) {
  size_t size = (message ? message->size() : 0) + channel.size() + kFrameOverhead;
  if (size > kMaxFrameBody) {
    err << "kelvoctl: the message on '" << channel << "' is too large to send (" << size
        << " bytes, at most " << kMaxFrameBody << ")\n";
    return kExitBadInput;
  }
  EngineCallResult result = client.SendAndWait(channel, std::move(message), timeout);
  if (result.ok()) {
    *reply = std::move(result.reply);
    return kExitOk;
  }
  // A connection still up after a failed wait means the time ran out.
  if (client.connected()) {
    err << "kelvoctl: no reply on '" << channel << "' within " << SecondsText(timeout) << " s\n";
    return kExitTimeout;
  }
  err << "kelvoctl: " << *result.error << "\n";
  return kExitConnection;
}

}  // namespace kelvo
