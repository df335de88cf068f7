// Construction, start and stop of the tunnel, and the numbered debug log.
#include <string_view>

#include "tunnel/packet_tunnel_provider.h"

namespace kelvo {

namespace {

// Whitespace and line ends as the platform's trimming knows them: ASCII
// controls 9-13, space, and the Unicode spaces and line separators.
size_t WhitespaceLengthAt(std::string_view s, size_t i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  if (c == ' ' || (c >= 9 && c <= 13)) return 1;
  auto starts = [&](std::string_view seq) { return s.substr(i, seq.size()) == seq; };
  static constexpr std::string_view kMultiByte[] = {
      "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\xA8", "\xE2\x80\xA9",
      "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
  for (auto seq : kMultiByte) {
    if (starts(seq)) return seq.size();
  }
  // U+2000..U+200A
  if (c == 0xE2 && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x80 &&
      static_cast<unsigned char>(s[i + 2]) >= 0x80 && static_cast<unsigned char>(s[i + 2]) <= 0x8A) {
    return 3;
  }
  return 0;
}

bool IsBlankText(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    size_t n = WhitespaceLengthAt(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

}  // namespace

std::shared_ptr<PacketTunnelProvider> PacketTunnelProvider::Create(ProviderPlatform platform) {
  return std::shared_ptr<PacketTunnelProvider>(new PacketTunnelProvider(std::move(platform)));
}

PacketTunnelProvider::PacketTunnelProvider(ProviderPlatform platform)
    : platform_(std::move(platform)),
      log(platform_.log),
      wdQueue(platform_.dispatch->CreateSerialQueue("net.kelvo.app.watchdog")) {}

PacketTunnelProvider::~PacketTunnelProvider() {
  std::lock_guard lock(timer_mu_);
  if (wdTimer) wdTimer->Cancel();
}

ProviderError PacketTunnelProvider::err(const std::string& message) {
  return ProviderError{kProviderErrorDomain, -1, message};
}

WireGuardAdapter& PacketTunnelProvider::adapter() {
  std::lock_guard lock(adapter_mu_);
  if (!adapter_) {
    std::weak_ptr<PacketTunnelProvider> weak = weak_from_this();
    adapter_ = platform_.make_adapter([weak](WireGuardLogLevel, const std::string& message) {
      if (auto self = weak.lock()) self->log->Notice("WG: " + message);
    });
  }
  return *adapter_;
}

void PacketTunnelProvider::dbg(const std::string& message) {
  // One lock over numbering, log and store, so that lines from different
  // threads reach the log in number order and "wd_debug" ends up holding
  // the newest line, not whichever write came last.
  std::lock_guard lock(dbg_mu_);
  ++dbgSeq;
  std::string line = "#" + std::to_string(dbgSeq) + " " + message;
  dbgBuffer.push_back(line);
  while (dbgBuffer.size() > kDebugBufferLines) dbgBuffer.pop_front();
  log->Info("Drimo wd: " + line);
  platform_.settings->WriteString("wd_debug", line);
}

std::vector<std::string> PacketTunnelProvider::debugLines() const {
  std::lock_guard lock(dbg_mu_);
  return {dbgBuffer.begin(), dbgBuffer.end()};
}

bool PacketTunnelProvider::timerArmed() const {
  std::lock_guard lock(timer_mu_);
  return wdTimer != nullptr;
}

void PacketTunnelProvider::currentPhase(std::function<void(ProviderPhase)> done) {
  std::weak_ptr<PacketTunnelProvider> weak = weak_from_this();
  wdQueue->Async([weak, done] {
    auto self = weak.lock();
    done(self ? self->phase_ : ProviderPhase::stopped);
  });
}

void PacketTunnelProvider::startTunnel(const std::optional<ValueMap>& options,
                                       StartCompletion completion) {
  log->Info("Drimo startTunnel");
  const Value* cfg = options ? options->find(std::string_view("cfg")) : nullptr;
  const std::string* text = cfg ? cfg->get_if<std::string>() : nullptr;
  // The trimmed copy only decides emptiness; the text is parsed as given.
  if (text == nullptr || IsBlankText(*text)) {
    completion(err("missing cfg in options"));
    return;
  }
  auto parsed = TunnelConfiguration::FromWgQuickConfig(*text, std::nullopt);
  if (!parsed) {
    completion(err("invalid cfg: " + parsed.error().description()));
    return;
  }
  // Through wdQueue, so that a stop asked for after this start reaches the
  // adapter after it.
  std::weak_ptr<PacketTunnelProvider> weak = weak_from_this();
  wdQueue->Async([weak, config = std::move(*parsed), completion] {
    if (auto self = weak.lock()) self->beginStart(config, completion);
  });
}

void PacketTunnelProvider::beginStart(const TunnelConfiguration& config,
                                      StartCompletion completion) {
  uint64_t seq = ++lifecycleSeq_;
  lastStartSeq_ = seq;
  ++startsPending_;
  settlePhase();
  std::weak_ptr<PacketTunnelProvider> weak = weak_from_this();
  adapter().Start(config, [weak, seq, completion](std::optional<AdapterError> error) {
    auto self = weak.lock();
    if (!self) return;
    self->wdQueue->Async([weak, seq, error, completion] {
      if (auto self = weak.lock()) self->finishStart(seq, error, completion);
    });
  });
}

void PacketTunnelProvider::finishStart(uint64_t seq, std::optional<AdapterError> error,
                                       StartCompletion completion) {
  --startsPending_;
  const bool superseded = lastStopSeq_ > seq;
  if (error) {
    log->Error("startTunnel adapter error: " + error->description());
    settlePhase();
    completion(ProviderError{kAdapterErrorDomain, 1, error->description()});
    return;
  }
  if (superseded) {
    // The adapter applied the later stop after this start: nothing runs,
    // and nothing may be armed for it.
    log->Info("startTunnel completed after a stop; the watchdog stays off");
    settlePhase();
    completion(err("startTunnel cancelled by stopTunnel"));
    return;
  }
  up_ = true;
  settlePhase();
  failCount = 0;
  dbg("startTunnel OK — arrancando watchdog");
  startWatchdog();
  completion(std::nullopt);
}

void PacketTunnelProvider::stopTunnel(int64_t reason, std::function<void()> completion) {
  log->Info("Drimo stopTunnel reason=" + std::to_string(reason));
  std::weak_ptr<PacketTunnelProvider> weak = weak_from_this();
  wdQueue->Async([weak, completion] {
    if (auto self = weak.lock()) {
      self->beginStop(completion);
    } else {
      completion();
    }
  });
}

void PacketTunnelProvider::beginStop(std::function<void()> completion) {
  lastStopSeq_ = ++lifecycleSeq_;
  ++stopsPending_;
  up_ = false;
  settlePhase();
  cancelTimer();
  resetWatch();
  std::weak_ptr<PacketTunnelProvider> weak = weak_from_this();
  adapter().Stop([weak, completion](std::optional<AdapterError> error) {
    auto self = weak.lock();
    if (!self) {
      completion();
      return;
    }
    self->wdQueue->Async([weak, error, completion] {
      if (auto self = weak.lock()) {
        if (error) self->log->Error("stopTunnel adapter error: " + error->description());
        --self->stopsPending_;
        self->settlePhase();
      }
      completion();
    });
  });
}

void PacketTunnelProvider::settlePhase() {
  if (lastStopSeq_ > lastStartSeq_) {
    phase_ = stopsPending_ > 0 ? ProviderPhase::stopping : ProviderPhase::stopped;
  } else if (up_) {
    phase_ = ProviderPhase::running;
  } else if (startsPending_ > 0) {
    phase_ = ProviderPhase::starting;
  } else {
    phase_ = ProviderPhase::stopped;
  }
}

void PacketTunnelProvider::cancelTimer() {
  std::lock_guard lock(timer_mu_);
  if (wdTimer) wdTimer->Cancel();
  wdTimer = nullptr;
}

void PacketTunnelProvider::resetWatch() {
  ++wdGeneration_;
  reading = false;
  probing = false;
  recovering = false;
  std::lock_guard lock(session_mu_);
  if (session_) session_->CancelAll();
}

void PacketTunnelProvider::sleep(std::function<void()> completion) { completion(); }

}  // namespace kelvo
