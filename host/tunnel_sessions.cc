#include "host/tunnel_sessions.h"

namespace kelvo {
namespace {

bool IsActive(TunnelStatus status) {
  return status == TunnelStatus::kConnecting || status == TunnelStatus::kConnected ||
         status == TunnelStatus::kReasserting;
}

}  // namespace

std::shared_ptr<TunnelSession> ChooseTunnelSession(const std::vector<TunnelConnection>& all) {
  for (const TunnelConnection& c : all) {
    if (!IsActive(c.status)) continue;
    if (c.session) return c.session;
    break;  // the active one is no tunnel session: fall back to the others
  }
  for (const TunnelConnection& c : all) {
    if (c.session) return c.session;
  }
  return nullptr;
}

void FindActiveTunnelSession(TunnelManagers& managers, SessionDone done) {
  managers.LoadAll([done = std::move(done)](std::vector<TunnelConnection> all,
                                            std::optional<std::string> error) {
    if (error) return done(nullptr, std::move(error));
    done(ChooseTunnelSession(all), std::nullopt);
  });
}

}  // namespace kelvo
