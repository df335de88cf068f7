#include "platform/wireguard/uapi.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

namespace kelvo {
namespace {

const std::string kPrivHex = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
const std::string k11 = std::string(64, '1');

TunnelConfiguration Parse(const std::string& text) {
  auto parsed = TunnelConfiguration::FromWgQuickConfig(text);
  EXPECT_TRUE(parsed) << (parsed ? "" : parsed.error().description());
  return parsed ? *parsed : TunnelConfiguration{};
}

const char* kTwoPeers =
    "[Interface]\n"
    "PrivateKey = AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\n"
    "ListenPort = 51820\n"
    "Address = 10.100.0.2/32\n"
    "[Peer]\n"
    "PublicKey = ERERERERERERERERERERERERERERERERERERERERERE=\n"
    "PresharedKey = MzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzM=\n"
    "Endpoint = vpn.example.com:51820\n"
    "AllowedIPs = 0.0.0.0/0, ::/0\n"
    "PersistentKeepalive = 25\n"
    "[Peer]\n"
    "PublicKey = IiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiI=\n"
    "Endpoint = [2001:db8::7]:443\n"
    "AllowedIPs = 10.9.0.5/16\n";

TEST(UapiRenderTest, GoldenSetRequest) {
  TunnelConfiguration config = Parse(kTwoPeers);
  EXPECT_EQ(RenderUapiSet(config, {"192.0.2.10:51820", "[2001:db8::7]:443"}),
            R"(set=1
private_key=000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f
listen_port=51820
replace_peers=true
public_key=1111111111111111111111111111111111111111111111111111111111111111
preshared_key=3333333333333333333333333333333333333333333333333333333333333333
endpoint=192.0.2.10:51820
persistent_keepalive_interval=25
replace_allowed_ips=true
allowed_ip=0.0.0.0/0
allowed_ip=::/0
public_key=2222222222222222222222222222222222222222222222222222222222222222
endpoint=[2001:db8::7]:443
persistent_keepalive_interval=0
replace_allowed_ips=true
allowed_ip=10.9.0.5/16

)");

  // No listen port configured: the line is left out so the port stays;
  // no peers: every peer goes.
  TunnelConfiguration bare =
      Parse("[Interface]\nPrivateKey = AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\n");
  EXPECT_EQ(RenderUapiSet(bare, {}), "set=1\nprivate_key=" + kPrivHex + "\nreplace_peers=true\n\n");
}

TEST(UapiRenderTest, ResolvesEndpointNamesOnly) {
  TunnelConfiguration config = Parse(kTwoPeers);
  config.peers.push_back(config.peers[1]);
  config.peers[2].endpoint.reset();
  std::vector<std::string> asked;
  auto resolver = [&](const std::string& host) -> Expected<std::vector<IPAddress>, std::string> {
    asked.push_back(host);
    return std::vector<IPAddress>{*IPAddress::Parse("2001:db8::1"), *IPAddress::Parse("192.0.2.1")};
  };
  auto endpoints = ResolveEndpoints(config, resolver);
  ASSERT_TRUE(endpoints);
  EXPECT_EQ(*endpoints,
            (ResolvedEndpoints{"[2001:db8::1]:51820", "[2001:db8::7]:443", std::nullopt}));
  EXPECT_EQ(asked, std::vector<std::string>{"vpn.example.com"});

  auto failing = [](const std::string&) -> Expected<std::vector<IPAddress>, std::string> {
    return MakeUnexpected(std::string("Name or service not known"));
  };
  auto error = ResolveEndpoints(config, failing);
  ASSERT_FALSE(error);
  EXPECT_EQ(error.error(),
            "Endpoint host 'vpn.example.com' of peer 1 could not be resolved: Name or service not "
            "known");
  EXPECT_EQ(ResolveHostWithSystem("192.0.2.3")->front().ToString(), "192.0.2.3");
}

TEST(UapiAnswerTest, ParsesBodyAndErrno) {
  auto set = ParseUapiAnswer("errno=0\n\n");
  ASSERT_TRUE(set);
  EXPECT_EQ(set->body, "");
  EXPECT_EQ(set->error_code, 0);

  const std::string body = "private_key=" + kPrivHex + "\nlisten_port=51820\npublic_key=" + k11 +
                           "\nlast_handshake_time_sec=1700000000\nallowed_ip=0.0.0.0/0\n";
  auto get = ParseUapiAnswer(body + "errno=0\n\n");
  ASSERT_TRUE(get);
  EXPECT_EQ(get->body, body);

  auto refused = ParseUapiAnswer("errno=-22\n\n");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->error_code, -22);

