// WireGuardGoAdapter against the real wireguard-go, in two network
// namespaces that the test creates and removes: "server" namespace A runs
// wireguard-go set up with `wg setconf`, "client" namespace B runs the
// adapter. The adapter is constructed on a thread that has entered B
// (NetNamespace::Run), so its worker thread, the wireguard-go it starts and
// its netlink sockets all live in B. A and B are joined by a veth pair
// (10.99.0.1/24 in A, 10.99.0.2/24 in B); all traffic stays between them.
//
// Needs root, /dev/net/tun, wireguard-go, wg and ip; skips without them.
// The cases at the end need none of that.
#include "platform/wireguard/wireguard_go_adapter.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/dispatch/asio_dispatch.h"
#include "platform/netlink/testing/net_namespace.h"
#include "platform/wireguard/child_process.h"

namespace kelvo {
namespace {

using namespace std::chrono_literals;

constexpr auto kWait = 30s;  // bound on any single operation
constexpr uint16_t kProbePort = 7070;

struct KeyPair {
  std::string private_base64, public_base64, public_hex;
};

KeyPair MakeKeyPair() {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519");
  WireGuardKey priv{}, pub{};
  size_t size = priv.size();
  EVP_PKEY_get_raw_private_key(key, priv.data(), &size);
  size = pub.size();
  EVP_PKEY_get_raw_public_key(key, pub.data(), &size);
  EVP_PKEY_free(key);
  return {WireGuardKeyToBase64(priv), WireGuardKeyToBase64(pub), WireGuardKeyToHex(pub)};
}

TunnelConfiguration ClientConfig(const KeyPair& client, const KeyPair& server, uint16_t port,
                                 const std::string& subnet, const std::string& extra = "") {
  auto parsed = TunnelConfiguration::FromWgQuickConfig(
      "[Interface]\nPrivateKey = " + client.private_base64 + "\nAddress = " + subnet +
      ".2/32\nMTU = 1380\n" + extra + "[Peer]\nPublicKey = " + server.public_base64 +
      "\nEndpoint = 10.99.0.1:" + std::to_string(port) + "\nAllowedIPs = " + subnet +
      ".1/32\nPersistentKeepalive = 25\n");
  EXPECT_TRUE(parsed);
  return parsed ? *parsed : TunnelConfiguration{};
}

// The value of `key` in the block of the peer whose public key is `hex`
// (empty: the interface's block before the peers), or -1 when missing.
long long PeerValue(const std::string& runtime, const std::string& hex, const std::string& key) {
  std::istringstream in(runtime);
  std::string line;
  bool in_peer = hex.empty();
  while (std::getline(in, line)) {
    if (line.rfind("public_key=", 0) == 0) in_peer = line == "public_key=" + hex;
    if (in_peer && line.rfind(key + "=", 0) == 0) return std::stoll(line.substr(key.size() + 1));
  }
  return -1;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Blocking calls on the adapter, for the test thread.
class Caller {
 public:
  explicit Caller(WireGuardAdapter& adapter) : adapter_(adapter) {}

  std::optional<AdapterError> Start(const TunnelConfiguration& c) {
    return Wait([&](auto done) { adapter_.Start(c, done); });
  }
  std::optional<AdapterError> Update(const TunnelConfiguration& c) {
    return Wait([&](auto done) { adapter_.Update(c, done); });
  }
  std::optional<AdapterError> Stop() {
    return Wait([&](auto done) { adapter_.Stop(done); });
  }
  std::optional<std::string> Runtime() {
    return Wait<std::optional<std::string>>(
        [&](auto done) { adapter_.GetRuntimeConfiguration(done); }, std::nullopt);
  }

 private:
  template <typename T = std::optional<AdapterError>, typename Call>
  T Wait(Call call, T on_timeout = AdapterError("the completion did not come")) {
    auto promise = std::make_shared<std::promise<T>>();
    call([promise](T value) { promise->set_value(std::move(value)); });
    auto future = promise->get_future();
    if (future.wait_for(kWait) != std::future_status::ready) {
      ADD_FAILURE() << "the completion did not come";
      return on_timeout;
    }
    return future.get();
  }
  WireGuardAdapter& adapter_;
};

class WireGuardGoAdapterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string blocker = RootNetworkTestBlocker({"ip", "wg", "wireguard-go"});
    if (!blocker.empty()) GTEST_SKIP() << blocker;
    tag_ = "kt" + std::to_string(getpid());
    client_name_ = tag_ + "c";
    std::string error;
    ns_a_ = NetNamespace::Create(tag_ + "a", &error);
    ASSERT_TRUE(ns_a_) << error;
    ns_b_ = NetNamespace::Create(tag_ + "b", &error);
    ASSERT_TRUE(ns_b_) << error;
    const std::string va = tag_ + "va", vb = tag_ + "vb";
    for (const auto& [ns, args] : std::vector<std::pair<NetNamespace*, std::vector<std::string>>>{
             {ns_a_.get(),
              {"link", "add", va, "type", "veth", "peer", "name", vb, "netns", ns_b_->name()}},
             {ns_a_.get(), {"addr", "add", "10.99.0.1/24", "dev", va}},
             {ns_a_.get(), {"link", "set", va, "up"}},
             {ns_a_.get(), {"link", "set", "lo", "up"}},
             {ns_b_.get(), {"addr", "add", "10.99.0.2/24", "dev", vb}},
             {ns_b_.get(), {"link", "set", vb, "up"}},
             {ns_b_.get(), {"link", "set", "lo", "up"}}}) {
      CommandResult r = ns->Ip(args);
      ASSERT_EQ(r.exit_code, 0) << r.output;
    }
    char dir[] = "/tmp/kelvo-wgtest-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    temp_dir_ = dir;
  }

