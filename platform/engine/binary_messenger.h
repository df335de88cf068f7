// The binary messenger: named channels carrying opaque messages between the
// native side and the user interface, each message answered at most once.
//
// A message or a reply is a Payload: bytes, or nothing. A reply of nothing
// means "no handler on that channel" (how not-implemented looks on the wire);
// a message of nothing is what an event channel sends at end of stream.
//
// Threading: handlers run on the main queue. A reply may be sent from any
// thread, once; a Reply dropped without being called answers nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kelvo {

using Payload = std::optional<std::vector<uint8_t>>;
using BinaryReply = std::function<void(Payload reply)>;
using BinaryMessageHandler = std::function<void(Payload message, BinaryReply reply)>;

class BinaryMessenger {
 public:
  virtual ~BinaryMessenger() = default;
  // Sends toward the user interface. `on_reply` (may be empty) runs on the
  // main queue with the reply, or with nothing when the other side has no
  // handler or has gone.
  virtual void Send(const std::string& channel, Payload message, BinaryReply on_reply) = 0;
  // Installs the handler for messages arriving on `channel`; an empty
  // handler removes it.
  virtual void SetMessageHandler(const std::string& channel, BinaryMessageHandler handler) = 0;
};

}  // namespace kelvo
