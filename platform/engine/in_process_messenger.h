// A messenger inside one process, for tests: the test plays the user
// interface. It sends messages to the native handlers (delivered on the
// main queue, as the engine would) and sees what the native side sends,
// answering through interface-side handlers of its own.
// Thread-safe.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/engine/binary_messenger.h"

namespace kelvo {

class InProcessMessenger : public BinaryMessenger {
 public:
  explicit InProcessMessenger(std::shared_ptr<Queue> main_queue);

  // Native side.
  void Send(const std::string& channel, Payload message, BinaryReply on_reply) override;
  void SetMessageHandler(const std::string& channel, BinaryMessageHandler handler) override;

  // Interface side: delivers `message` to the native handler of `channel`
  // on the main queue; `on_reply` gets its reply (nothing without handler).
  void SendFromInterface(const std::string& channel, Payload message, BinaryReply on_reply);
  // Answers what the native side sends on `channel`; without one, such
  // messages are recorded and answered with nothing.
  void SetInterfaceHandler(const std::string& channel, BinaryMessageHandler handler);

  struct Sent {
    std::string channel;
    Payload message;
  };
  // Everything the native side has sent, in order.
  std::vector<Sent> sent() const;
  bool HasNativeHandler(const std::string& channel) const;
  // Every channel with a native handler, in name order.
  std::vector<std::string> NativeChannels() const;

 private:
  std::shared_ptr<Queue> main_;
  mutable std::mutex mu_;
  std::map<std::string, std::shared_ptr<BinaryMessageHandler>> native_;
  std::map<std::string, std::shared_ptr<BinaryMessageHandler>> interface_;
  std::vector<Sent> sent_;
};

}  // namespace kelvo
