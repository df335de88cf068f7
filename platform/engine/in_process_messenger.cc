#include "platform/engine/in_process_messenger.h"

namespace kelvo {

InProcessMessenger::InProcessMessenger(std::shared_ptr<Queue> main_queue)
    : main_(std::move(main_queue)) {}

void InProcessMessenger::Send(const std::string& channel, Payload message, BinaryReply on_reply) {
  std::shared_ptr<BinaryMessageHandler> handler;
  {
    std::lock_guard lock(mu_);
    sent_.push_back({channel, message});
    if (auto it = interface_.find(channel); it != interface_.end()) handler = it->second;
  }
  // Replies reach native code on the main queue.
  auto main = main_;
  BinaryReply reply = [main, on_reply](Payload data) {
    if (on_reply) main->Async([on_reply, data = std::move(data)] { on_reply(data); });
  };
  if (!handler) {
    reply(std::nullopt);
    return;
  }
  (*handler)(std::move(message), std::move(reply));
}

void InProcessMessenger::SetMessageHandler(const std::string& channel,
                                           BinaryMessageHandler handler) {
  std::lock_guard lock(mu_);
  if (handler) {
    native_[channel] = std::make_shared<BinaryMessageHandler>(std::move(handler));
  } else {
    native_.erase(channel);
  }
}

void InProcessMessenger::SendFromInterface(const std::string& channel, Payload message,
                                           BinaryReply on_reply) {
  main_->Async([this, channel, message = std::move(message), on_reply]() mutable {
    std::shared_ptr<BinaryMessageHandler> handler;
    {
      std::lock_guard lock(mu_);
      if (auto it = native_.find(channel); it != native_.end()) handler = it->second;
    }
    BinaryReply reply = on_reply ? on_reply : [](Payload) {};
    if (!handler) {
      reply(std::nullopt);
      return;
    }
    (*handler)(std::move(message), std::move(reply));
  });
}

void InProcessMessenger::SetInterfaceHandler(const std::string& channel,
                                             BinaryMessageHandler handler) {
  std::lock_guard lock(mu_);
  if (handler) {
    interface_[channel] = std::make_shared<BinaryMessageHandler>(std::move(handler));
  } else {
    interface_.erase(channel);
  }
}

std::vector<InProcessMessenger::Sent> InProcessMessenger::sent() const {
  std::lock_guard lock(mu_);
  return sent_;
}

bool InProcessMessenger::HasNativeHandler(const std::string& channel) const {
  std::lock_guard lock(mu_);
  return native_.count(channel) != 0;
}

std::vector<std::string> InProcessMessenger::NativeChannels() const {
  std::lock_guard lock(mu_);
  std::vector<std::string> names;
  for (const auto& [name, handler] : native_) names.push_back(name);
  return names;
}

}  // namespace kelvo
