#include "apps/kelvo-tun/control_server.h"

#include "platform/engine/standard_codec.h"

namespace kelvo {

namespace {

std::vector<uint8_t> CodecNull() { return StandardCodec::Instance().Encode(Value()); }

// What the platform reports for the provider's lifecycle phase.
TunnelStatus StatusFor(ProviderPhase phase) {
  switch (phase) {
    case ProviderPhase::starting:
      return TunnelStatus::kConnecting;
    case ProviderPhase::running:
      return TunnelStatus::kConnected;
    case ProviderPhase::stopping:
      return TunnelStatus::kDisconnecting;
    case ProviderPhase::stopped:
      break;
  }
  return TunnelStatus::kDisconnected;
}

std::vector<uint8_t> EncodeError(const ProviderError& error) {
  return StandardCodec::Instance().Encode(
      Value(ValueList{Value(error.domain), Value(error.code), Value(error.description)}));
}

}  // namespace

ControlServer::ControlServer(std::shared_ptr<PacketTunnelProvider> provider,
                             BinaryMessenger* messenger)
    : provider_(std::move(provider)), messenger_(messenger) {}

void ControlServer::Install() {
  auto provider = provider_;
  auto hooks = hooks_;

  messenger_->SetMessageHandler("startTunnel", [provider, hooks](Payload data, BinaryReply reply) {
    std::optional<ValueMap> options;
    if (data) {
      auto decoded = StandardCodec::Instance().Decode(*data);
      if (!decoded.ok() || !(decoded.value().is_map() || decoded.value().is_null())) {
        reply(EncodeError(PacketTunnelProvider::err("start options must be a codec map or null")));
        return;
      }
      if (decoded.value().is_map()) options = decoded.value().as_map();
    }
    const Value* cfg = options ? options->find(std::string_view("cfg")) : nullptr;
    std::string text = cfg && cfg->is_string() ? cfg->as_string() : std::string();
    provider->startTunnel(options, [reply, hooks, text](std::optional<ProviderError> error) {
      if (!error && hooks->started) hooks->started(text);
      reply(error ? EncodeError(*error) : CodecNull());
    });
  });

  messenger_->SetMessageHandler("stopTunnel", [provider, hooks](Payload data, BinaryReply reply) {
    if (hooks->stop_requested) hooks->stop_requested();
    int64_t reason = 0;
    if (data) {
      auto decoded = StandardCodec::Instance().Decode(*data);
      if (decoded.ok() && decoded.value().is_int()) reason = decoded.value().as_int();
    }
    provider->stopTunnel(reason, [reply] { reply(CodecNull()); });
  });

  messenger_->SetMessageHandler("handleAppMessage", [provider](Payload data, BinaryReply reply) {
    provider->handleAppMessage(data.value_or(std::vector<uint8_t>{}),
                               [reply](std::optional<std::vector<uint8_t>> answer) {
                                 reply(std::move(answer));
                               });
  });

  messenger_->SetMessageHandler("sleep", [provider](Payload, BinaryReply reply) {
    provider->sleep([reply] { reply(CodecNull()); });
  });

  messenger_->SetMessageHandler("wake", [provider](Payload, BinaryReply reply) {
    provider->wake();
    reply(CodecNull());
  });

  // Asked of the provider itself, after every request that came before, so
  // the answer holds whatever the adapter refused.
  messenger_->SetMessageHandler("status", [provider](Payload, BinaryReply reply) {
    provider->currentPhase([reply](ProviderPhase phase) {
      reply(StandardCodec::Instance().Encode(Value(static_cast<int64_t>(StatusFor(phase)))));
    });
  });
}

void ControlServer::StopForExit(std::function<void()> done) {
  auto provider = provider_;
  provider->currentPhase([provider, done](ProviderPhase phase) {
    if (phase == ProviderPhase::stopped) {
      done();
      return;
    }
    // Starting counts too: the stop wins over a start still under way.
    provider->stopTunnel(0, done);
  });
}

}  // namespace kelvo
