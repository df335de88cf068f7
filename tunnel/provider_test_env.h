// A provider wired to fakes on virtual time, for the tunnel's unit tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/defaults/fake_user_defaults.h"
#include "platform/dispatch/virtual_dispatch.h"
#include "platform/http/fake_url_session.h"
#include "platform/log/fake_system_log.h"
#include "platform/network/fake_tcp_connection.h"
#include "platform/notifications/fake_notification_center.h"
#include "platform/wireguard/memory_adapter.h"
#include "tunnel/packet_tunnel_provider.h"

namespace kelvo::testing {

inline constexpr const char* kGoodConf =
    "[Interface]\n"
    "PrivateKey = AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQE=\n"
    "Address = 10.8.0.2/32\n"
    "\n"
    "[Peer]\n"
    "PublicKey = AgICAgICAgICAgICAgICAgICAgICAgICAgICAgICAgI=\n"
    "AllowedIPs = 0.0.0.0/0\n"
    "Endpoint = 127.0.0.1:51820\n";

// What the service answers with after the server moved to a new key.
inline constexpr const char* kFreshConf =
    "[Interface]\n"
    "PrivateKey = AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQE=\n"
    "Address = 10.8.0.2/32\n"
    "\n"
    "[Peer]\n"
    "PublicKey = AwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwM=\n"
    "AllowedIPs = 0.0.0.0/0\n"
    "Endpoint = 127.0.0.1:51821\n";

struct ProviderEnv {
  explicit ProviderEnv(std::function<std::shared_ptr<UrlSession>(std::shared_ptr<Queue>)>
                           session_factory = nullptr) {
    defaults = MakeInMemoryUserDefaultsSystem(controls);
    settings = MakeAppGroupSettings(defaults.get());
    adapter_queue = dispatch.CreateSerialQueue("adapter");
    url_queue = dispatch.CreateSerialQueue("url");
    notif_queue = dispatch.CreateSerialQueue("notifications");
    center = std::make_shared<FakeNotificationCenter>(notif_queue);
    tcp = std::make_shared<FakeTcpConnector>();

    ProviderPlatform p;
    p.dispatch = &dispatch;
    p.settings = settings;
    p.log = std::make_shared<FakeSystemLog>("test", "PacketTunnelProvider", log_book);
    p.make_adapter = [this](WireGuardLogHandler handler) {
      auto a = std::make_unique<MemoryAdapter>(adapter_queue, dispatch, std::move(handler));
      a->SetHoldCompletions(hold_adapter_completions);
      adapter = a.get();
      return a;
    };
    p.make_url_session = [this, session_factory]() -> std::shared_ptr<UrlSession> {
      if (session_factory) return session_factory(url_queue);
      auto s = std::make_shared<FakeUrlSession>(url_queue);
      session = s.get();
      return s;
    };
    p.tcp = tcp;
    p.notification_center = [this] { return center; };
    provider = PacketTunnelProvider::Create(std::move(p));
  }

  // Starts the tunnel with kGoodConf and runs until the start completed.
  void StartTunnel(const char* conf = kGoodConf) {
    bool done = false;
    provider->startTunnel(ValueMap{{Value("cfg"), Value(conf)}},
                          [&](std::optional<ProviderError> e) {
                            ASSERT_FALSE(e) << e->description;
                            done = true;
                          });
    dispatch.RunUntilIdle();
    ASSERT_TRUE(done);
  }

  void Set(const std::string& key, const std::string& value) { settings->WriteString(key, value); }
  std::optional<std::string> Get(const std::string& key) { return settings->ReadString(key); }

  // Every debug line so far (from the system log, not the 40-line buffer),
  // without its "#N " prefix, oldest first.
  std::vector<std::string> Lines() const {
    static const std::string kPrefix = "Drimo wd: #";
    std::vector<std::string> out;
    for (const auto& text : log_book->texts()) {
      if (text.rfind(kPrefix, 0) == 0) out.push_back(text.substr(text.find(' ', kPrefix.size()) + 1));
    }
    return out;
  }
  bool HasLine(const std::string& text) const {
    auto lines = Lines();
    return std::find(lines.begin(), lines.end(), text) != lines.end();
  }
  size_t CountLines(const std::string& text) const {
    auto lines = Lines();
    return std::count(lines.begin(), lines.end(), text);
  }
  ProviderPhase Phase() {
    std::optional<ProviderPhase> phase;
    dispatch.RunUntilIdle();  // completions hop to wdQueue first
    provider->currentPhase([&](ProviderPhase p) { phase = p; });
    dispatch.RunUntilIdle();
    return phase.value_or(ProviderPhase::stopped);
  }

  // Every peer's newest handshake `age` seconds before now.
  void SetHandshakeAge(double age) {
    adapter->SetHandshakeTime(size_t{0}, static_cast<int64_t>(dispatch.WallSeconds() - age));
  }

  VirtualDispatch dispatch;
  std::shared_ptr<FakeDefaultsControls> controls = std::make_shared<FakeDefaultsControls>();
  std::unique_ptr<UserDefaultsSystem> defaults;
  std::shared_ptr<AppGroupSettings> settings;
  std::shared_ptr<FakeLogBook> log_book = std::make_shared<FakeLogBook>();
  std::shared_ptr<Queue> adapter_queue, url_queue, notif_queue;
  std::shared_ptr<FakeNotificationCenter> center;
  std::shared_ptr<FakeTcpConnector> tcp;
  // Set before the adapter is made: it then holds its completions.
  bool hold_adapter_completions = false;
  MemoryAdapter* adapter = nullptr;     // owned by the provider
  FakeUrlSession* session = nullptr;    // owned by the provider
  std::shared_ptr<PacketTunnelProvider> provider;
};

}  // namespace kelvo::testing
