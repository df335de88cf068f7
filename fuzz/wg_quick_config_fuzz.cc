// Feeds arbitrary bytes to the wg-quick parser and to the fresh-config text
// operations. A configuration that parses must render to text that parses
// back equal; patching with no overrides must give the text back unchanged.
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/wireguard/tunnel_configuration.h"
#include "tunnel/conf_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelvo;
  std::string text(reinterpret_cast<const char*>(data), size);

  auto parsed = TunnelConfiguration::FromWgQuickConfig(text);
  if (parsed) {
    auto again = TunnelConfiguration::FromWgQuickConfig(parsed->ToWgQuickConfig());
    if (!again || !(*again == *parsed)) std::abort();
  } else if (parsed.error().description().empty()) {
    std::abort();
  }

  if (patchPeer(text, {}) != text) std::abort();

  auto fresh = parseConf(text, 200);
  const std::string& cfg = fresh ? fresh->cfg : text;
  std::string patched =
      patchPeer(cfg, {{"PersistentKeepalive", "25"}, {"AllowedIPs", "10.0.0.0/8, ::/0"}});
  (void)TunnelConfiguration::FromWgQuickConfig(patched);
  return 0;
}
