// kelvo-tun processes under the requests that used to leave a watchdog
// running: start and stop together, a refused second start, hang-ups, and
// the whole repair path of a dead tunnel against a loopback service.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "apps/kelvo-tun/testing/kelvo_tun_process.h"
#include "platform/defaults/user_defaults.h"
#include "platform/engine/frame.h"
#include "platform/engine/standard_codec.h"
#include "platform/http/testing/loopback_http_server.h"
#include "platform/netlink/testing/net_namespace.h"
#include "platform/notifications/notification_spool.h"
#include "tunnel/app_group_settings.h"

namespace kelvo {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

Payload Encode(const Value& v) { return StandardCodec::Instance().Encode(v); }
Value Decode(const Payload& p) {
  return p ? StandardCodec::Instance().Decode(*p).value() : Value("no reply");
}
const Value kStartOptions = Value(ValueMap{{Value("cfg"), Value(testing::kTestTunnelConf)}});

// Polls `done` every 10 ms for up to `limit`: the process works on its own.
template <typename Pred>
bool Eventually(Pred done, seconds limit = seconds(15)) {
  for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
    if (done()) return true;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return done();
}

// Sends `frames` in a single write on a connection of its own and returns
// the replies by id.
std::map<int64_t, Payload> SendTogether(const std::string& path, const std::vector<Frame>& frames) {
  std::map<int64_t, Payload> replies;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return replies;
  }
  std::vector<uint8_t> bytes;
  for (const Frame& f : frames) AppendFrame(f, &bytes);
  EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  timeval timeout{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  FrameReader reader;
  std::vector<Frame> got;
  uint8_t buf[4096];
  while (replies.size() < frames.size()) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.clear();
    if (!reader.Feed(std::span<const uint8_t>(buf, static_cast<size_t>(n)), &got)) break;
    for (Frame& f : got) {
      if (f.kind == FrameKind::kReply) replies[f.id] = std::move(f.data);
    }
  }
  ::close(fd);
  return replies;
}

class KelvoTunLifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/k15-tun-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    fs::create_directories(dir_ / "app-groups");
    socket_ = (dir_ / "run" / "tunnel.sock").string();
  }
  void TearDown() override {
    tun_.reset();
    fs::remove_all(dir_);
  }

  // Starts kelvo-tun (memory adapter unless `args` names another), inside
  // `ns` when given, its stderr in a file of the test.
  void Launch(std::vector<std::string> args, const NetNamespace* ns = nullptr) {
    tun_ = std::make_unique<testing::KelvoTunProcess>();
    tun_->SetStderrFile((dir_ / "stderr.log").string());
    std::vector<std::string> all = {"--control-socket", socket_, "--foreground"};
    if (std::find(args.begin(), args.end(), "--adapter") == args.end()) {
      all.insert(all.end(), {"--adapter", "memory", "--interface", "k15mem"});
    }
    all.insert(all.end(), args.begin(), args.end());
    std::vector<std::string> env = {"HOME=" + dir_.string(),
                                    "XDG_RUNTIME_DIR=" + (dir_ / "run").string(),
                                    "XDG_DATA_HOME=" + (dir_ / "data").string(),
                                    "KELVO_APP_GROUP_ROOT=" + (dir_ / "app-groups").string(),
                                    "PATH=/usr/bin:/bin:/usr/sbin:/sbin"};
    std::optional<std::string> error;
    auto start = [&] { error = tun_->Start(all, env, socket_); };
    if (ns != nullptr) {
      ns->Run(start);
    } else {
      start();
    }
    ASSERT_FALSE(error) << *error;
  }

  AppGroupSettings& Settings() {
    if (!settings_) {
      DefaultsConfig config;
      config.app_group_root = (dir_ / "app-groups").string();
      config.data_home = (dir_ / "data").string();
      defaults_ = OpenUserDefaultsSystem(config);
      settings_ = MakeAppGroupSettings(defaults_.get());
    }
    return *settings_;
  }
  std::string Container() { return (dir_ / "app-groups" / kAppGroupId).string(); }

  Value Call(const std::string& op, const Value& data = Value()) {
    auto result = tun_->control().SendAndWait(op, Encode(data), seconds(10));
    EXPECT_TRUE(result.ok()) << op << ": " << result.error.value_or("");
    return Decode(result.reply);
  }
  std::string Report() {
    auto result = tun_->control().SendAndWait("handleAppMessage", std::vector<uint8_t>{0x02},
                                              seconds(10));
    return result.reply ? std::string(result.reply->begin(), result.reply->end()) : "";
  }
  bool ReportHas(const std::string& text) {
    return Eventually([&] { return Report().find(text) != std::string::npos; });
  }
  std::string Stderr() {
    std::ifstream in(dir_ / "stderr.log");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Start and stop in one write, `times` times; every round must end with
  // the tunnel down and nothing armed.
  void StartAndStopTogether(int times) {
    for (int i = 0; i < times; ++i) {
      auto replies = SendTogether(
          socket_, {Frame{FrameKind::kMessage, 1, "startTunnel", Encode(kStartOptions)},
                    Frame{FrameKind::kMessage, 2, "stopTunnel", Encode(Value(0))},
                    Frame{FrameKind::kMessage, 3, "status", Encode(Value())}});
      ASSERT_EQ(replies.size(), 3u) << "round " << i;
      Value started = Decode(replies[1]);
      // Either the start finished before the stop came, or it was cancelled.
      EXPECT_TRUE(started.is_null() ||
                  (started.is_list() &&
                   started.as_list()[2] == Value("startTunnel cancelled by stopTunnel")))
          << "round " << i;
      EXPECT_EQ(Decode(replies[2]), Value());
      ASSERT_EQ(Call("status"), Value(1)) << "round " << i;
    }
    EXPECT_EQ(Call("wake"), Value());
    std::string report = Report();
    EXPECT_EQ(report.rfind("APPGROUP suite=ok wd_enabled=1 ", 0), 0u) << report;
    EXPECT_NE(report.find(" timer=false "), std::string::npos) << report;
    EXPECT_EQ(report.find("tick"), std::string::npos) << "no tick once stopped: " << report;
  }

  fs::path dir_;
  std::string socket_;
  std::unique_ptr<testing::KelvoTunProcess> tun_;
  std::unique_ptr<UserDefaultsSystem> defaults_;
  std::shared_ptr<AppGroupSettings> settings_;
};

TEST_F(KelvoTunLifecycleTest, StartAndStopInOneWriteLeaveNothingRunning) {
  Launch({});
  Settings().WriteString("wd_enabled", "1");
  StartAndStopTogether(100);
}

TEST_F(KelvoTunLifecycleTest, StartAndStopInOneWriteOnWireguardGo) {
  std::string blocker = RootNetworkTestBlocker({"ip", "wireguard-go"});
  if (!blocker.empty()) GTEST_SKIP() << blocker;
  std::string error;
  auto ns = NetNamespace::Create("k15-tun-" + std::to_string(::getpid()), &error);
  ASSERT_TRUE(ns) << error;
  Launch({"--adapter", "wireguard-go", "--interface", "k15wg" + std::to_string(::getpid() % 10000)},
         ns.get());
  Settings().WriteString("wd_enabled", "1");
  StartAndStopTogether(100);
  EXPECT_EQ(tun_->Stop(SIGTERM), 0);
}

TEST_F(KelvoTunLifecycleTest, RefusedSecondStartAndEveryExitSignalStopTheTunnel) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    Launch({});
    ASSERT_EQ(Call("startTunnel", kStartOptions), Value());
    Value refused = Call("startTunnel", kStartOptions);
    ASSERT_TRUE(refused.is_list());
    EXPECT_EQ(refused.as_list()[0], Value("WireGuardAdapterError"));
    EXPECT_EQ(Call("status"), Value(3)) << "the first tunnel still runs";
    EXPECT_NE(Report().find(" timer=true "), std::string::npos);

    int status = tun_->Stop(signal);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string log = Stderr();
    EXPECT_NE(log.find("Drimo stopTunnel reason=0"), std::string::npos) << log;
    EXPECT_NE(log.find("WG: Tunnel stopped"), std::string::npos) << log;
  }
}

