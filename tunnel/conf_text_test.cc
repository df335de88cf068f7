#include "tunnel/conf_text.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace kelvo {
namespace {

// Settings held in memory; counts reads so tests can tell when none happen.
class FakeSettings : public AppGroupSettings {
 public:
  bool Available() const override { return true; }
  std::optional<std::string> ReadString(const std::string& key) const override {
    ++reads;
    auto it = values.find(key);
    if (it == values.end()) return std::nullopt;
    return it->second;
  }
  void WriteString(const std::string& key, const std::string& value) override {
    values[key] = value;
  }

  std::map<std::string, std::string> values;
  mutable int reads = 0;
};

std::optional<std::string> Body(const std::string& s) { return s; }

TEST(ParseConfTest, JsonMembers) {
  // "conf" exactly as sent, surrounding line breaks included.
  auto conf =
      parseConf(Body(R"({"conf":"\n[Interface]\nPrivateKey = k\n","local_ip":"10.8.0.7"})"), 200);
  EXPECT_EQ(conf, (FreshConf{"\n[Interface]\nPrivateKey = k\n", "10.8.0.7"}));

  EXPECT_EQ(parseConf(Body(R"({"conf":"x","local_ip":7})"), 204), (FreshConf{"x", std::nullopt}));
  EXPECT_EQ(parseConf(Body(R"({"wg_conf":"w","config":"c"})"), 299),
            (FreshConf{"w", std::nullopt}));
  EXPECT_EQ(parseConf(Body(R"({"config":"c","local_ip":"ip"})"), 200), (FreshConf{"c", "ip"}));
}

TEST(ParseConfTest, FallsBackToTextRule) {
  // Only the first present member counts: a blank, null or non-string
  // "conf" hides a good "wg_conf", and the whole body becomes the text when
  // it holds "[Interface]" anywhere.
  const std::string with_wg_conf = R"({"conf":" \t\n","wg_conf":"[Interface]\nA = b"})";
  EXPECT_EQ(parseConf(with_wg_conf, 200), (FreshConf{with_wg_conf, std::nullopt}));
  const std::string null_conf = R"({"conf":null,"wg_conf":"[Interface]"})";
  EXPECT_EQ(parseConf(null_conf, 200), (FreshConf{null_conf, std::nullopt}));
  const std::string numeric = R"({"conf":1,"config":"[Interface]","local_ip":"x"})";
  EXPECT_EQ(parseConf(numeric, 200), (FreshConf{numeric, std::nullopt}));
  // Unicode line and space separators make a "conf" blank too.
  const std::string unicode_blank = "{\"conf\":\"\\u2028\\u3000\\u0085\"}";
  EXPECT_EQ(parseConf(unicode_blank, 200), std::nullopt);
  EXPECT_EQ(parseConf(Body(R"({"conf":""})"), 200), std::nullopt);
  EXPECT_EQ(parseConf(Body(R"({"other":"[interface]"})"), 200), std::nullopt);  // case matters
  const std::string array = R"(["[Interface]"])";
  EXPECT_EQ(parseConf(array, 200), (FreshConf{array, std::nullopt}));

  const std::string plain = "  [Interface]\nPrivateKey = k\n";
  EXPECT_EQ(parseConf(plain, 200), (FreshConf{plain, std::nullopt}));
  EXPECT_EQ(parseConf(Body("[Peer]\nPublicKey = k\n"), 200), std::nullopt);
  EXPECT_EQ(parseConf(Body(""), 200), std::nullopt);
  EXPECT_EQ(parseConf(Body("[Interface]\n\xC0\xAF"), 200), std::nullopt);      // overlong
  EXPECT_EQ(parseConf(Body("[Interface]\n\xED\xA0\x80"), 200), std::nullopt);  // surrogate
  EXPECT_EQ(parseConf(Body("[Interface]\n\xE2\x82"), 200), std::nullopt);      // truncated
  const std::string utf8 = "[Interface]\n# configuración → ok\n";
  EXPECT_EQ(parseConf(utf8, 200), (FreshConf{utf8, std::nullopt}));
}

TEST(ParseConfTest, StatusAndAbsentBody) {
  const std::string good = R"({"conf":"[Interface]"})";
  for (int status : {0, 199, 300, 401, 500})
    EXPECT_EQ(parseConf(good, status), std::nullopt) << status;
  EXPECT_EQ(parseConf(std::nullopt, 200), std::nullopt);
}

TEST(PatchPeerTest, Cases) {
  const FieldOverrides keepalive{{"PersistentKeepalive", "25"}};
  struct Case {
    const char* what;
    std::string in;
    FieldOverrides fields;
    std::string out;
  };
  const Case cases[] = {
      {"added after the final empty line, no LF at the end", "[Peer]\nPublicKey = k\n", keepalive,
       "[Peer]\nPublicKey = k\n\nPersistentKeepalive = 25"},
      {"replaced line loses indentation, spacing and key case; [Interface] untouched",
       "[Interface]\n  persistentkeepalive=10\n[Peer]\n  persistentkeepalive=10\nEndpoint = e:1",
       keepalive,
       "[Interface]\n  persistentkeepalive=10\n[Peer]\nPersistentKeepalive = 25\nEndpoint = e:1"},
      {"header in capitals with blanks opens [Peer]", "\t [PEER]  \nPersistentKeepalive=1",
       keepalive, "\t [PEER]  \nPersistentKeepalive = 25"},
      {"header with a comment does not", "[Peer] # main\nPersistentKeepalive=1", keepalive,
       "[Peer] # main\nPersistentKeepalive=1"},
      {"CR LF text holds no line end",
       "[Interface]\r\nPrivateKey = a\r\n[Peer]\r\nPublicKey = b\r\n", keepalive,
       "[Interface]\r\nPrivateKey = a\r\n[Peer]\r\nPublicKey = b\r\n"},
      {"a lone LF after CR LF lines ends the line that holds them",
       "[Peer]\nPersistentKeepalive = 1\r\nEndpoint = e:1\n", keepalive,
       "[Peer]\nPersistentKeepalive = 25\n"},
      {"a CR is not a blank", "[Peer]\r", keepalive, "[Peer]\r"},
      {"seen set spans sections: nothing added to the second peer",
       "[Peer]\nPersistentKeepalive = 5\n[Peer]\nPublicKey = b", keepalive,
       "[Peer]\nPersistentKeepalive = 25\n[Peer]\nPublicKey = b"},
      {"neither peer has it: added at the end of each",
       "[Peer]\nPublicKey = a\n\n[Peer]\nPublicKey = b", keepalive,
       "[Peer]\nPublicKey = a\n\nPersistentKeepalive = 25\n[Peer]\nPublicKey = "
       "b\nPersistentKeepalive = 25"},
      {"a non-peer section after a peer closes it", "[Peer]\nPublicKey = a\n[Other]\nX = 1",
       keepalive, "[Peer]\nPublicKey = a\nPersistentKeepalive = 25\n[Other]\nX = 1"},
      {"added lines do not count as seen: the later peer's line is still replaced and nothing "
       "added there",
       "[Peer]\nA = 1\n[Peer]\npersistentKEEPALIVE = 9", keepalive,
       "[Peer]\nA = 1\nPersistentKeepalive = 25\n[Peer]\nPersistentKeepalive = 25"},
      {"comments, blank lines and lines without '=' pass byte for byte",
       "[Peer]\n# PersistentKeepalive = 1\n \t \njunk\nPublicKey =  x  ", keepalive,
       "[Peer]\n# PersistentKeepalive = 1\n \t \njunk\nPublicKey =  x  \nPersistentKeepalive = 25"},
      {"Unicode space separators are blanks around header and key",
       "\xE3\x80\x80[Peer]\xC2\xA0\n\xE2\x80\x83PersistentKeepalive\xE2\x80\xAF= 3", keepalive,
       "\xE3\x80\x80[Peer]\xC2\xA0\nPersistentKeepalive = 25"},
      {"key is the text before the first '='",
       "[Peer]\nPersistentKeepalive = a=b\nX==PersistentKeepalive", keepalive,
       "[Peer]\nPersistentKeepalive = 25\nX==PersistentKeepalive"},
      {"lines before any header belong to no section", "PersistentKeepalive = 1\n[Peer]", keepalive,
       "PersistentKeepalive = 1\n[Peer]\nPersistentKeepalive = 25"},
      {"no [Peer]: text unchanged", "[Interface]\nPersistentKeepalive = 1\n", keepalive,
       "[Interface]\nPersistentKeepalive = 1\n"},
      {"empty text", "", keepalive, ""},
      {"no overrides", "[Peer]\nA = 1\n", {}, "[Peer]\nA = 1\n"},
      {"two overrides, missing ones in map order",
       "[Peer]\nallowedips = 0.0.0.0/0",
       {{"PersistentKeepalive", "25"}, {"AllowedIPs", "10.0.0.0/8"}, {"Endpoint", "h:1"}},
       "[Peer]\nAllowedIPs = 10.0.0.0/8\nEndpoint = h:1\nPersistentKeepalive = 25"},
  };
  for (const Case& c : cases) EXPECT_EQ(patchPeer(c.in, c.fields), c.out) << c.what;
}

TEST(ApplyDefaultsTest, SplitMode) {
  FakeSettings settings;
  const std::string text =
      "[Interface]\nPrivateKey = p\n[Peer]\nPublicKey = a\nAllowedIPs = 0.0.0.0/0\nAllowedIPs = "
      "::/0\n"
      "[Peer]\nPublicKey = b\n";

  // Not split: the settings are not read and AllowedIPs stays as sent.
  settings.values["wd_split_allowed"] = "10.0.0.0/8";
  EXPECT_EQ(applyDefaults(text, false, settings),
            "[Interface]\nPrivateKey = p\n[Peer]\nPublicKey = a\nAllowedIPs = "
            "0.0.0.0/0\nAllowedIPs = ::/0\n"
            "PersistentKeepalive = 25\n[Peer]\nPublicKey = b\n\nPersistentKeepalive = 25");
  EXPECT_EQ(settings.reads, 0);

  // Split: every AllowedIPs line replaced with the value as stored, blanks
  // kept; a peer without one gets it (the seen set covers the whole text,
  // so the second peer gets none here).
  settings.values["wd_split_allowed"] = " 10.0.0.0/8, 192.168.0.0/16\t";
  EXPECT_EQ(
      applyDefaults(text, true, settings),
      "[Interface]\nPrivateKey = p\n[Peer]\nPublicKey = a\n"
      "AllowedIPs =  10.0.0.0/8, 192.168.0.0/16\t\nAllowedIPs =  10.0.0.0/8, 192.168.0.0/16\t\n"
      "PersistentKeepalive = 25\n[Peer]\nPublicKey = b\n\nPersistentKeepalive = 25");
  EXPECT_EQ(settings.reads, 1);
  EXPECT_EQ(applyDefaults("[Peer]\nPublicKey = a", true, settings),
            "[Peer]\nPublicKey = a\nAllowedIPs =  10.0.0.0/8, "
            "192.168.0.0/16\t\nPersistentKeepalive = 25");

  // Blank or absent: only the keep-alive changes.
  const std::string expected_unchanged_ips =
      "[Peer]\nAllowedIPs = 0.0.0.0/0\nPersistentKeepalive = 25";
  settings.values["wd_split_allowed"] = " \t\xE2\x80\x80";
  EXPECT_EQ(applyDefaults("[Peer]\nAllowedIPs = 0.0.0.0/0", true, settings),
            expected_unchanged_ips);
  settings.values.erase("wd_split_allowed");
  EXPECT_EQ(applyDefaults("[Peer]\nAllowedIPs = 0.0.0.0/0", true, settings),
            expected_unchanged_ips);
}

}  // namespace
}  // namespace kelvo
