#include "platform/wireguard/memory_adapter.h"

#include <cmath>
#include <map>

namespace kelvo {

std::optional<MemoryHandshake> ParseMemoryHandshake(const std::string& text) {
  if (text == "fresh") return MemoryHandshake::kFresh;
  if (text == "stale") return MemoryHandshake::kStale;
  if (text == "none") return MemoryHandshake::kNone;
  return std::nullopt;
}

MemoryAdapter::MemoryAdapter(std::shared_ptr<Queue> queue, const Clock& clock,
                             WireGuardLogHandler log_handler, MemoryHandshake handshake)
    : WireGuardAdapter(std::move(log_handler)),
      queue_(std::move(queue)),
      clock_(clock),
      handshake_(handshake) {}

int64_t MemoryAdapter::StampAtStart(int64_t now) const {
  switch (handshake_) {
    case MemoryHandshake::kFresh:
      return now;
    case MemoryHandshake::kStale:
      return now - kStaleHandshakeAge;
    case MemoryHandshake::kNone:
      break;
  }
  return 0;
}

int64_t MemoryAdapter::StampAtUpdate(int64_t now) const {
  return handshake_ == MemoryHandshake::kNone ? 0 : now;
}

void MemoryAdapter::Start(const TunnelConfiguration& config, Completion completion) {
  const int64_t now = NowSeconds();  // outside mu_: the clock may lock too
  std::optional<AdapterError> error;
  {
    std::lock_guard lock(mu_);
    ++start_calls_;
    if (start_error_) {
      error = start_error_;
    } else if (running_) {
      error = AdapterError("Invalid state: the tunnel is already running");
    } else {
      running_ = true;
      config_ = config;
      peers_.assign(config.peers.size(), PeerState{StampAtStart(now), 0, 0});
    }
  }
  if (error) {
    Log(WireGuardLogLevel::error, "Starting tunnel failed: " + error->description());
  } else {
    Log(WireGuardLogLevel::verbose,
        "Tunnel started with " + std::to_string(config.peers.size()) + " peer(s)");
  }
  Complete("start", std::move(completion), std::move(error));
}

void MemoryAdapter::Update(const TunnelConfiguration& config, Completion completion) {
  const int64_t now = NowSeconds();
  std::optional<AdapterError> error;
  {
    std::lock_guard lock(mu_);
    ++update_calls_;
    if (update_error_) {
      error = update_error_;
    } else if (!running_) {
      error = AdapterError("Invalid state: the tunnel is not running");
    } else {
      std::vector<PeerState> next(config.peers.size(), PeerState{StampAtUpdate(now), 0, 0});
      if (!stamp_on_update_) {
        std::map<WireGuardKey, PeerState> old;
        for (size_t i = 0; i < peers_.size(); ++i) old[config_->peers[i].public_key] = peers_[i];
        for (size_t i = 0; i < next.size(); ++i) {
          auto it = old.find(config.peers[i].public_key);
          next[i] = it != old.end() ? it->second : PeerState{};
        }
      }
      config_ = config;
      peers_ = std::move(next);
    }
  }
  if (error) {
    Log(WireGuardLogLevel::error, "Updating tunnel failed: " + error->description());
  } else {
    Log(WireGuardLogLevel::verbose,
        "Tunnel updated with " + std::to_string(config.peers.size()) + " peer(s)");
  }
  Complete("update", std::move(completion), std::move(error));
}

void MemoryAdapter::Stop(Completion completion) {
  std::optional<AdapterError> error;
  {
    std::lock_guard lock(mu_);
    ++stop_calls_;
    if (stop_error_) {
      error = stop_error_;
    } else if (!running_) {
      error = AdapterError("Invalid state: the tunnel is not running");
    } else {
      running_ = false;
      config_.reset();
      peers_.clear();
    }
  }
  if (error) {
    Log(WireGuardLogLevel::error, "Stopping tunnel failed: " + error->description());
  } else {
    Log(WireGuardLogLevel::verbose, "Tunnel stopped");
  }
  Complete("stop", std::move(completion), std::move(error));
}

void MemoryAdapter::GetRuntimeConfiguration(RuntimeCompletion completion) {
  std::optional<std::string> text;
  {
    std::lock_guard lock(mu_);
    ++runtime_queries_;
    if (running_ && !runtime_unavailable_) text = RuntimeText();
  }
  Post("runtime", [completion = std::move(completion), text = std::move(text)]() mutable {
    if (completion) completion(std::move(text));
  });
}

std::string MemoryAdapter::RuntimeText() const {
  const TunnelConfiguration& config = *config_;
  std::string out = "private_key=" + WireGuardKeyToHex(config.interface.private_key) + "\n";
  if (config.interface.listen_port) {
    out += "listen_port=" + std::to_string(*config.interface.listen_port) + "\n";
  }
  for (size_t i = 0; i < config.peers.size(); ++i) {
    const PeerConfiguration& peer = config.peers[i];
    const PeerState& state = peers_[i];
    out += "public_key=" + WireGuardKeyToHex(peer.public_key) + "\n";
    if (peer.preshared_key) out += "preshared_key=" + WireGuardKeyToHex(*peer.preshared_key) + "\n";
    out += "protocol_version=1\n";
    if (peer.endpoint) out += "endpoint=" + peer.endpoint->ToString() + "\n";
    out += "last_handshake_time_sec=" + std::to_string(state.handshake_sec) + "\n";
    out += "last_handshake_time_nsec=0\n";
    out += "tx_bytes=" + std::to_string(state.tx_bytes) + "\n";
    out += "rx_bytes=" + std::to_string(state.rx_bytes) + "\n";
    out +=
        "persistent_keepalive_interval=" + std::to_string(peer.persistent_keepalive.value_or(0)) +
        "\n";
    for (const IPAddressRange& range : peer.allowed_ips) {
      out += "allowed_ip=" + range.ToString() + "\n";
    }
  }
  return out;
}

void MemoryAdapter::SetStartError(std::optional<AdapterError> error) {
  std::lock_guard lock(mu_);
  start_error_ = std::move(error);
}

void MemoryAdapter::SetUpdateError(std::optional<AdapterError> error) {
  std::lock_guard lock(mu_);
  update_error_ = std::move(error);
}

void MemoryAdapter::SetStopError(std::optional<AdapterError> error) {
  std::lock_guard lock(mu_);
  stop_error_ = std::move(error);
}

void MemoryAdapter::SetRuntimeUnavailable(bool unavailable) {
  std::lock_guard lock(mu_);
  runtime_unavailable_ = unavailable;
}

bool MemoryAdapter::SetHandshakeTime(size_t peer_index, int64_t seconds) {
  std::lock_guard lock(mu_);
  if (peer_index >= peers_.size()) return false;
  peers_[peer_index].handshake_sec = seconds;
  return true;
}

bool MemoryAdapter::SetHandshakeTime(const std::string& public_key_base64, int64_t seconds) {
  auto key = WireGuardKeyFromBase64(public_key_base64);
  if (!key) return false;
  std::lock_guard lock(mu_);
  if (!config_) return false;
  for (size_t i = 0; i < config_->peers.size(); ++i) {
    if (config_->peers[i].public_key == *key) {
      peers_[i].handshake_sec = seconds;
      return true;
    }
  }
  return false;
}

void MemoryAdapter::SetStampHandshakesOnUpdate(bool stamp) {
  std::lock_guard lock(mu_);
  stamp_on_update_ = stamp;
}

bool MemoryAdapter::SetTransfer(size_t peer_index, uint64_t tx_bytes, uint64_t rx_bytes) {
  std::lock_guard lock(mu_);
  if (peer_index >= peers_.size()) return false;
  peers_[peer_index].tx_bytes = tx_bytes;
  peers_[peer_index].rx_bytes = rx_bytes;
  return true;
}

bool MemoryAdapter::running() const {
  std::lock_guard lock(mu_);
  return running_;
}

std::optional<TunnelConfiguration> MemoryAdapter::configuration() const {
  std::lock_guard lock(mu_);
  return config_;
}

int MemoryAdapter::start_calls() const {
  std::lock_guard lock(mu_);
  return start_calls_;
}

int MemoryAdapter::update_calls() const {
  std::lock_guard lock(mu_);
  return update_calls_;
}

int MemoryAdapter::stop_calls() const {
  std::lock_guard lock(mu_);
  return stop_calls_;
}

int MemoryAdapter::runtime_queries() const {
  std::lock_guard lock(mu_);
  return runtime_queries_;
}

void MemoryAdapter::Complete(const char* kind, Completion completion,
                             std::optional<AdapterError> error) {
  Post(kind, [completion = std::move(completion), error = std::move(error)]() mutable {
    if (completion) completion(std::move(error));
  });
}

void MemoryAdapter::Post(const char* kind, std::function<void()> work) {
  {
    std::lock_guard lock(mu_);
    if (hold_) {
      held_.emplace_back(kind, std::move(work));
      return;
    }
  }
  queue_->Async(std::move(work));
}

void MemoryAdapter::SetHoldCompletions(bool hold) {
  std::lock_guard lock(mu_);
  hold_ = hold;
}

std::vector<std::string> MemoryAdapter::HeldCompletions() const {
  std::lock_guard lock(mu_);
  std::vector<std::string> kinds;
  for (const auto& [kind, work] : held_) kinds.push_back(kind);
  return kinds;
}

bool MemoryAdapter::ReleaseCompletion(size_t index) {
  std::function<void()> work;
  {
    std::lock_guard lock(mu_);
    if (index >= held_.size()) return false;
    work = std::move(held_[index].second);
    held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(index));
  }
  queue_->Async(std::move(work));
  return true;
}

void MemoryAdapter::Log(WireGuardLogLevel level, std::string message) {
  if (!log_handler()) return;
  queue_->Async(
      [handler = log_handler(), level, message = std::move(message)] { handler(level, message); });
}

int64_t MemoryAdapter::NowSeconds() const {
  return static_cast<int64_t>(std::floor(clock_.WallSeconds()));
}

}  // namespace kelvo
