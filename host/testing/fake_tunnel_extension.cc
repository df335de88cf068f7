#include "host/testing/fake_tunnel_extension.h"

#include <filesystem>

#include "platform/defaults/app_group_container.h"
#include "platform/engine/peer_access.h"
#include "platform/engine/standard_codec.h"

namespace kelvo::testing {
namespace {

Payload Text(const std::string& s) { return Payload(std::in_place, s.begin(), s.end()); }

}  // namespace

FakeTunnelExtension::FakeTunnelExtension(const std::string& tunnels_dir,
                                         const std::string& profile_file,
                                         const std::string& socket_path, TunnelStatus status)
    : status_(status) {
  server_ = std::make_unique<EngineSocketServer>(socket_path, dispatch_.MainQueue(), nullptr);
  server_->SetMessageHandler("status", [this](Payload, BinaryReply reply) {
    reply(StandardCodec::Instance().Encode(Value(static_cast<int>(status_.load()))));
  });
  server_->SetMessageHandler("handleAppMessage", [this](Payload data, BinaryReply reply) {
    std::vector<uint8_t> message = data.value_or(std::vector<uint8_t>{});
    std::lock_guard lock(mu_);
    messages_.push_back(message);
    if (hold_) return held_.push_back(std::move(reply));
    if (message.size() != 1) return reply(std::nullopt);
    switch (message[0]) {
      case 0x00:
        return reply(runtime_configuration_ ? Text(*runtime_configuration_) : std::nullopt);
      case 0x01:
        return reply(Text("pong"));
      case 0x02:
        return reply(Text(report_));
      default:
        return reply(std::nullopt);
    }
  });
  if (auto error = server_->Start()) {
    error_ = *error;
    return;
  }
  loop_ = std::thread([this] { dispatch_.RunMain(); });
  // As a real extension does, with the container made by the one place
  // that makes it (the profile writer makes only tunnels/).
  std::string container = std::filesystem::path(tunnels_dir).parent_path().string();
  std::string root = std::filesystem::path(container).parent_path().string();
  if (auto error = EnsureAppGroupContainer(
          root, std::filesystem::path(container).filename().string(), kSharedGroupName)) {
    error_ = *error;
    return;
  }
  if (auto error = WriteTunnelProfile(tunnels_dir, profile_file,
                                      {profile_file, socket_path, profile_file})) {
    error_ = *error;
  }
}

FakeTunnelExtension::~FakeTunnelExtension() {
  dispatch_.StopMain();
  if (loop_.joinable()) loop_.join();
  server_->Stop();
  held_.clear();
}

void FakeTunnelExtension::set_runtime_configuration(std::optional<std::string> text) {
  std::lock_guard lock(mu_);
  runtime_configuration_ = std::move(text);
}

void FakeTunnelExtension::set_hold(bool hold) {
  std::lock_guard lock(mu_);
  hold_ = hold;
}

void FakeTunnelExtension::set_report(std::string report) {
  std::lock_guard lock(mu_);
  report_ = std::move(report);
}

std::vector<std::vector<uint8_t>> FakeTunnelExtension::messages() const {
  std::lock_guard lock(mu_);
  return messages_;
}

}  // namespace kelvo::testing
