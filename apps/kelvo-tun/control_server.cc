#include "apps/kelvo-tun/control_server.h"

#include "platform/engine/standard_codec.h"

namespace kelvo {

namespace {

std::vector<uint8_t> CodecNull() { return StandardCodec::Instance().Encode(Value()); }

std::vector<uint8_t> EncodeError(const ProviderError& error) {
  return StandardCodec::Instance().Encode(
      Value(ValueList{Value(error.domain), Value(error.code), Value(error.description)}));
}

}  // namespace

ControlServer::ControlServer(std::shared_ptr<PacketTunnelProvider> provider,
                             BinaryMessenger* messenger)
    : provider_(std::move(provider)),
      messenger_(messenger),
      status_shared_(std::make_shared<std::atomic<TunnelStatus>>(TunnelStatus::kDisconnected)),
      status_(*status_shared_) {}

void ControlServer::Install() {
  auto provider = provider_;
  auto status = status_shared_;
  auto hooks = hooks_;

  messenger_->SetMessageHandler("startTunnel", [provider, status, hooks](Payload data,
                                                                        BinaryReply reply) {
    std::optional<ValueMap> options;
    if (data) {
      auto decoded = StandardCodec::Instance().Decode(*data);
      if (!decoded.ok() || !(decoded.value().is_map() || decoded.value().is_null())) {
        reply(EncodeError(PacketTunnelProvider::err("start options must be a codec map or null")));
        return;
      }
      if (decoded.value().is_map()) options = decoded.value().as_map();
    }
    status->store(TunnelStatus::kConnecting);
    const Value* cfg = options ? options->find(std::string_view("cfg")) : nullptr;
    std::string text = cfg && cfg->is_string() ? cfg->as_string() : std::string();
    provider->startTunnel(options, [status, reply, hooks, text](std::optional<ProviderError> error) {
      status->store(error ? TunnelStatus::kDisconnected : TunnelStatus::kConnected);
      if (!error && hooks->started) hooks->started(text);
      reply(error ? EncodeError(*error) : CodecNull());
    });
  });

  messenger_->SetMessageHandler("stopTunnel", [provider, status, hooks](Payload data,
                                                                       BinaryReply reply) {
    if (hooks->stop_requested) hooks->stop_requested();
    int64_t reason = 0;
    if (data) {
      auto decoded = StandardCodec::Instance().Decode(*data);
      if (decoded.ok() && decoded.value().is_int()) reason = decoded.value().as_int();
    }
    status->store(TunnelStatus::kDisconnecting);
    provider->stopTunnel(reason, [status, reply] {
      status->store(TunnelStatus::kDisconnected);
      reply(CodecNull());
    });
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

  messenger_->SetMessageHandler("status", [status](Payload, BinaryReply reply) {
    reply(StandardCodec::Instance().Encode(Value(static_cast<int64_t>(status->load()))));
  });
}

void ControlServer::StopForExit(std::function<void()> done) {
  TunnelStatus now = status_.load();
  if (now == TunnelStatus::kDisconnected) {
    done();
    return;
  }
  auto status = status_shared_;
  status->store(TunnelStatus::kDisconnecting);
  provider_->stopTunnel(0, [status, done] {
    status->store(TunnelStatus::kDisconnected);
    done();
  });
}

}  // namespace kelvo
