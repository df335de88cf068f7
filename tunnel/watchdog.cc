// The watchdog: every wdInterval seconds it reads the newest handshake's
// age, probes the network when the tunnel looks stale, counts failures,
// starts recoveries and raises the alert.
#include <cmath>
#include <cstdlib>

#include "tunnel/packet_tunnel_provider.h"

namespace kelvo {

namespace {

const char* Bool(bool b) { return b ? "true" : "false"; }

}  // namespace

std::optional<double> NewestHandshakeAge(const std::string& runtime, double now) {
  static constexpr std::string_view kKey = "last_handshake_time_sec=";
  double newest = 0;
  size_t start = 0;
  while (start <= runtime.size()) {
    size_t end = runtime.find('\n', start);
    if (end == std::string::npos) end = runtime.size();
    std::string_view line(runtime.data() + start, end - start);
    if (line.substr(0, kKey.size()) == kKey) {
      std::string value(line.substr(kKey.size()));
      char* parsed_end = nullptr;
      double v = std::strtod(value.c_str(), &parsed_end);
      if (!value.empty() && parsed_end == value.c_str() + value.size() && std::isfinite(v)) {
        newest = std::max(newest, v);
      }
    }
    start = end + 1;
  }
  if (newest <= 0) return std::nullopt;
  return now - newest;
}

void PacketTunnelProvider::startWatchdog() {
  // Whatever the previous arming set going belongs to it, not to this one.
  resetWatch();
  {
    std::lock_guard lock(timer_mu_);
    if (wdTimer) {
      wdTimer->Cancel();
      wdTimer = nullptr;
    }
    auto timer = platform_.dispatch->CreateTimer(wdQueue);
    timer->Schedule(std::chrono::seconds(wdInterval), std::chrono::seconds(wdInterval),
                    Duration::zero());
    std::weak_ptr<PacketTunnelProvider> weak = weak_from_this();
    timer->SetEventHandler([weak] {
      if (auto self = weak.lock()) self->tick();
    });
    wdTimer = timer;
    timer->Resume();
  }
  dbg("watchdog timer armado (" + std::to_string(wdInterval) + "s)");
}

void PacketTunnelProvider::wake() {
  std::weak_ptr<PacketTunnelProvider> weak = weak_from_this();
  wdQueue->Async([weak] {
    if (auto self = weak.lock()) self->tick();
  });
}

void PacketTunnelProvider::onWatchQueue(uint64_t gen,
                                        std::function<void(PacketTunnelProvider&)> work) {
  std::weak_ptr<PacketTunnelProvider> weak = weak_from_this();
  wdQueue->Async([weak, gen, work = std::move(work)] {
    auto self = weak.lock();
    if (self && self->wdGeneration_ == gen) work(*self);
  });
}

void PacketTunnelProvider::tick() {
  // A timer event or a wake that was already on its way when the tunnel
  // stopped finds nothing to watch.
  if (phase_ != ProviderPhase::running) return;
  const auto& settings = *platform_.settings;
  std::optional<std::string> enabled =
      settings.Available() ? settings.ReadString("wd_enabled") : std::nullopt;
  if (enabled != "1") {
    dbg("tick SKIP wd_enabled=" + enabled.value_or("nil"));
    return;
  }
  if (recovering && recoverStartedAt &&
      platform_.dispatch->WallSeconds() - *recoverStartedAt > recoverStuckSec) {
    // Abandoned: its completion, should it still come, changes nothing.
    recovering = false;
    ++wdGeneration_;
  }
  if (reading) {
    // One outage counts once: the pending reading decides for this tick too.
    dbg(std::string("tick SKIP reading=true probing=") + Bool(probing) +
        " recovering=" + Bool(recovering));
    return;
  }
  if (probing || recovering) {
    dbg(std::string("tick SKIP probing=") + Bool(probing) + " recovering=" + Bool(recovering));
    return;
  }
  dbg("tick → leyendo handshake…");
  reading = true;
  std::weak_ptr<PacketTunnelProvider> weak = weak_from_this();
  const uint64_t gen = wdGeneration_;
  handshakeAge([weak, gen](std::optional<double> age) {
    if (auto self = weak.lock()) {
      self->onWatchQueue(gen, [age](PacketTunnelProvider& p) { p.evaluateAge(age); });
    }
  });
}

void PacketTunnelProvider::handshakeAge(std::function<void(std::optional<double>)> completion) {
  Dispatch* dispatch = platform_.dispatch;
  adapter().GetRuntimeConfiguration(
      [dispatch, completion](std::optional<std::string> runtime) {
        if (!runtime) {
          completion(std::nullopt);
          return;
        }
        completion(NewestHandshakeAge(*runtime, dispatch->WallSeconds()));
      });
}

void PacketTunnelProvider::evaluateAge(std::optional<double> age) {
  reading = false;
  bool healthy = age.has_value() && *age < hsMaxAge;
  std::string shown = age ? std::to_string(static_cast<int64_t>(std::trunc(*age))) : "nil";
  dbg("hsAge=" + shown + " healthy=" + Bool(healthy) + " failCount=" + std::to_string(failCount));
  auto& settings = *platform_.settings;
  if (healthy) {
    failCount = 0;
    wasHealthy = true;
    settings.WriteString("wd_broken", "0");
    return;
  }
  bool split = settings.Flag("wd_split_tunnel");
  probing = true;
  std::weak_ptr<PacketTunnelProvider> weak = weak_from_this();
  const uint64_t gen = wdGeneration_;
  probe(platform_.probe_host, [weak, gen, split](bool networkWorks) {
    if (auto self = weak.lock()) {
      self->onWatchQueue(gen, [networkWorks, split](PacketTunnelProvider& p) {
        p.evaluateProbe(networkWorks, split);
      });
    }
  });
}

void PacketTunnelProvider::evaluateProbe(bool networkWorks, bool split) {
  probing = false;
  if (!networkWorks) {
    dbg("probe " + platform_.probe_host + " KO — sin internet, no cuenta");
    return;
  }
  failCount += 1;
  int threshold = wasHealthy ? postHealthyMinFails : maxFails;
  dbg("intento fallido #" + std::to_string(failCount) + "/" + std::to_string(threshold) +
      " wasHealthy=" + Bool(wasHealthy) + " (split=" + Bool(split) + ")");
  if (failCount >= threshold) {
    dbg("→ NOTIFICAR y reset contador");
    platform_.settings->WriteString("wd_broken", "1");
    postBrokenNotification();
    failCount = 0;
    wasHealthy = false;
  }
  dbg(std::string("→ recover (split=") + Bool(split) + ")");
  recover(split);
}

void PacketTunnelProvider::probe(const std::string& host, std::function<void(bool)> completion) {
  auto connection = platform_.tcp->Create(host, platform_.probe_port);
  auto finished = std::make_shared<bool>(false);
  std::shared_ptr<Queue> queue = wdQueue;
  // Runs on wdQueue; only the first finish counts.
  auto finish = [queue, connection, finished, completion](bool result) {
    queue->Async([connection, finished, completion, result] {
      if (*finished) return;
      *finished = true;
      connection->Cancel();
      completion(result);
    });
  };
  connection->SetStateHandler([finish](TcpConnectionState state) {
    switch (state.state) {
      case TcpState::kReady:
        finish(true);
        break;
      case TcpState::kWaiting:
        // A refusal proves packets go out and come back.
        if (state.error == ECONNREFUSED) finish(true);
        break;
      case TcpState::kFailed:
        finish(state.error == ECONNREFUSED);
        break;
      default:
        break;
    }
  });
  connection->Start(wdQueue);
  wdQueue->AsyncAfter(Seconds(probeTimeout), [finish] { finish(false); });
}

}  // namespace kelvo
