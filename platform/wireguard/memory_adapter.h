// MemoryAdapter: a WireGuardAdapter whose tunnel exists only in memory. It
// records what it is given, reports a runtime text built from that, and
// lets tests decide handshake times and failures.
//
// Behaviour:
// - Start (when not running) and Update (when running) record the
//   configuration and stamp each peer's last handshake according to the
//   handshake mode: kFresh (default) stamps the clock's "now" (whole
//   seconds) at both; kStale stamps kStaleHandshakeAge seconds before now
//   at Start and "now" at Update, as a dead tunnel that a new
//   configuration repairs; kNone stamps 0 (no handshake ever) at both. Start while running, and Update or Stop while not
//   running, fail with an "Invalid state" error and change nothing.
// - An injected error (SetStartError and friends) makes that operation fail
//   with it, changing nothing, until it is cleared with nullopt.
// - GetRuntimeConfiguration yields nullopt while not running or while
//   SetRuntimeUnavailable(true); else the UAPI-style text:
//     private_key=<hex>\n[listen_port=<n>\n]
//     then per peer: public_key=<hex>\n[preshared_key=<hex>\n]
//     protocol_version=1\n[endpoint=<host:port>\n]
//     last_handshake_time_sec=<n>\nlast_handshake_time_nsec=0\n
//     tx_bytes=<n>\nrx_bytes=<n>\npersistent_keepalive_interval=<n>\n
//     allowed_ip=<range>\n (one per range)
//   Endpoints are shown as configured; nothing is resolved.
// - Operations take effect in the order they are called, whatever order
//   their completions are later delivered in.
// - Every completion and log call is posted to `queue`, so a test on
//   virtual time decides when they run. With SetHoldCompletions(true) the
//   completions (of every operation, runtime queries included) are held
//   instead, and the test releases them one by one in any order.
//   Completions do not reference the adapter, which may be destroyed while
//   they are pending.
//
// Threading: every method is safe from any thread. `clock` is not owned and
// must outlive the adapter.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/wireguard/wireguard_adapter.h"

namespace kelvo {

enum class MemoryHandshake { kFresh, kStale, kNone };

// "fresh", "stale" or "none"; nullopt for anything else.
std::optional<MemoryHandshake> ParseMemoryHandshake(const std::string& text);

class MemoryAdapter : public WireGuardAdapter {
 public:
  // How old a kStale handshake is when the tunnel starts.
  static constexpr int64_t kStaleHandshakeAge = 3600;

  MemoryAdapter(std::shared_ptr<Queue> queue, const Clock& clock, WireGuardLogHandler log_handler,
                MemoryHandshake handshake = MemoryHandshake::kFresh);

  void Start(const TunnelConfiguration& config, Completion completion) override;
  void Stop(Completion completion) override;
  void Update(const TunnelConfiguration& config, Completion completion) override;
  void GetRuntimeConfiguration(RuntimeCompletion completion) override;

  // Test controls.
  void SetStartError(std::optional<AdapterError> error);
  void SetUpdateError(std::optional<AdapterError> error);
  void SetStopError(std::optional<AdapterError> error);
  void SetRuntimeUnavailable(bool unavailable);
  // Sets one running peer's last handshake (seconds since 1970; 0: none
  // yet) until the next Start or Update. False when there is no such peer.
  bool SetHandshakeTime(size_t peer_index, int64_t seconds);
  bool SetHandshakeTime(const std::string& public_key_base64, int64_t seconds);
  // With false, Update keeps the handshake time of peers whose public key
  // was already configured, and gives new peers 0. Default true.
  void SetStampHandshakesOnUpdate(bool stamp);
  // Holds completions until released (see Behaviour). Turning it off
  // releases nothing by itself.
  void SetHoldCompletions(bool hold);
  // What is held, oldest first: "start", "stop", "update" or "runtime".
  std::vector<std::string> HeldCompletions() const;
  // Posts the held completion at `index` to the queue; false when none.
  bool ReleaseCompletion(size_t index);
  bool SetTransfer(size_t peer_index, uint64_t tx_bytes, uint64_t rx_bytes);

  // Observation.
  bool running() const;
  std::optional<TunnelConfiguration> configuration() const;
  int start_calls() const;
  int update_calls() const;
  int stop_calls() const;
  int runtime_queries() const;

 private:
  struct PeerState {
    int64_t handshake_sec = 0;
    uint64_t tx_bytes = 0;
    uint64_t rx_bytes = 0;
  };

  void Complete(const char* kind, Completion completion, std::optional<AdapterError> error);
  void Post(const char* kind, std::function<void()> work);
  int64_t StampAtStart(int64_t now) const;   // mu_ held
  int64_t StampAtUpdate(int64_t now) const;  // mu_ held
  void Log(WireGuardLogLevel level, std::string message);
  int64_t NowSeconds() const;
  std::string RuntimeText() const;  // mu_ held

  const std::shared_ptr<Queue> queue_;
  const Clock& clock_;

  mutable std::mutex mu_;
  bool running_ = false;
  std::optional<TunnelConfiguration> config_;
  std::vector<PeerState> peers_;  // parallel to config_->peers
  std::optional<AdapterError> start_error_, update_error_, stop_error_;
  bool runtime_unavailable_ = false;
  bool stamp_on_update_ = true;
  const MemoryHandshake handshake_;
  bool hold_ = false;
  std::vector<std::pair<std::string, std::function<void()>>> held_;
  int start_calls_ = 0, update_calls_ = 0, stop_calls_ = 0, runtime_queries_ = 0;
};

}  // namespace kelvo
