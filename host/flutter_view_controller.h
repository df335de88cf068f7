// The engine's view controller: the main window's content, the plugin
// registry the services register with, and the way to the engine's binary
// messenger. The engine itself is out of process: its messenger is the
// engine socket (or, in tests, an in-process messenger), handed in.
//
// Ownership: the controller shares the messenger and owns the registrars,
// which keep the services they published alive as long as the controller.
// Threading: main queue only.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/window.h"
#include "platform/engine/plugin_registry.h"

namespace kelvo {

class FlutterViewController : public ViewController, public PluginRegistry {
 public:
  FlutterViewController(std::shared_ptr<BinaryMessenger> engine_messenger, HostContext context);
  ~FlutterViewController() override;

  PluginRegistrar* RegistrarForPlugin(const std::string& key) override;
  // engine.binaryMessenger.
  BinaryMessenger* binary_messenger() const { return messenger_.get(); }
  // The keys registrars were asked for, first request first.
  const std::vector<std::string>& registrar_keys() const { return order_; }

 private:
  class Registrar;

  std::shared_ptr<BinaryMessenger> messenger_;
  HostContext context_;
  std::map<std::string, std::unique_ptr<Registrar>> registrars_;
  std::vector<std::string> order_;
};

}  // namespace kelvo
