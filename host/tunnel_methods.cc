// The control channel's tunnel methods: provider messages to the session
// the walk finds.
#include <string>

#include "host/host_control_channel.h"
#include "platform/engine/utf8.h"

namespace kelvo {
namespace {

constexpr const char* kNoActiveTunnel = "No hay túnel activo";
constexpr const char* kEmptyProviderResponse = "El provider no devolvió datos";

// The text of a reply that decodes as UTF-8.
std::optional<std::string> DecodeText(const Payload& response) {
  if (!response || !IsValidUtf8(*response)) return std::nullopt;
  return std::string(response->begin(), response->end());
}

}  // namespace

void HostControlChannel::SendProviderProbe(uint8_t message, std::shared_ptr<MethodResult> result,
                                           bool empty_as_error) {
  FindActiveTunnelSession(
      *deps_.tunnels, [message, result, empty_as_error](std::shared_ptr<TunnelSession> session,
                                                        std::optional<std::string> load_error) {
        if (load_error) return result->Error("LOAD_TUNNEL_ERROR", *load_error);
        if (!session) return result->Error("NO_ACTIVE_TUNNEL", kNoActiveTunnel);
        session->SendProviderMessage({message}, [result, empty_as_error](ProviderResponse r) {
          if (r.send_error) return result->Error("SEND_PROVIDER_MESSAGE_ERROR", *r.send_error);
          std::optional<std::string> text = DecodeText(r.response);
          if (text && !text->empty()) return result->Success(*text);
          if (empty_as_error)
            return result->Error("EMPTY_PROVIDER_RESPONSE", kEmptyProviderResponse);
          result->Success(Value());
        });
      });
}

void HostControlChannel::WatchdogDebug(std::shared_ptr<MethodResult> result) {
  FindActiveTunnelSession(*deps_.tunnels, [result](std::shared_ptr<TunnelSession> session,
                                                   std::optional<std::string> load_error) {
    if (!session) return result->Success(load_error ? *load_error : "NO_ACTIVE_TUNNEL");
    session->SendProviderMessage({kDiagnosticReportMessage}, [result](ProviderResponse r) {
      if (r.send_error) return result->Success("SEND_ERROR: " + *r.send_error);
      result->Success(DecodeText(r.response).value_or("EMPTY_RESPONSE"));
    });
  });
}

}  // namespace kelvo