  // Runs even when a test fails half-way: everything inside the namespaces
  // ends first, since a process inside keeps its namespace alive.
  void TearDown() override {
    adapter_.reset();
    servers_.clear();
    ns_a_.reset();
    ns_b_.reset();
    if (!tag_.empty()) {
      for (const std::string& name : {client_name_, tag_ + "s1", tag_ + "s2"}) {
        unlink(("/var/run/wireguard/" + name + ".sock").c_str());
      }
    }
    if (!temp_dir_.empty()) RunCommand({"rm", "-rf", temp_dir_});
    if (HasFailure() || std::getenv("KELVO_TEST_SHOW_LOGS")) {
      std::lock_guard lock(logs_mu_);
      for (const std::string& line : logs_) std::cerr << "  log: " << line << "\n";
    }
  }

  void MakeAdapter(WireGuardGoAdapter::Options options, const std::string& name = "") {
    options.interface_name = name.empty() ? client_name_ : name;
    ns_b_->Run([&] {
      adapter_ = std::make_unique<WireGuardGoAdapter>(
          queue_, options, [this](WireGuardLogLevel level, const std::string& message) {
            std::lock_guard lock(logs_mu_);
            logs_.push_back((level == WireGuardLogLevel::error ? "E " : "V ") + message);
          });
    });
    caller_ = std::make_unique<Caller>(*adapter_);
  }

