// A plugin registrar for service tests: the service registers on it as on
// the host's, and the test sees what the service published.
//
// Ownership: the messenger and whatever the context points to belong to the
// test and must outlive the registrar; `published` keeps the services alive
// until the test clears it (as the engine letting go would).
// Threading: the test's thread, which is the virtual main queue.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/engine/plugin_registry.h"

namespace kelvo::testing {

class TestRegistrar final : public PluginRegistrar {
 public:
  // With only a main dispatch: no defaults store.
  explicit TestRegistrar(BinaryMessenger* messenger, Dispatch* dispatch = nullptr);
  TestRegistrar(BinaryMessenger* messenger, HostContext context);

  const std::string& key() const override { return key_; }
  BinaryMessenger* messenger() override { return messenger_; }
  const HostContext& context() const override { return context_; }
  void Publish(std::shared_ptr<void> service) override;

  // Everything published, in order.
  std::vector<std::shared_ptr<void>> published;

 private:
  std::string key_ = "TestPlugin";
  BinaryMessenger* messenger_;
  HostContext context_;
};

}  // namespace kelvo::testing