  EXPECT_EQ(ParseUapiAnswer("errno=0\n").error(), "the answer does not end with an empty line");
  EXPECT_EQ(ParseUapiAnswer("a=1\n\n").error(), "the answer does not end with an errno line");
  EXPECT_EQ(ParseUapiAnswer("\n\n").error(), "the answer does not end with an errno line");
  EXPECT_EQ(ParseUapiAnswer("errno=x\n\n").error(), "the answer has a malformed errno line");
  EXPECT_EQ(ParseUapiAnswer("errno=\n\n").error(), "the answer has a malformed errno line");
  EXPECT_EQ(ParseUapiAnswer("a=1\nsecret\nerrno=0\n\n").error(),
            "line 2 of the answer is not key=value");
  EXPECT_EQ(ParseUapiAnswer("=1\nerrno=0\n\n").error(), "line 1 of the answer is not key=value");
}

// A control socket in a temporary directory that answers each connection
// with the next scripted reply, written in small pieces, and records what
// it was sent.
class ScriptedSocket {
 public:
  explicit ScriptedSocket(std::vector<std::string> replies) {
    char dir[] = "/tmp/kelvo-uapi-XXXXXX";
    dir_ = mkdtemp(dir);
    path_ = dir_ + "/wg0.sock";
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path_.c_str());
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(fd_, 4), 0);
    thread_ = std::thread([this, replies = std::move(replies)] {
      for (const std::string& reply : replies) {
        int conn = accept(fd_, nullptr, nullptr);
        if (conn < 0) return;
        std::string request;
        char buf[256];
        while (request.find("\n\n") == std::string::npos) {
          ssize_t n = read(conn, buf, sizeof buf);
          if (n <= 0) break;
          request.append(buf, static_cast<size_t>(n));
        }
        requests_.push_back(request);
        for (size_t i = 0; i < reply.size(); i += 7) {
          (void)!write(conn, reply.data() + i, std::min<size_t>(7, reply.size() - i));
        }
        close(conn);
      }
    });
  }
  ~ScriptedSocket() {
    thread_.join();
    close(fd_);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  const std::string& path() const { return path_; }
  // Valid once the destructor would not block: after the last exchange.
  const std::vector<std::string>& requests() const { return requests_; }

 private:
  std::string dir_, path_;
  int fd_ = -1;
  std::vector<std::string> requests_;
  std::thread thread_;
};

TEST(UapiClientTest, ExchangesOverTheSocket) {
  const std::string body = "private_key=" + kPrivHex + "\nlast_handshake_time_sec=0\n";
  std::vector<std::string> requests;
  {
    ScriptedSocket server({"errno=0\n\n", body + "errno=0\n\n", "errno=-22\n\n",
                           "private_key=" + kPrivHex + "\n", "errno=-5\n\n"});
    UapiClient client(server.path(), std::chrono::seconds(5));
    EXPECT_EQ(client.Set("set=1\nlisten_port=1\n\n"), std::nullopt);
    EXPECT_EQ(client.Get().value(), body);
    EXPECT_EQ(*client.Set("set=1\nlisten_port=x\n\n"),
              "The configuration was refused: errno=-22 (Invalid argument)");
    auto cut = client.Get();
    ASSERT_FALSE(cut);
    EXPECT_EQ(cut.error(),
              "Incomplete answer from " + server.path() + ": Connection reset by peer");
    EXPECT_EQ(client.Get().error(),
              "The runtime configuration was refused: errno=-5 (Input/output error)");
    requests = server.requests();
  }
  EXPECT_EQ(requests[0], "set=1\nlisten_port=1\n\n");
  EXPECT_EQ(requests[1], "get=1\n\n");

  UapiClient gone("/tmp/kelvo-no-such-dir/wg0.sock", std::chrono::seconds(1));
  EXPECT_FALSE(gone.Reachable());
  EXPECT_EQ(gone.Get().error(),
            "Cannot connect to /tmp/kelvo-no-such-dir/wg0.sock: No such file or directory");
}

}  // namespace
}  // namespace kelvo