  // A wireguard-go in A, configured with `wg setconf`, serving `client`
  // at <subnet>.1 with the client at <subnet>.2.
  void StartServer(const std::string& name, const KeyPair& server, const KeyPair& client,
                   uint16_t port, const std::string& subnet) {
    ChildProcess::Options spawn;
    spawn.path = FindTool("ip");
    spawn.args = {"netns", "exec", ns_a_->name(), FindTool("wireguard-go"), name};
    spawn.environment = {"WG_PROCESS_FOREGROUND=1"};
    auto process = ChildProcess::Start(spawn, nullptr, nullptr);
    ASSERT_TRUE(process) << process.error();
    servers_.push_back(std::move(*process));
    UapiClient uapi("/var/run/wireguard/" + name + ".sock", 1s);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!uapi.Reachable()) {
      ASSERT_FALSE(servers_.back()->WaitForExit(20ms)) << "server wireguard-go ended";
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "server socket never appeared";
    }
    const std::string conf = temp_dir_ + "/" + name + ".conf";
    std::ofstream(conf) << "[Interface]\nPrivateKey = " << server.private_base64
                        << "\nListenPort = " << port
                        << "\n[Peer]\nPublicKey = " << client.public_base64
                        << "\nAllowedIPs = " << subnet << ".2/32\n";
    chmod(conf.c_str(), 0600);
    CommandResult r =
        RunCommand({"ip", "netns", "exec", ns_a_->name(), "wg", "setconf", name, conf});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"addr", "add", subnet + ".1/32", "dev", name},
          {"link", "set", name, "up"},
          {"route", "add", subnet + ".2/32", "dev", name}}) {
      r = ns_a_->Ip(args);
      ASSERT_EQ(r.exit_code, 0) << r.output;
    }
  }

  // Connects from B to `address`:kProbePort in A across the tunnel, where a
  // listener in A accepts and receives one byte.
  void ExpectTcpAcross(const std::string& address) {
    int listener = -1;
    ns_a_->Run([&] {
      listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      int one = 1;
      setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      sockaddr_in any{};
      any.sin_family = AF_INET;
      any.sin_port = htons(kProbePort);
      ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
      ASSERT_EQ(listen(listener, 1), 0);
    });
    bool connected = false;
    ns_b_->Run([&] {
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(kProbePort);
      inet_pton(AF_INET, address.c_str(), &to.sin_addr);
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
      pollfd p{fd, POLLOUT, 0};
      int error = 0;
      socklen_t len = sizeof error;
      if (poll(&p, 1, 10000) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 &&
          error == 0) {
        connected = send(fd, "k", 1, MSG_NOSIGNAL) == 1;
      }
      close(fd);
    });
    EXPECT_TRUE(connected) << "no TCP connection to " << address;
    pollfd p{listener, POLLIN, 0};
    if (connected && poll(&p, 1, 5000) == 1) {
      int conn = accept(listener, nullptr, nullptr);
      char byte = 0;
      EXPECT_EQ(read(conn, &byte, 1), 1);
      EXPECT_EQ(byte, 'k');
      close(conn);
    } else if (connected) {
      ADD_FAILURE() << "the listener saw no connection";
    }
    close(listener);
  }

  // Polls the runtime text until the peer has a handshake; its time, or 0.
  long long AwaitHandshake(const std::string& peer_hex) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      auto text = caller_->Runtime();
      if (text && PeerValue(*text, peer_hex, "last_handshake_time_sec") > 0) {
        return PeerValue(*text, peer_hex, "last_handshake_time_sec");
      }
      std::this_thread::sleep_for(20ms);
    }
    return 0;
  }

  // After a stop: the interface, its socket file and the runtime text are gone.
  void ExpectStopped() {
    ASSERT_EQ(caller_->Stop(), std::nullopt);
    EXPECT_NE(ns_b_->Ip({"link", "show", "dev", client_name_}).exit_code, 0) << "interface gone";
    EXPECT_NE(access(("/var/run/wireguard/" + client_name_ + ".sock").c_str(), F_OK), 0);
    EXPECT_EQ(caller_->Runtime(), std::nullopt);
  }

  bool LogContains(const std::string& part) {
    std::lock_guard lock(logs_mu_);
    for (const std::string& line : logs_) {
      if (Contains(line, part)) return true;
    }
    return false;
  }

  AsioDispatch dispatch_{1};
  std::shared_ptr<Queue> queue_ = dispatch_.CreateSerialQueue("wireguard");
  std::string tag_, client_name_, temp_dir_;
  std::unique_ptr<NetNamespace> ns_a_, ns_b_;
  std::vector<std::unique_ptr<ChildProcess>> servers_;
  std::unique_ptr<WireGuardGoAdapter> adapter_;
  std::unique_ptr<Caller> caller_;
  std::mutex logs_mu_;
  std::vector<std::string> logs_;
};

