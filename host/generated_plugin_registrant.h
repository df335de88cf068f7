// The registration of the native services with the engine, in their fixed
// order: for each row the registry is asked for the registrar under the
// row's key (the service class's name) and the service registers itself
// through its static entry point.
// Threading: main queue.
#pragma once

#include <span>

#include "platform/engine/plugin_registry.h"

namespace kelvo {

struct PluginRegistration {
  const char* key;
  void (*register_with)(PluginRegistrar* registrar);
};

// The table, in registration order.
std::span<const PluginRegistration> GeneratedPluginRegistrations();

void RegisterGeneratedPlugins(PluginRegistry* registry);

}  // namespace kelvo
