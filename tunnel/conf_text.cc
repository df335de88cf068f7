#include "tunnel/conf_text.h"

#include <nlohmann/json.hpp>
#include <vector>

#include "platform/engine/utf8.h"

namespace kelvo {

namespace {

constexpr const char* kSplitAllowedKey = "wd_split_allowed";

// Blanks: tab and the space separators (Unicode category Zs) in UTF-8.
// clang-format off
constexpr std::string_view kMultiByteBlanks[] = {
    "\xC2\xA0",      // U+00A0
    "\xE1\x9A\x80",  // U+1680
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83",  // U+2000..U+200A
    "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87",
    "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
    "\xE2\x80\xAF",  // U+202F
    "\xE2\x81\x9F",  // U+205F
    "\xE3\x80\x80",  // U+3000
};
// clang-format on
// Line breaks that count as white space for the "blank configuration" test.
constexpr std::string_view kMultiByteNewlines[] = {
    "\xC2\x85",      // U+0085
    "\xE2\x80\xA8",  // U+2028
    "\xE2\x80\xA9",  // U+2029
};

bool IsAsciiBlank(char c, bool newlines) {
  if (c == ' ' || c == '\t') return true;
  return newlines && (c == '\n' || c == '\v' || c == '\f' || c == '\r');
}

// Length of the blank at the front of `s`, 0 if none.
size_t LeadingBlank(std::string_view s, bool newlines) {
  if (s.empty()) return 0;
  if (static_cast<unsigned char>(s.front()) < 0x80)
    return IsAsciiBlank(s.front(), newlines) ? 1 : 0;
  for (std::string_view b : kMultiByteBlanks) {
    if (s.starts_with(b)) return b.size();
  }
  if (newlines) {
    for (std::string_view b : kMultiByteNewlines) {
      if (s.starts_with(b)) return b.size();
    }
  }
  return 0;
}

size_t TrailingBlank(std::string_view s, bool newlines) {
  if (s.empty()) return 0;
  if (static_cast<unsigned char>(s.back()) < 0x80) return IsAsciiBlank(s.back(), newlines) ? 1 : 0;
  for (std::string_view b : kMultiByteBlanks) {
    if (s.ends_with(b)) return b.size();
  }
  if (newlines) {
    for (std::string_view b : kMultiByteNewlines) {
      if (s.ends_with(b)) return b.size();
    }
  }
  return 0;
}

std::string_view Trim(std::string_view s, bool newlines) {
  while (size_t n = LeadingBlank(s, newlines)) s.remove_prefix(n);
  while (size_t n = TrailingBlank(s, newlines)) s.remove_suffix(n);
  return s;
}

std::string_view TrimBlanks(std::string_view s) { return Trim(s, false); }

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string AsciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

// `lower` is already lower-cased.
bool EqualsLowered(std::string_view s, std::string_view lower) {
  if (s.size() != lower.size()) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (AsciiLower(s[i]) != lower[i]) return false;
  }
  return true;
}

// Index of the LF that ends the line starting at `pos`, or npos. An LF
// right after a CR does not end a line.
size_t LineEnd(std::string_view text, size_t pos) {
  for (;;) {
    size_t lf = text.find('\n', pos);
    if (lf == std::string_view::npos || lf == 0 || text[lf - 1] != '\r') return lf;
    pos = lf + 1;
  }
}

}  // namespace

std::optional<FreshConf> parseConf(const std::optional<std::string>& body, int status) {
  if (status < 200 || status > 299 || !body) return std::nullopt;

  nlohmann::json json = nlohmann::json::parse(*body, nullptr, /*allow_exceptions=*/false);
  if (!json.is_discarded() && json.is_object()) {
    for (const char* name : {"conf", "wg_conf", "config"}) {
      auto member = json.find(name);
      if (member == json.end()) continue;
      // Only the first member present counts, usable or not.
      if (member->is_string()) {
        const std::string& cfg = member->get_ref<const std::string&>();
        if (!Trim(cfg, /*newlines=*/true).empty()) {
          FreshConf out{cfg, std::nullopt};
          auto local_ip = json.find("local_ip");
          if (local_ip != json.end() && local_ip->is_string()) {
            out.localIp = local_ip->get<std::string>();
          }
          return out;
        }
      }
      break;
    }
  }

  if (!IsValidUtf8(*body)) return std::nullopt;
  if (body->find("[Interface]") == std::string::npos) return std::nullopt;
  return FreshConf{*body, std::nullopt};
}

std::string patchPeer(std::string_view text, const FieldOverrides& fields) {
  struct Override {
    std::string lower;  // the key, lower-cased, for matching
    std::string line;   // key + " = " + value, as written
    bool seen = false;  // some [Peer] line so far had this key
  };
  std::vector<Override> overrides;
  overrides.reserve(fields.size());
  for (const auto& [key, value] : fields)
    overrides.push_back({AsciiLower(key), key + " = " + value});

  std::string out;
  out.reserve(text.size() + 64);
  bool first_line = true;
  auto emit = [&](std::string_view line) {
    if (!first_line) out.push_back('\n');
    first_line = false;
    out.append(line);
  };
  // The lines added here are not marked seen.
  auto emit_missing = [&] {
    for (const Override& o : overrides) {
      if (!o.seen) emit(o.line);
    }
  };

  bool in_peer = false;
  size_t pos = 0;
  for (;;) {
    size_t end = LineEnd(text, pos);
    std::string_view line =
        text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    std::string_view trimmed = TrimBlanks(line);

    if (!trimmed.empty() && trimmed.front() == '[') {
      if (in_peer) emit_missing();
      in_peer = EqualsLowered(trimmed, "[peer]");
      emit(line);
    } else if (!in_peer) {
      emit(line);
    } else if (size_t eq = trimmed.find('='); eq == std::string_view::npos) {
      emit(line);
    } else {
      std::string_view key = TrimBlanks(trimmed.substr(0, eq));
      const Override* match = nullptr;
      for (Override& o : overrides) {
        if (!EqualsLowered(key, o.lower)) continue;
        if (match == nullptr) match = &o;
        o.seen = true;  // the seen set holds the key, so every spelling of it
      }
      emit(match != nullptr ? std::string_view(match->line) : line);
    }

    if (end == std::string_view::npos) break;
    pos = end + 1;
  }
  if (in_peer) emit_missing();
  return out;
}

std::string applyDefaults(std::string_view text, bool split, const AppGroupSettings& settings) {
  FieldOverrides fields{{"PersistentKeepalive", "25"}};
  if (split) {
    std::optional<std::string> allowed = settings.ReadString(kSplitAllowedKey);
    if (allowed && !TrimBlanks(*allowed).empty()) fields["AllowedIPs"] = *allowed;
  }
  return patchPeer(text, fields);
}

}  // namespace kelvo