TEST_F(WireGuardGoAdapterTest, StartHandshakeUpdateToANewServerAndStop) {
  const KeyPair client = MakeKeyPair(), server1 = MakeKeyPair(), server2 = MakeKeyPair();
  StartServer(tag_ + "s1", server1, client, 51821, "10.100.0");
  StartServer(tag_ + "s2", server2, client, 51822, "10.100.1");

  // A stand-in resolvconf that records its arguments and input.
  const std::string resolvconf = temp_dir_ + "/resolvconf";
  std::ofstream(resolvconf) << "#!/bin/sh\necho \"$@\" >> " << temp_dir_ << "/dns\ncat >> "
                            << temp_dir_ << "/dns\n";
  chmod(resolvconf.c_str(), 0700);
  WireGuardGoAdapter::Options options;
  options.dns.resolvconf = resolvconf;
  options.dns.interface_order = temp_dir_ + "/no-interface-order";
  options.choose_dns = [dns = options.dns] { return DnsChoice{MakeResolvconfDns(dns), {}}; };
  MakeAdapter(options);

  ASSERT_EQ(caller_->Start(ClientConfig(client, server1, 51821, "10.100.0",
                                        "DNS = 10.100.0.53, example.test\n")),
            std::nullopt);
  ASSERT_GT(AwaitHandshake(server1.public_hex), 0) << "no handshake with server 1";

  std::string link = ns_b_->Ip({"addr", "show", "dev", client_name_}).output;
  for (const char* part : {"inet 10.100.0.2/32", "mtu 1380", ",UP"}) {
    EXPECT_TRUE(Contains(link, part)) << link;
  }
  const std::string index_before = link.substr(0, link.find(':'));
  EXPECT_TRUE(Contains(ns_b_->Ip({"route", "show", "dev", client_name_}).output,
                       "10.100.0.1 proto static scope link"));
  ExpectTcpAcross("10.100.0.1");

  auto runtime = caller_->Runtime();
  ASSERT_TRUE(runtime);
  EXPECT_EQ(runtime->find("private_key="), 0u);
  EXPECT_FALSE(Contains(*runtime, "errno=")) << "the errno line is not handed on";
  EXPECT_EQ(runtime->back(), '\n');
  EXPECT_TRUE(Contains(*runtime, "endpoint=10.99.0.1:51821\n"));
  const long long listen_port = PeerValue(*runtime, "", "listen_port");
  EXPECT_GT(listen_port, 0);

  std::string dns;
  std::getline(std::ifstream(temp_dir_ + "/dns"), dns, '\0');
  EXPECT_EQ(dns, "-l " + client_name_ + "\n-d " + client_name_ + " -f\n-a " + client_name_ +
                     " -m 0 -x\nnameserver 10.100.0.53\nsearch example.test\n");

  // Update to the second server: new key, port, tunnel addresses.
  ASSERT_EQ(caller_->Update(ClientConfig(client, server2, 51822, "10.100.1")), std::nullopt);
  EXPECT_GT(AwaitHandshake(server2.public_hex), 0) << "no handshake with server 2";
  ExpectTcpAcross("10.100.1.1");
  runtime = caller_->Runtime();
  ASSERT_TRUE(runtime);
  EXPECT_EQ(PeerValue(*runtime, server1.public_hex, "last_handshake_time_sec"), -1)
      << "the old peer is replaced";
  EXPECT_EQ(PeerValue(*runtime, "", "listen_port"), listen_port);
  link = ns_b_->Ip({"addr", "show", "dev", client_name_}).output;
  EXPECT_EQ(link.substr(0, link.find(':')), index_before) << "the interface was not recreated";
  EXPECT_TRUE(Contains(link, "inet 10.100.1.2/32")) << link;
  EXPECT_FALSE(Contains(link, "10.100.0.2")) << link;
  const std::string routes = ns_b_->Ip({"route", "show", "dev", client_name_}).output;
  EXPECT_TRUE(Contains(routes, "10.100.1.1 proto static")) << routes;
  EXPECT_FALSE(Contains(routes, "10.100.0.1")) << routes;

  ExpectStopped();
  std::getline(std::ifstream(temp_dir_ + "/dns"), dns, '\0');
  EXPECT_TRUE(Contains(dns, "-d " + client_name_ + " -f\n")) << dns;
  EXPECT_EQ(caller_->Stop(), std::nullopt) << "a second stop is harmless";
}

