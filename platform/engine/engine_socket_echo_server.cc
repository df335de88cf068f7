// A host stand-in for the engine socket tests: serves a few test channels on
// the socket given by --engine-socket PATH until SIGTERM or SIGINT.
//   test/echo   replies with the message it got
//   test/drop   drops the reply unanswered (the peer must get nothing)
//   test/hold   keeps the reply and never answers it
//   test/kick   sends "from-server" on the channel named by the message and
//               replies with what that message's reply was
//   test/count  replies with the number of open connections, in decimal
// Every other channel has no handler. Log lines go to stderr.
#include <cstdio>
#include <csignal>
#include <string>
#include <vector>

#include "platform/dispatch/asio_dispatch.h"
#include "platform/engine/engine_socket.h"

int main(int argc, char** argv) {
  using namespace kelvo;
  std::string path = EngineSocketPathFromArgs(argc, argv);
  AsioDispatch dispatch(1);
  EngineSocketServer server(path, dispatch.MainQueue(), [](const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
  });
  std::vector<BinaryReply> held;  // main queue only

  server.SetMessageHandler("test/echo", [](Payload message, BinaryReply reply) {
    reply(std::move(message));
  });
  server.SetMessageHandler("test/drop", [](Payload, BinaryReply) {});
  server.SetMessageHandler("test/hold", [&held](Payload, BinaryReply reply) {
    held.push_back(std::move(reply));
  });
  server.SetMessageHandler("test/kick", [&server](Payload message, BinaryReply reply) {
    std::string channel = message ? std::string(message->begin(), message->end()) : "";
    std::string text = "from-server";
    server.Send(channel, Payload(std::in_place, text.begin(), text.end()),
                [reply](Payload answer) { reply(std::move(answer)); });
  });
  server.SetMessageHandler("test/count", [&server](Payload, BinaryReply reply) {
    std::string n = std::to_string(server.connection_count());
    reply(Payload(std::in_place, n.begin(), n.end()));
  });

  if (auto error = server.Start()) {
    std::fprintf(stderr, "engine socket echo server: %s\n", error->c_str());
    return 1;
  }
  dispatch.StopMainOnSignals({SIGTERM, SIGINT});
  dispatch.RunMain();
  server.Stop();
  held.clear();
  return 0;
}