// Without root: the memory adapter pretends a dead tunnel, and the watchdog
// repairs it through a loopback service that wants a fresh token first.
TEST_F(KelvoTunLifecycleTest, StaleHandshakeIsRepairedThroughTheService) {
  std::atomic<int> conf_calls{0};
  LoopbackHttpServer service([&](const ServedRequest& r) {
    if (r.path == "/token/refresh/") return Reply(200, R"({"token":"fresh\/token"})");
    if (conf_calls++ == 0) return Reply(401, "expired");
    return Reply(200, nlohmann::json{{"conf", testing::kTestTunnelConf}}.dump());
  });
  // Anything listening on loopback answers the network probe.
  LoopbackHttpServer probed([](const ServedRequest&) { return Reply(500); });
  const std::string probe = "127.0.0.1:" + std::to_string(probed.port());
  Launch({"--memory-handshake", "stale", "--probe-host", probe});
  AppGroupSettings& s = Settings();
  s.WriteString("wd_enabled", "1");
  s.WriteString("wd_base_url", service.Url(""));
  s.WriteString("wd_access_token", "old");
  s.WriteString("wd_refresh_token", "r/1");

  ASSERT_EQ(Call("startTunnel", kStartOptions), Value());
  EXPECT_EQ(Call("wake"), Value());
  ASSERT_TRUE(ReportHas("intento fallido #1/7 wasHealthy=false (split=false)")) << Report();
  ASSERT_TRUE(ReportHas("recover: conf reaplicado — próximo tick valida")) << Report();
  auto requests = service.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(s.ReadString("wd_access_token"), "fresh/token");

  EXPECT_EQ(Call("wake"), Value());
  ASSERT_TRUE(ReportHas(" healthy=true failCount=1")) << Report();
  EXPECT_TRUE(Eventually([&] { return s.ReadString("wd_broken") == "0"; }));
}

// An alert whose body is larger than the spool carries still reaches the
// host, cut, and the log says what was cut.
TEST_F(KelvoTunLifecycleTest, LongNotificationBodyIsCutAndDelivered) {
  LoopbackHttpServer probed([](const ServedRequest&) { return Reply(500); });
  Launch({"--memory-handshake", "none", "--probe-host",
          "127.0.0.1:" + std::to_string(probed.port())});
  AppGroupSettings& s = Settings();
  s.WriteString("wd_enabled", "1");
  std::string body;
  for (int i = 0; i < 40000; ++i) body += "\u00f3";  // 80000 bytes
  s.WriteString("wd_notif_body", body);
  ASSERT_EQ(RecordAuthorization(Container(), AuthorizationStatus::authorized), std::nullopt);
  ASSERT_EQ(Call("startTunnel", kStartOptions), Value());
  for (int attempt = 1; attempt <= 7; ++attempt) {
    EXPECT_EQ(Call("wake"), Value());
    // Counted, and its recovery over before the next wake.
    const std::string counted = "intento fallido #" + std::to_string(attempt) + "/7";
    ASSERT_TRUE(Eventually([&] {
      std::string r = Report();
      size_t at = r.find(counted);
      return at != std::string::npos && r.find("recover: fetch conf KO", at) != std::string::npos;
    })) << Report();
  }
  ASSERT_TRUE(ReportHas("notif PROGRAMADA kelvo.tunnel.broken.")) << Report();
  auto listing = SpoolReader(Container()).Pending();
  ASSERT_EQ(listing.entries.size(), 1u);
  ASSERT_TRUE(listing.entries[0].notification) << listing.entries[0].error;
  const std::string& got = listing.entries[0].notification->request.content.body;
  EXPECT_TRUE(got.ends_with("\u00f3\u2026"));
  std::string log = Stderr();
  EXPECT_NE(log.find("body cut from 80000 to " + std::to_string(got.size() - 3) + " bytes"),
            std::string::npos)
      << log;
}

}  // namespace
}  // namespace kelvo