TEST_F(WireGuardGoAdapterTest, WireGuardGoDyingLeavesAStaleTunnelUntilAnUpdate) {
  const KeyPair client = MakeKeyPair(), server = MakeKeyPair();
  MakeAdapter({});
  ASSERT_EQ(caller_->Start(ClientConfig(client, server, 51821, "10.100.0")), std::nullopt);
  EXPECT_TRUE(caller_->Runtime());

  // The only process in B is the adapter's wireguard-go.
  std::istringstream pids(RunCommand({"ip", "netns", "pids", ns_b_->name()}).output);
  int pid = 0;
  ASSERT_TRUE(pids >> pid);
  ASSERT_EQ(kill(pid, SIGKILL), 0);

  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!LogContains("ended unexpectedly") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(LogContains("E wireguard-go for interface " + client_name_ +
                          " ended unexpectedly: it was killed by signal 9 (Killed)"));
  EXPECT_EQ(caller_->Runtime(), std::nullopt);
  EXPECT_FALSE(Contains(ns_b_->Ip({"route", "show"}).output, "10.100.0.1"));
  EXPECT_EQ(access(("/var/run/wireguard/" + client_name_ + ".sock").c_str(), F_OK), 0)
      << "a killed daemon leaves its socket file behind";

  // The repair path: an update starts the tunnel over.
  EXPECT_EQ(caller_->Update(ClientConfig(client, server, 51821, "10.100.0")), std::nullopt);
  EXPECT_TRUE(LogContains("E Restarting the tunnel: wireguard-go was killed by signal 9 (Killed)"));
  EXPECT_TRUE(caller_->Runtime());
  EXPECT_TRUE(Contains(ns_b_->Ip({"route", "show", "dev", client_name_}).output, "10.100.0.1"));
  ExpectStopped();
}

TEST_F(WireGuardGoAdapterTest, AFailedStartIsReportedAndUndone) {
  // wireguard-go cannot make a tun device where a veth of that name is.
  const std::string veth = tag_ + "vb";
  const KeyPair client = MakeKeyPair(), server = MakeKeyPair();
  MakeAdapter({}, veth);
  auto error = caller_->Start(ClientConfig(client, server, 51821, "10.100.0"));
  ASSERT_TRUE(error);
  EXPECT_TRUE(Contains(error->description(),
                       "wireguard-go exited with status 1 before its control socket appeared: "
                       "ERROR: ("))
      << error->description();
  EXPECT_TRUE(Contains(error->description(), "Failed to create TUN device"))
      << error->description();
  EXPECT_TRUE(LogContains("E wireguard-go: ERROR: ("));
  EXPECT_EQ(ns_b_->Ip({"link", "show", "dev", veth}).exit_code, 0) << "someone else's link stays";
  EXPECT_EQ(caller_->Runtime(), std::nullopt);
  EXPECT_EQ(caller_->Stop(), std::nullopt);
}

// Failures that come before anything is started need no root.
TEST(WireGuardGoAdapterErrorsTest, FailsBeforeStartingAnything) {
  AsioDispatch dispatch(1);
  WireGuardGoAdapter::Options options;
  options.interface_name = "kt" + std::to_string(getpid()) + "e";
  options.resolver = [](const std::string&) -> Expected<std::vector<IPAddress>, std::string> {
    return MakeUnexpected(std::string("Name or service not known"));
  };
  WireGuardGoAdapter adapter(dispatch.CreateSerialQueue("wireguard"), options, nullptr);
  Caller caller(adapter);
  EXPECT_EQ(caller.Stop(), std::nullopt) << "stop without start";
  EXPECT_EQ(caller.Runtime(), std::nullopt);

  const KeyPair keys = MakeKeyPair();
  TunnelConfiguration config = ClientConfig(keys, keys, 51820, "10.100.0");
  EXPECT_EQ(caller.Update(config), AdapterError("Invalid state: the tunnel is not running"));
  config.peers[0].endpoint = Endpoint{"vpn.example.invalid", 51820};
  EXPECT_EQ(caller.Start(config),
            AdapterError("Endpoint host 'vpn.example.invalid' of peer 1 could not be resolved: "
                         "Name or service not known"));

  options.wireguard_go = "/nonexistent/wireguard-go";
  WireGuardGoAdapter missing(dispatch.CreateSerialQueue("wireguard"), options, nullptr);
  Caller missing_caller(missing);
  EXPECT_EQ(missing_caller.Start(ClientConfig(keys, keys, 51820, "10.100.0")),
            AdapterError("Cannot start the tunnel: /nonexistent/wireguard-go is not installed"));
  EXPECT_EQ(missing_caller.Runtime(), std::nullopt);
}

}  // namespace
}  // namespace kelvo
