// The parsed WireGuard tunnel configuration and its wg-quick text form.
//
// Text form: an [Interface] section, then any number of [Peer] sections,
// each holding "Key = Value" lines. Section names and keys are
// case-insensitive; '#' starts a comment that runs to the end of the line;
// blank lines are ignored; a CR before the LF is ignored. Address, DNS and
// AllowedIPs take comma-separated lists and may be repeated, the lists
// adding up. Every other key may appear once per section.
//
//   [Interface]  PrivateKey (required), Address, DNS, ListenPort (0-65535),
//                MTU (576-65535), Table ("off", "auto", "main" or a number
//                1-4294967295), FwMark ("off", or a number, decimal or
//                0x-hex; 0 is off)
//                PreUp, PostUp, PreDown, PostDown (repeatable) and SaveConfig
//                are accepted and never acted on: a configuration comes from
//                the network, and running its commands as root would hand
//                the machine to whoever serves it. Each is listed in
//                `ignored` so the caller can warn about it.
//   [Peer]       PublicKey (required), PresharedKey, AllowedIPs, Endpoint,
//                PersistentKeepalive (0-65535, or "off")
//
// Parse errors are values whose description names the key, the section and
// the line, e.g. "Invalid Address 'x' in [Interface] (line 3)". Descriptions
// never quote a private or preshared key, since they end up in logs.
// Plain data: copyable, safe to move between threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wireguard/endpoint.h"
#include "platform/wireguard/expected.h"
#include "platform/wireguard/ip_address.h"
#include "platform/wireguard/wg_key.h"

namespace kelvo {

struct InterfaceConfiguration {
  WireGuardKey private_key{};
  std::vector<IPAddressRange> addresses;
  std::vector<IPAddress> dns;           // DNS entries that are addresses
  std::vector<std::string> dns_search;  // DNS entries that are names
  std::optional<uint16_t> listen_port;
  std::optional<uint16_t> mtu;
  std::optional<uint32_t> table;  // absent: auto
  bool table_off = false;         // "Table = off": no routes at all
  std::optional<uint32_t> fwmark;  // absent when off

  bool operator==(const InterfaceConfiguration&) const = default;
};

struct PeerConfiguration {
  WireGuardKey public_key{};
  std::optional<WireGuardKey> preshared_key;
  std::vector<IPAddressRange> allowed_ips;
  std::optional<Endpoint> endpoint;
  std::optional<uint16_t> persistent_keepalive;  // absent when off (0)

  bool operator==(const PeerConfiguration&) const = default;
};

class ConfigParseError {
 public:
  ConfigParseError(std::string description, int line)
      : description_(std::move(description)), line_(line) {}
  const std::string& description() const { return description_; }
  // 1-based line the error is about; 0 when it concerns the whole text.
  int line() const { return line_; }

 private:
  std::string description_;
  int line_;
};

// Keys that were accepted but are not acted on, each as "PostUp (line 7)".
// Not part of what the configuration means: equality ignores them, and
// rendering leaves them out.
struct IgnoredKeys {
  std::vector<std::string> lines;
  bool operator==(const IgnoredKeys&) const { return true; }
};

struct TunnelConfiguration {
  std::optional<std::string> name;
  InterfaceConfiguration interface;
  std::vector<PeerConfiguration> peers;
  IgnoredKeys ignored;

  // Parses wg-quick text. Never throws; any input gives a configuration or
  // an error.
  static Expected<TunnelConfiguration, ConfigParseError> FromWgQuickConfig(
      std::string_view text, std::optional<std::string> name = std::nullopt);

  // Renders wg-quick text that parses back to an equal configuration
  // (name aside). Holds the private key: never log it.
  std::string ToWgQuickConfig() const;

  bool operator==(const TunnelConfiguration&) const = default;
};

}  // namespace kelvo
