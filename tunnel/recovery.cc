// Recovery: repairs a running tunnel in place with a fresh configuration.
// It does not judge its own success; the next tick does.
#include "tunnel/packet_tunnel_provider.h"

namespace kelvo {

void PacketTunnelProvider::recover(bool split) {
  recovering = true;
  recoverStartedAt = platform_.dispatch->WallSeconds();
  dbg(std::string("recover: entrando (split=") + (split ? "true" : "false") +
      ") recovering=true");

  auto end = [this] {
    recovering = false;
    probing = false;
  };
  std::weak_ptr<PacketTunnelProvider> weak = weak_from_this();
  fetchFreshConf([weak, split, end](std::optional<FreshConf> fresh) {
    auto self = weak.lock();
    if (!self) return;
    self->wdQueue->Async([weak, split, end, fresh = std::move(fresh)] {
      auto self = weak.lock();
      if (!self) return;
      if (!fresh) {
        self->dbg("recover: fetch conf KO");
        end();
        return;
      }
      std::string text = applyDefaults(fresh->cfg, split, *self->platform_.settings);
      auto parsed = TunnelConfiguration::FromWgQuickConfig(text, std::nullopt);
      if (!parsed) {
        self->dbg("recover: cfg inválido");
        end();
        return;
      }
      self->dbg("recover: conf OK, adapter.update…");
      self->adapter().Update(*parsed, [weak, end](std::optional<AdapterError> error) {
        auto self = weak.lock();
        if (!self) return;
        self->wdQueue->Async([weak, end, error] {
          auto self = weak.lock();
          if (!self) return;
          if (error) {
            self->dbg("recover: adapter.update KO " + error->description());
          } else {
            self->dbg("recover: conf reaplicado — próximo tick valida");
          }
          end();
        });
      });
    });
  });
}

}  // namespace kelvo
