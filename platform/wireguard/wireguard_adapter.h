// The WireGuard adapter: runs one tunnel for its owner.
//
// Contract:
// - Start precedes Update; Stop ends the tunnel. Each completion is called
//   exactly once: with no error on success, else with an AdapterError.
// - Update hands a running tunnel a new configuration without stopping it.
// - Operations take effect in the order they are called, whatever order
//   their completions come back in: a Stop called after a Start leaves the
//   tunnel down.
// - GetRuntimeConfiguration yields the runtime (UAPI-style) text, lines of
//   "key=value" separated by "\n" with one block per peer holding
//   "last_handshake_time_sec=<seconds since 1970, 0 before any handshake>";
//   it yields nullopt when none is available, e.g. while no tunnel runs.
// - The log handler, given at construction, receives the adapter's own
//   messages. They never contain key material.
//
// Threading: the operations may be called from any thread. Completions and
// log calls arrive on a thread or queue of the adapter's choosing, never
// inside the call that started the operation; callers move their work to
// their own queue. Completions must not assume the caller still exists.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "platform/wireguard/tunnel_configuration.h"

namespace kelvo {

enum class WireGuardLogLevel { verbose, error };

using WireGuardLogHandler = std::function<void(WireGuardLogLevel, const std::string&)>;

class AdapterError {
 public:
  explicit AdapterError(std::string description) : description_(std::move(description)) {}
  const std::string& description() const { return description_; }
  bool operator==(const AdapterError&) const = default;

 private:
  std::string description_;
};

class WireGuardAdapter {
 public:
  using Completion = std::function<void(std::optional<AdapterError>)>;
  using RuntimeCompletion = std::function<void(std::optional<std::string>)>;

  virtual ~WireGuardAdapter() = default;
  WireGuardAdapter(const WireGuardAdapter&) = delete;
  WireGuardAdapter& operator=(const WireGuardAdapter&) = delete;

  virtual void Start(const TunnelConfiguration& config, Completion completion) = 0;
  virtual void Stop(Completion completion) = 0;
  virtual void Update(const TunnelConfiguration& config, Completion completion) = 0;
  virtual void GetRuntimeConfiguration(RuntimeCompletion completion) = 0;

 protected:
  explicit WireGuardAdapter(WireGuardLogHandler log_handler)
      : log_handler_(std::move(log_handler)) {}
  const WireGuardLogHandler& log_handler() const { return log_handler_; }

 private:
  WireGuardLogHandler log_handler_;
};

}  // namespace kelvo
