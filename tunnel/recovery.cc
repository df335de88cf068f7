// Recovery: repairs a running tunnel in place with a fresh configuration.
// It does not judge its own success; the next tick does.
#include "tunnel/packet_tunnel_provider.h"

namespace kelvo {

void PacketTunnelProvider::recover(bool split) {
  recovering = true;
  recoverStartedAt = platform_.dispatch->WallSeconds();
  dbg(std::string("recover: entrando (split=") + (split ? "true" : "false") +
      ") recovering=true");

  // Every step after the fetch runs only while this recovery is still the
  // watchdog's current one (see onWatchQueue): a stop, a re-arm or the
  // watchdog giving up on it leave its late completions without effect.
  auto end = [](PacketTunnelProvider& p) {
    p.recovering = false;
    p.probing = false;
  };
  const uint64_t gen = wdGeneration_;
  std::weak_ptr<PacketTunnelProvider> weak = weak_from_this();
  fetchFreshConf([weak, gen, split, end](std::optional<FreshConf> fresh) {
    auto self = weak.lock();
    if (!self) return;
    self->onWatchQueue(gen, [weak, gen, split, end, fresh = std::move(fresh)](
                                PacketTunnelProvider& p) {
      if (!fresh) {
        p.dbg("recover: fetch conf KO");
        end(p);
        return;
      }
      std::string text = applyDefaults(fresh->cfg, split, *p.platform_.settings);
      auto parsed = TunnelConfiguration::FromWgQuickConfig(text, std::nullopt);
      if (!parsed) {
        p.dbg("recover: cfg inválido");
        end(p);
        return;
      }
      p.dbg("recover: conf OK, adapter.update…");
      p.adapter().Update(*parsed, [weak, gen, end](std::optional<AdapterError> error) {
        auto self = weak.lock();
        if (!self) return;
        self->onWatchQueue(gen, [end, error](PacketTunnelProvider& p) {
          if (error) {
            p.dbg("recover: adapter.update KO " + error->description());
          } else {
            p.dbg("recover: conf reaplicado — próximo tick valida");
          }
          end(p);
        });
      });
    });
  });
}

}  // namespace kelvo
