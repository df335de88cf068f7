// Provider messages from the host: runtime configuration, liveness and the
// watchdog's diagnostic report.
#include "tunnel/packet_tunnel_provider.h"

namespace kelvo {

namespace {

std::vector<uint8_t> Utf8(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace

void PacketTunnelProvider::handleAppMessage(const std::vector<uint8_t>& message,
                                            AppMessageCompletion completion) {
  if (!completion) return;
  if (message.size() != 1) {
    completion(std::nullopt);
    return;
  }
  switch (message[0]) {
    case 0x01:
      completion(Utf8("pong"));
      return;
    case 0x00:
      adapter().GetRuntimeConfiguration([completion](std::optional<std::string> runtime) {
        if (runtime) {
          completion(Utf8(*runtime));
        } else {
          completion(std::nullopt);
        }
      });
      return;
    case 0x02: {
      // Built on wdQueue, which owns the state the report shows. The work
      // holds the provider only weakly; a report for a provider that is
      // gone answers with no data so the caller is not left waiting.
      std::weak_ptr<PacketTunnelProvider> weak = weak_from_this();
      wdQueue->Async([weak, completion] {
        auto self = weak.lock();
        completion(self ? std::optional(Utf8(self->diagnosticReport())) : std::nullopt);
      });
      return;
    }
    default:
      completion(std::nullopt);
  }
}

std::string PacketTunnelProvider::diagnosticReport() const {
  const auto& settings = *platform_.settings;
  bool open = settings.Available();
  auto value = [&](const char* key) -> std::string {
    if (!open) return "NIL";
    return settings.ReadString(key).value_or("NIL");
  };
  std::string token = open && settings.ReadString("wd_access_token") ? "SET" : "NIL";
  std::string report = std::string("APPGROUP suite=") + (open ? "ok" : "NIL_SUITE") +
                       " wd_enabled=" + value("wd_enabled") + " base=" + value("wd_base_url") +
                       " token=" + token + " timer=" + (timerArmed() ? "true" : "false") +
                       " conf=" + value("wd_conf_url") + " body=[" + value("wd_notif_body") + "]";
  for (const auto& line : debugLines()) report += " | " + line;
  return report;
}

}  // namespace kelvo
