// PacketTunnelProvider: runs the WireGuard tunnel and looks after it.
//
// The runtime (kelvo-tun, or a test) builds one provider with Create() and
// calls the overrides startTunnel, stopTunnel, sleep, wake and
// handleAppMessage as the system would. After a successful start a watchdog
// on `wdQueue` checks the newest handshake every 30 s; a stale tunnel on a
// working network is repaired in place with a configuration fetched from
// the configuration service, and enough failures alert the user.
//
// Ownership: the provider owns its adapter, timer, queue and URL session.
// Every closure it hands to the platform holds it weakly and does nothing
// once it is gone, so destroying the provider with work in flight is safe.
// Lifecycle: the provider is stopped, starting, running or stopping. The
// state lives on wdQueue with the watchdog's; startTunnel and stopTunnel
// hand their work to that queue in call order, so the adapter sees start
// and stop in the order the system asked for them. A stop wins over every
// start asked for before it: once stopTunnel has been called, no timer,
// tick, probe or recovery set going by an earlier start acts again, in
// whatever order the adapter's completions arrive; such a start completes
// with err("startTunnel cancelled by stopTunnel"). Adapters must apply
// their operations in call order (see wireguard_adapter.h).
// Watchdog: one handshake reading, probe or recovery at a time; a tick
// while one is pending is skipped with a debug line. Everything the
// watchdog sets going carries its generation, bumped by a stop, a re-arm
// and an abandoned recovery, so a late completion of an older generation
// changes nothing.
// Threading: the overrides may be called from any thread. Lifecycle and
// watchdog state (phase, failCount, wasHealthy, reading, probing,
// recovering, recoverStartedAt, the generation) lives on wdQueue; the debug
// log and the timer slot take a lock of their own since callbacks of the
// adapter, URL session and notification centre write the log from their
// own threads and tests read the timer slot from theirs.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/engine/value.h"
#include "platform/http/url_session.h"
#include "platform/log/system_log.h"
#include "platform/network/tcp_connection.h"
#include "platform/notifications/notification_center.h"
#include "platform/wireguard/wireguard_adapter.h"
#include "tunnel/app_group_settings.h"
#include "tunnel/conf_text.h"

namespace kelvo {

// The error a start reports to the system.
enum class ProviderPhase { stopped, starting, running, stopping };

struct ProviderError {
  std::string domain;
  int64_t code = 0;
  std::string description;

  bool operator==(const ProviderError&) const = default;
};

inline constexpr const char* kProviderErrorDomain = "Drimo.PacketTunnelProvider";
inline constexpr const char* kAdapterErrorDomain = "WireGuardAdapterError";

// What the platform gives the provider. Factories run lazily, at most once.
struct ProviderPlatform {
  Dispatch* dispatch = nullptr;  // not owned; outlives the provider
  std::shared_ptr<AppGroupSettings> settings;
  std::shared_ptr<SystemLog> log;
  std::function<std::unique_ptr<WireGuardAdapter>(WireGuardLogHandler)> make_adapter;
  std::function<std::shared_ptr<UrlSession>()> make_url_session;
  std::shared_ptr<TcpConnector> tcp;
  // The "current" centre, asked anew for each alert.
  std::function<std::shared_ptr<NotificationCenter>()> notification_center;
  // Where the probe connects; networks that block the default may change it.
  std::string probe_host = "1.1.1.1";
  uint16_t probe_port = 443;
};

class PacketTunnelProvider : public std::enable_shared_from_this<PacketTunnelProvider> {
 public:
  using StartCompletion = std::function<void(std::optional<ProviderError>)>;
  using AppMessageCompletion = std::function<void(std::optional<std::vector<uint8_t>>)>;

  static std::shared_ptr<PacketTunnelProvider> Create(ProviderPlatform platform);
  ~PacketTunnelProvider();

  // System overrides.
  void startTunnel(const std::optional<ValueMap>& options, StartCompletion completion);
  void stopTunnel(int64_t reason, std::function<void()> completion);
  void sleep(std::function<void()> completion);
  void wake();
  void handleAppMessage(const std::vector<uint8_t>& message, AppMessageCompletion completion);

