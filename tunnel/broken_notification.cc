// The broken-tunnel alert: a local notification, posted only when the user
// has allowed notifications.
#include <cmath>

#include "tunnel/packet_tunnel_provider.h"

namespace kelvo {

void PacketTunnelProvider::postBrokenNotification() {
  std::shared_ptr<NotificationCenter> center = platform_.notification_center();
  std::weak_ptr<PacketTunnelProvider> weak = weak_from_this();
  center->GetAuthorizationStatus([weak, center](AuthorizationStatus status) {
    auto self = weak.lock();
    if (!self) return;
    self->dbg("notif authStatus=" + std::to_string(static_cast<int>(status)));
    if (status != AuthorizationStatus::authorized && status != AuthorizationStatus::provisional) {
      self->dbg("notif NO autorizadas — no se puede avisar");
      return;
    }
    NotificationRequest request;
    request.content.title = "Kelvo";
    request.content.body =
        self->platform_.settings->ReadString("wd_notif_body").value_or("VPN tunnel is not responding.");
    request.content.sound_default = true;
    request.identifier =
        "kelvo.tunnel.broken." +
        std::to_string(static_cast<int64_t>(std::trunc(self->platform_.dispatch->WallSeconds())));
    request.trigger_interval_seconds = 1.0;
    request.repeats = false;
    std::string identifier = request.identifier;
    center->Add(std::move(request), [weak, identifier](std::optional<std::string> error) {
      auto self = weak.lock();
      if (!self) return;
      if (error) {
        self->dbg("notif add error: " + *error);
      } else {
        self->dbg("notif PROGRAMADA " + identifier);
      }
    });
  });
}

}  // namespace kelvo
