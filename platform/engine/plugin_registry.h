// The engine's plugin registry as the services see it. The main window
// asks the registry for one registrar per service, under the service's
// registration key, and the service's static Register entry point installs
// its channels on the registrar's messenger.
//
// It sits above the messenger it wraps and the defaults store it hands on:
// services and the host include it; kelvo_engine itself does not, so the
// engine never depends on what it carries.
//
// Ownership: the registry owns its registrars for the application's
// lifetime; a service hands the objects it must keep alive to Publish.
// Threading: registration runs on the main queue; so do all handlers.
#pragma once

#include <memory>
#include <string>

#include "platform/defaults/user_defaults.h"
#include "platform/dispatch/dispatch.h"
#include "platform/engine/binary_messenger.h"

namespace kelvo {

// What the process gives every service: one per process.
struct HostContext {
  Dispatch* dispatch = nullptr;            // not owned
  UserDefaultsSystem* defaults = nullptr;  // not owned
  DefaultsConfig defaults_config;
};

class PluginRegistrar {
 public:
  virtual ~PluginRegistrar() = default;
  virtual const std::string& key() const = 0;
  virtual BinaryMessenger* messenger() = 0;
  virtual const HostContext& context() const = 0;
  // Keeps `service` alive as long as the registrar (the application).
  virtual void Publish(std::shared_ptr<void> service) = 0;
};

class PluginRegistry {
 public:
  virtual ~PluginRegistry() = default;
  // The registrar for `key`, created on first request; the registry
  // records the order of the requests.
  virtual PluginRegistrar* RegistrarForPlugin(const std::string& key) = 0;
};

}  // namespace kelvo