  // The provider's own error: domain "Drimo.PacketTunnelProvider", code -1.
  static ProviderError err(const std::string& message);

  // Constants; nothing changes them at run time.
  static constexpr double recoverStuckSec = 90.0;
  static constexpr int maxFails = 7;
  static constexpr int postHealthyMinFails = 2;
  static constexpr double hsMaxAge = 180.0;
  static constexpr int wdInterval = 30;
  static constexpr double probeTimeout = 4.0;
  static constexpr size_t kDebugBufferLines = 40;
  const std::string appGroupId = kAppGroupId;

  // For tests and the report: a copy of the debug buffer, oldest first.
  std::vector<std::string> debugLines() const;
  bool timerArmed() const;
  // The lifecycle phase once every call made before this one has been taken
  // in; `done` runs on wdQueue.
  void currentPhase(std::function<void(ProviderPhase)> done);
  std::shared_ptr<Queue> watchdogQueue() const { return wdQueue; }

 private:
  explicit PacketTunnelProvider(ProviderPlatform platform);

  // Lifecycle and debug log.
  WireGuardAdapter& adapter();
  void dbg(const std::string& message);

  // Lifecycle, on wdQueue.
  void beginStart(const TunnelConfiguration& config, StartCompletion completion);
  void finishStart(uint64_t seq, std::optional<AdapterError> error, StartCompletion completion);
  void beginStop(std::function<void()> completion);
  void settlePhase();
  // Ends everything the watchdog set going: bumps the generation, clears
  // the flags, cancels requests in flight.
  void resetWatch();
  void cancelTimer();

  // Watchdog.
  void startWatchdog();
  void tick();
  void handshakeAge(std::function<void(std::optional<double>)> completion);
  void evaluateAge(std::optional<double> age);
  void probe(const std::string& host, std::function<void(bool)> completion);
  void evaluateProbe(bool networkWorks, bool split);
  // Runs `work` on wdQueue later, if the provider still exists and the
  // watchdog is still at generation `gen`.
  void onWatchQueue(uint64_t gen, std::function<void(PacketTunnelProvider&)> work);

  // Configuration service client.
  UrlSession& wdURLSession();
  void fetchFreshConf(std::function<void(std::optional<FreshConf>)> completion);
  void confRequest(const std::string& url, const std::string& bearer,
                   std::function<void(std::optional<std::vector<uint8_t>>, int)> completion);
  void refreshAccessToken(std::function<void(std::optional<std::string>)> completion);

  // Recovery, alert, report.
  void recover(bool split);
  void postBrokenNotification();
  std::string diagnosticReport() const;

  ProviderPlatform platform_;
  std::shared_ptr<SystemLog> log;

  std::mutex adapter_mu_;
  std::unique_ptr<WireGuardAdapter> adapter_;
  std::mutex session_mu_;
  std::shared_ptr<UrlSession> session_;

  mutable std::mutex dbg_mu_;
  int64_t dbgSeq = 0;
  std::deque<std::string> dbgBuffer;

  mutable std::mutex timer_mu_;
  std::shared_ptr<TimerSource> wdTimer;

  const std::shared_ptr<Queue> wdQueue;

  // Owned by wdQueue.
  ProviderPhase phase_ = ProviderPhase::stopped;
  uint64_t lifecycleSeq_ = 0;  // numbers start and stop requests
  uint64_t lastStartSeq_ = 0;
  uint64_t lastStopSeq_ = 0;
  int startsPending_ = 0;
  int stopsPending_ = 0;
  bool up_ = false;  // a start succeeded since the last stop
  uint64_t wdGeneration_ = 0;
  bool reading = false;  // a handshake age is requested and not yet evaluated
  bool recovering = false;
  std::optional<double> recoverStartedAt;  // wall-clock seconds since the epoch (WallSeconds)
  int failCount = 0;
  bool wasHealthy = false;
  bool probing = false;
};

// The age in seconds of the newest handshake in a runtime configuration
// text, at wall time `now`; nullopt when no peer has had one.
std::optional<double> NewestHandshakeAge(const std::string& runtime, double now);

}  // namespace kelvo
