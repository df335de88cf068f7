// Text operations on the tunnel configuration the extension fetches from
// the configuration service: turning a response into a FreshConf, and
// rewriting [Peer] fields before the text goes to the WireGuard parser.
//
// Text model: lines end at LF; a CR LF pair is not a line end (the CR and
// LF stay inside the line). To trim is to remove blanks (tab and the Unicode
// space separators, UTF-8) from both ends, never CR or LF. A line whose
// trimmed text begins with "[" is a header; it opens a [Peer] section when
// its trimmed text, lower-cased, is "[peer]". In a section, a line whose
// trimmed text holds "=" is a field; its key is the trimmed text before the
// first "=", trimmed again; keys compare case-insensitively (ASCII case).
//
// All three operations are pure apart from applyDefaults' one settings
// read; they log nothing. Threading: safe from any thread.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "tunnel/app_group_settings.h"

namespace kelvo {

// A fresh configuration as received from the service.
struct FreshConf {
  std::string cfg;                     // exactly as received, not trimmed
  std::optional<std::string> localIp;  // "local_ip" when the JSON has it as a string

  bool operator==(const FreshConf&) const = default;
};

// Key as it is to appear in the text -> value. Keys are matched against the
// text without regard to case; lines added for missing keys follow the
// map's order.
using FieldOverrides = std::map<std::string, std::string>;

// The response body (absent: none) and HTTP status (0: no HTTP response).
// Non-2xx or no body: nullopt. A JSON object's first present member of
// "conf", "wg_conf", "config" is used when it is a non-blank string;
// otherwise a UTF-8 body containing "[Interface]" is taken whole.
std::optional<FreshConf> parseConf(const std::optional<std::string>& body, int status);

// Rewrites every field line of every [Peer] section whose key is in
// `fields` to "Key = value" (the map's key spelling and value), and adds at
// the end of each [Peer] section the overrides whose key no [Peer] line so
// far has held. Every other line passes through byte for byte. Lines are
// joined with LF, with no LF added at the end.
std::string patchPeer(std::string_view text, const FieldOverrides& fields);

// patchPeer with "PersistentKeepalive" -> "25" and, when `split` is true and
// `settings` holds a non-blank "wd_split_allowed", "AllowedIPs" -> that
// value exactly as stored. `settings` is read only when `split` is true.
std::string applyDefaults(std::string_view text, bool split, const AppGroupSettings& settings);

}  // namespace kelvo
