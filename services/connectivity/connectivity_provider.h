// Where the connectivity service gets connection kinds from: the kinds now,
// and a callback for every change while the source runs.
//
// Threading: implementations say where the callback runs; the other
// members may be called from any thread.
#pragma once

#include <functional>
#include <vector>

#include "services/connectivity/connectivity_types.h"

namespace kelvo {

class ConnectivityProvider {
 public:
  using UpdateHandler = std::function<void(const std::vector<ConnectivityType>& types)>;

  virtual ~ConnectivityProvider() = default;

  // The kinds now (never empty; [kNone] without a connection).
  virtual std::vector<ConnectivityType> CurrentConnectivityTypes() = 0;
  virtual UpdateHandler connectivity_update_handler() const = 0;
  // Replaces the callback (empty: none).
  virtual void set_connectivity_update_handler(UpdateHandler handler) = 0;
  // Begins watching for changes; nothing when already watching.
  virtual void Start() = 0;
  // Stops watching; no callback starts afterwards until the next Start.
  virtual void Stop() = 0;
};

}  // namespace kelvo
