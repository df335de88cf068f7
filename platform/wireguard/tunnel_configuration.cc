#include "platform/wireguard/tunnel_configuration.h"

#include <charconv>
#include <map>
#include <set>

namespace kelvo {

namespace {

using Result = Expected<TunnelConfiguration, ConfigParseError>;

constexpr uint16_t kMinMtu = 576;  // the smallest datagram IPv4 must carry

std::string_view TrimSpace(std::string_view s) {
  constexpr std::string_view kSpace = " \t\r\v\f";
  size_t b = s.find_first_not_of(kSpace);
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(kSpace);
  return s.substr(b, e - b + 1);
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// A value as quoted in an error: printable ASCII only, at most 64 bytes,
// so that a stray control byte or a huge line cannot garble a log.
std::string Quote(std::string_view value) {
  constexpr size_t kMax = 64;
  std::string out = "'";
  for (size_t i = 0; i < value.size() && i < kMax; ++i) {
    char c = value[i];
    out.push_back(c >= 0x20 && c < 0x7f ? c : '?');
  }
  if (value.size() > kMax) out += "...";
  out += "'";
  return out;
}

// Unknown keys are quoted only when they look like a key: a Base64 secret
// pasted on a line of its own ends in '=' and would otherwise be echoed.
bool LooksLikeKeyName(std::string_view key) {
  if (key.empty() || key.size() > 24) return false;
  for (char c : key) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::optional<uint16_t> ParseNumber(std::string_view digits, unsigned min, unsigned max) {
  if (digits.empty() || digits.size() > 5) return std::nullopt;
  unsigned value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  if (value < min || value > max) return std::nullopt;
  return static_cast<uint16_t>(value);
}

// Splits a comma-separated list; blank entries (a trailing comma, an
// empty value) are skipped.
std::vector<std::string_view> SplitList(std::string_view value) {
  std::vector<std::string_view> out;
  size_t start = 0;
  while (start <= value.size()) {
    size_t comma = value.find(',', start);
    if (comma == std::string_view::npos) comma = value.size();
    std::string_view item = TrimSpace(value.substr(start, comma - start));
    if (!item.empty()) out.push_back(item);
    start = comma + 1;
  }
  return out;
}

enum class Section { kNone, kInterface, kPeer };

enum class Key {
  kPrivateKey,
  kAddress,
  kDns,
  kListenPort,
  kMtu,
  kPublicKey,
  kPresharedKey,
  kAllowedIPs,
  kEndpoint,
  kPersistentKeepalive,
  kTable,
  kFwMark,
  kIgnored,
};

struct KeyInfo {
  const char* lower;
  const char* name;
  Key key;
  Section section;
  bool list;  // may repeat, values add up
};

constexpr KeyInfo kKeys[] = {
    {"privatekey", "PrivateKey", Key::kPrivateKey, Section::kInterface, false},
    {"address", "Address", Key::kAddress, Section::kInterface, true},
    {"dns", "DNS", Key::kDns, Section::kInterface, true},
    {"listenport", "ListenPort", Key::kListenPort, Section::kInterface, false},
    {"mtu", "MTU", Key::kMtu, Section::kInterface, false},
    {"publickey", "PublicKey", Key::kPublicKey, Section::kPeer, false},
    {"presharedkey", "PresharedKey", Key::kPresharedKey, Section::kPeer, false},
    {"allowedips", "AllowedIPs", Key::kAllowedIPs, Section::kPeer, true},
    {"endpoint", "Endpoint", Key::kEndpoint, Section::kPeer, false},
    {"persistentkeepalive", "PersistentKeepalive", Key::kPersistentKeepalive, Section::kPeer,
     false},
    {"table", "Table", Key::kTable, Section::kInterface, false},
    {"fwmark", "FwMark", Key::kFwMark, Section::kInterface, false},
    {"preup", "PreUp", Key::kIgnored, Section::kInterface, true},
    {"postup", "PostUp", Key::kIgnored, Section::kInterface, true},
    {"predown", "PreDown", Key::kIgnored, Section::kInterface, true},
    {"postdown", "PostDown", Key::kIgnored, Section::kInterface, true},
    {"saveconfig", "SaveConfig", Key::kIgnored, Section::kInterface, false},
};

// A 32-bit number, decimal or "0x" hexadecimal.
std::optional<uint32_t> ParseU32(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  uint32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

const KeyInfo* FindKey(std::string_view lower) {
  for (const KeyInfo& k : kKeys) {
    if (lower == k.lower) return &k;
  }
  return nullptr;
}

const char* SectionName(Section s) { return s == Section::kPeer ? "[Peer]" : "[Interface]"; }

std::string At(int line) { return " (line " + std::to_string(line) + ")"; }

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  Result Run(std::optional<std::string> name) {
    config_.name = std::move(name);
    size_t pos = 0;
    int line_no = 0;
    while (pos <= text_.size()) {
      size_t lf = text_.find('\n', pos);
      if (lf == std::string_view::npos) lf = text_.size();
      std::string_view line = text_.substr(pos, lf - pos);
      pos = lf + 1;
      ++line_no;
      if (auto error = Line(line, line_no)) return MakeUnexpected(std::move(*error));
    }
    if (auto error = FinishPeer()) return MakeUnexpected(std::move(*error));
    if (interface_line_ == 0) return Fail("No [Interface] section", 0);
    if (!has_private_key_) {
      return Fail("No PrivateKey in [Interface]" + At(interface_line_), interface_line_);
    }
    return std::move(config_);
  }

 private:
  static Unexpected<ConfigParseError> Fail(std::string description, int line) {
    return MakeUnexpected(ConfigParseError(std::move(description), line));
  }
  static std::optional<ConfigParseError> Error(std::string description, int line) {
    return ConfigParseError(std::move(description), line);
  }

  std::optional<ConfigParseError> Line(std::string_view raw, int line_no) {
    size_t hash = raw.find('#');
    if (hash != std::string_view::npos) raw = raw.substr(0, hash);
    std::string_view line = TrimSpace(raw);
    if (line.empty()) return std::nullopt;
    if (line.front() == '[') return Header(line, line_no);

    size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      return Error("Invalid line" + At(line_no) + ": expected a section header or 'Key = Value'",
                   line_no);
    }
    std::string_view key = TrimSpace(line.substr(0, eq));
    std::string_view value = TrimSpace(line.substr(eq + 1));
    std::string shown_key = LooksLikeKeyName(key) ? " " + Quote(key) : "";
    if (section_ == Section::kNone) {
      return Error("Field" + shown_key + " outside of any section" + At(line_no), line_no);
    }
    const KeyInfo* info = FindKey(Lower(key));
    if (info == nullptr) {
      return Error("Unknown key" + shown_key + " in " + SectionName(section_) + At(line_no),
                   line_no);
    }
    if (info->section != section_) {
      return Error(std::string(info->name) + " belongs in " + SectionName(info->section) +
                       ", not in " + SectionName(section_) + At(line_no),
                   line_no);
    }
    if (!info->list && !seen_keys_.insert(info->key).second) {
      return Error(
          "Duplicate " + std::string(info->name) + " in " + SectionName(section_) + At(line_no),
          line_no);
    }
    return Field(*info, value, line_no);
  }

  std::optional<ConfigParseError> Header(std::string_view line, int line_no) {
    if (line.back() != ']')
      return Error("Invalid section header " + Quote(line) + At(line_no), line_no);
    std::string lower = Lower(line);
    if (lower == "[interface]") {
      if (interface_line_ != 0) {
        return Error("Duplicate [Interface] section" + At(line_no) + "; the first is at line " +
                         std::to_string(interface_line_),
                     line_no);
      }
      interface_line_ = line_no;
      section_ = Section::kInterface;
      seen_keys_.clear();
      return std::nullopt;
    }
    if (lower == "[peer]") {
      if (interface_line_ == 0) return Error("[Peer] before [Interface]" + At(line_no), line_no);
      if (auto error = FinishPeer()) return error;
      section_ = Section::kPeer;
      seen_keys_.clear();
      config_.peers.emplace_back();
      peer_line_ = line_no;
      return std::nullopt;
    }
    return Error("Unknown section " + Quote(line) + At(line_no), line_no);
  }

  // Checks the peer that ends here, if any.
  std::optional<ConfigParseError> FinishPeer() {
    if (section_ != Section::kPeer) return std::nullopt;
    if (!seen_keys_.count(Key::kPublicKey)) {
      return Error("No PublicKey in [Peer]" + At(peer_line_), peer_line_);
    }
    return std::nullopt;
  }

  std::optional<ConfigParseError> Field(const KeyInfo& info, std::string_view value, int line_no) {
    std::string where = " in " + std::string(SectionName(info.section)) + At(line_no);
    auto invalid = [&](std::string_view shown, std::string_view why = {}) {
      std::string text = "Invalid " + std::string(info.name);
      if (!shown.empty() || why.empty()) text += " " + Quote(shown);
      text += where;
      if (!why.empty()) text += ": " + std::string(why);
      return Error(std::move(text), line_no);
    };
    InterfaceConfiguration& iface = config_.interface;
    switch (info.key) {
      case Key::kPrivateKey: {
        // The value is a secret: name the problem, never the value.
        auto key = WireGuardKeyFromBase64(value);
        if (!key) return invalid({}, "not a Base64 key of 32 bytes");
        iface.private_key = *key;
        has_private_key_ = true;
        return std::nullopt;
      }
      case Key::kAddress:
        for (std::string_view item : SplitList(value)) {
          auto range = IPAddressRange::Parse(item);
          if (!range) return invalid(item);
          iface.addresses.push_back(*range);
        }
        return std::nullopt;
      case Key::kDns:
        for (std::string_view item : SplitList(value)) {
          if (auto address = IPAddress::Parse(item)) {
            iface.dns.push_back(*address);
          } else if (IsValidHostName(item)) {
            iface.dns_search.emplace_back(item);
          } else {
            return invalid(item);
          }
        }
        return std::nullopt;
      case Key::kListenPort: {
        auto port = ParseNumber(value, 0, 65535);
        if (!port) return invalid(value, "must be 0-65535");
        iface.listen_port = port;
        return std::nullopt;
      }
      case Key::kMtu: {
        auto mtu = ParseNumber(value, kMinMtu, 65535);
        if (!mtu) return invalid(value, "must be 576-65535");
        iface.mtu = mtu;
        return std::nullopt;
      }
      case Key::kPublicKey: {
        auto key = WireGuardKeyFromBase64(value);
        if (!key) return invalid(value);
        auto [it, fresh] = public_keys_.emplace(*key, peer_line_);
        if (!fresh) {
          return Error("Duplicate PublicKey " + Quote(value) + where + ": the [Peer] at line " +
                           std::to_string(it->second) + " has the same key",
                       line_no);
        }
        config_.peers.back().public_key = *key;
        return std::nullopt;
      }
      case Key::kPresharedKey: {
        auto key = WireGuardKeyFromBase64(value);
        if (!key) return invalid({}, "not a Base64 key of 32 bytes");
        config_.peers.back().preshared_key = *key;
        return std::nullopt;
      }
      case Key::kAllowedIPs:
        for (std::string_view item : SplitList(value)) {
          auto range = IPAddressRange::Parse(item);
          if (!range) return invalid(item);
          config_.peers.back().allowed_ips.push_back(*range);
        }
        return std::nullopt;
      case Key::kEndpoint: {
        auto endpoint = Endpoint::Parse(value);
        if (!endpoint) return invalid(value);
        config_.peers.back().endpoint = std::move(*endpoint);
        return std::nullopt;
      }
      case Key::kTable: {
        const std::string lower = Lower(value);
        if (lower == "off") {
          iface.table_off = true;
        } else if (lower == "main") {
          iface.table = 254;
        } else if (lower != "auto") {
          auto table = ParseU32(value);
          if (!table || *table == 0) return invalid(value, "must be off, auto, main or a number");
          iface.table = table;
        }
        return std::nullopt;
      }
      case Key::kFwMark: {
        if (Lower(value) == "off") return std::nullopt;
        auto mark = ParseU32(value);
        if (!mark) return invalid(value, "must be off or a number");
        if (*mark != 0) iface.fwmark = mark;
        return std::nullopt;
      }
      case Key::kIgnored:
        // The value may be a command holding secrets: never quoted.
        config_.ignored.lines.push_back(std::string(info.name) + At(line_no));
        return std::nullopt;
      case Key::kPersistentKeepalive: {
        if (Lower(value) == "off") return std::nullopt;
        auto seconds = ParseNumber(value, 0, 65535);
        if (!seconds) return invalid(value, "must be 0-65535 or off");
        if (*seconds != 0) config_.peers.back().persistent_keepalive = seconds;
        return std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::string_view text_;
  TunnelConfiguration config_;
  Section section_ = Section::kNone;
  std::set<Key> seen_keys_;  // single-valued keys of the current section
  int interface_line_ = 0;
  int peer_line_ = 0;
  bool has_private_key_ = false;
  std::map<WireGuardKey, int> public_keys_;  // key -> its [Peer] header line
};

std::string JoinList(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) {
    if (!out.empty()) out += ", ";
    out += item;
  }
  return out;
}

template <typename T>
std::vector<std::string> Strings(const std::vector<T>& items) {
  std::vector<std::string> out;
  for (const T& item : items) out.push_back(item.ToString());
  return out;
}

}  // namespace

Expected<TunnelConfiguration, ConfigParseError> TunnelConfiguration::FromWgQuickConfig(
    std::string_view text, std::optional<std::string> name) {
  return Parser(text).Run(std::move(name));
}

std::string TunnelConfiguration::ToWgQuickConfig() const {
  std::string out =
      "[Interface]\nPrivateKey = " + WireGuardKeyToBase64(interface.private_key) + "\n";
  if (!interface.addresses.empty())
    out += "Address = " + JoinList(Strings(interface.addresses)) + "\n";
  std::vector<std::string> dns = Strings(interface.dns);
  dns.insert(dns.end(), interface.dns_search.begin(), interface.dns_search.end());
  if (!dns.empty()) out += "DNS = " + JoinList(dns) + "\n";
  if (interface.listen_port) out += "ListenPort = " + std::to_string(*interface.listen_port) + "\n";
  if (interface.mtu) out += "MTU = " + std::to_string(*interface.mtu) + "\n";
  if (interface.table_off) {
    out += "Table = off\n";
  } else if (interface.table) {
    out += "Table = " + std::to_string(*interface.table) + "\n";
  }
  if (interface.fwmark) out += "FwMark = " + std::to_string(*interface.fwmark) + "\n";
  for (const PeerConfiguration& peer : peers) {
    out += "\n[Peer]\nPublicKey = " + WireGuardKeyToBase64(peer.public_key) + "\n";
    if (peer.preshared_key)
      out += "PresharedKey = " + WireGuardKeyToBase64(*peer.preshared_key) + "\n";
    if (!peer.allowed_ips.empty())
      out += "AllowedIPs = " + JoinList(Strings(peer.allowed_ips)) + "\n";
    if (peer.endpoint) out += "Endpoint = " + peer.endpoint->ToString() + "\n";
    if (peer.persistent_keepalive) {
      out += "PersistentKeepalive = " + std::to_string(*peer.persistent_keepalive) + "\n";
    }
  }
  return out;
}

}  // namespace kelvo
