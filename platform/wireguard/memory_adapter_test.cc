#include "platform/wireguard/memory_adapter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dispatch/virtual_dispatch.h"

namespace kelvo {
namespace {

constexpr const char* kPub1 = "ERERERERERERERERERERERERERERERERERERERERERE=";
constexpr const char* kPub2 = "IiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiIiI=";

TunnelConfiguration Config(std::vector<const char*> peers) {
  std::string text =
      "[Interface]\nPrivateKey = AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\nListenPort = "
      "51820\n";
  for (const char* key : peers) {
    text += std::string("[Peer]\nPublicKey = ") + key +
            "\nEndpoint = [2001:db8::1]:51820\nAllowedIPs = 10.0.0.0/8, ::/0\nPersistentKeepalive "
            "= 25\n";
  }
  auto parsed = TunnelConfiguration::FromWgQuickConfig(text);
  EXPECT_TRUE(parsed);
  return *parsed;
}

class MemoryAdapterTest : public ::testing::Test {
 protected:
  MemoryAdapterTest()
      : dispatch_(1700000000.75),
        adapter_(dispatch_.CreateSerialQueue("wireguard"), dispatch_,
                 [this](WireGuardLogLevel level, const std::string& message) {
                   logs_.emplace_back(level, message);
                 }) {}

  std::optional<AdapterError> Call(void (MemoryAdapter::*op)(const TunnelConfiguration&,
                                                             WireGuardAdapter::Completion),
                                   const TunnelConfiguration& config) {
    int calls = 0;
    std::optional<AdapterError> result;
    (adapter_.*op)(config, [&](std::optional<AdapterError> e) {
      ++calls;
      result = e;
    });
    EXPECT_EQ(calls, 0) << "completion ran inside the call";
    dispatch_.RunUntilIdle();
    EXPECT_EQ(calls, 1);
    return result;
  }
  std::optional<AdapterError> Stop() {
    std::optional<AdapterError> result;
    adapter_.Stop([&](std::optional<AdapterError> e) { result = e; });
    dispatch_.RunUntilIdle();
    return result;
  }
  std::optional<std::string> Runtime() {
    std::optional<std::string> result = "not called";
    adapter_.GetRuntimeConfiguration([&](std::optional<std::string> t) { result = t; });
    dispatch_.RunUntilIdle();
    return result;
  }

  VirtualDispatch dispatch_;
  std::vector<std::pair<WireGuardLogLevel, std::string>> logs_;
  MemoryAdapter adapter_;
};

TEST_F(MemoryAdapterTest, LifecycleAndInvalidStates) {
  EXPECT_EQ(Runtime(), std::nullopt);
  EXPECT_EQ(Stop(), AdapterError("Invalid state: the tunnel is not running"));
  EXPECT_EQ(Call(&MemoryAdapter::Update, Config({kPub1})),
            AdapterError("Invalid state: the tunnel is not running"));

  EXPECT_EQ(Call(&MemoryAdapter::Start, Config({kPub1})), std::nullopt);
  EXPECT_TRUE(adapter_.running());
  EXPECT_EQ(Call(&MemoryAdapter::Start, Config({kPub1})),
            AdapterError("Invalid state: the tunnel is already running"));

  EXPECT_EQ(Call(&MemoryAdapter::Update, Config({kPub1, kPub2})), std::nullopt);
  EXPECT_EQ(adapter_.configuration()->peers.size(), 2u);

  EXPECT_EQ(Stop(), std::nullopt);
  EXPECT_FALSE(adapter_.running());
  EXPECT_EQ(Runtime(), std::nullopt);
  EXPECT_EQ(adapter_.start_calls(), 2);
  EXPECT_EQ(adapter_.update_calls(), 2);
  EXPECT_EQ(adapter_.stop_calls(), 2);
  EXPECT_EQ(adapter_.runtime_queries(), 2);

  ASSERT_FALSE(logs_.empty());
  EXPECT_EQ(logs_.back(),
            std::make_pair(WireGuardLogLevel::verbose, std::string("Tunnel stopped")));
  for (const auto& [level, message] : logs_) {
    EXPECT_EQ(message.find("AAECAw"), std::string::npos) << "key material in a log line";
  }
}

TEST_F(MemoryAdapterTest, RuntimeTextHasOneBlockPerPeerStampedAtStart) {
  ASSERT_EQ(Call(&MemoryAdapter::Start, Config({kPub1, kPub2})), std::nullopt);
  dispatch_.AdvanceBy(Seconds(500));  // handshakes stay at the start time
  EXPECT_EQ(Runtime(),
            "private_key=000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f\n"
            "listen_port=51820\n"
            "public_key=1111111111111111111111111111111111111111111111111111111111111111\n"
            "protocol_version=1\n"
            "endpoint=[2001:db8::1]:51820\n"
            "last_handshake_time_sec=1700000000\n"
            "last_handshake_time_nsec=0\n"
            "tx_bytes=0\n"
            "rx_bytes=0\n"
            "persistent_keepalive_interval=25\n"
            "allowed_ip=10.0.0.0/8\n"
            "allowed_ip=::/0\n"
            "public_key=2222222222222222222222222222222222222222222222222222222222222222\n"
            "protocol_version=1\n"
            "endpoint=[2001:db8::1]:51820\n"
            "last_handshake_time_sec=1700000000\n"
            "last_handshake_time_nsec=0\n"
            "tx_bytes=0\n"
            "rx_bytes=0\n"
            "persistent_keepalive_interval=25\n"
            "allowed_ip=10.0.0.0/8\n"
            "allowed_ip=::/0\n");
}

TEST_F(MemoryAdapterTest, HandshakeControls) {
  ASSERT_EQ(Call(&MemoryAdapter::Start, Config({kPub1, kPub2})), std::nullopt);
  EXPECT_TRUE(adapter_.SetHandshakeTime(0, 0));
  EXPECT_TRUE(adapter_.SetHandshakeTime(kPub2, 42));
  EXPECT_FALSE(adapter_.SetHandshakeTime(2, 1));
  EXPECT_FALSE(adapter_.SetHandshakeTime("MzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzM=", 1));
  EXPECT_TRUE(adapter_.SetTransfer(1, 7, 9));
  std::string text = *Runtime();
  EXPECT_NE(text.find("last_handshake_time_sec=0\n"), std::string::npos);
  EXPECT_NE(text.find("last_handshake_time_sec=42\n"), std::string::npos);
  EXPECT_NE(text.find("tx_bytes=7\nrx_bytes=9\n"), std::string::npos);

  // By default an update stamps every peer with the current time.
  dispatch_.AdvanceBy(Seconds(99.25));
  ASSERT_EQ(Call(&MemoryAdapter::Update, Config({kPub1, kPub2})), std::nullopt);
  text = *Runtime();
  EXPECT_EQ(text.find("last_handshake_time_sec=42\n"), std::string::npos);
  EXPECT_NE(text.find("last_handshake_time_sec=1700000100\n"), std::string::npos);

  // Without stamping, known peers keep their time and new ones start at 0.
  adapter_.SetStampHandshakesOnUpdate(false);
  adapter_.SetHandshakeTime(kPub2, 42);
  dispatch_.AdvanceBy(Seconds(100));
  ASSERT_EQ(
      Call(&MemoryAdapter::Update, Config({kPub2, "MzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzM="})),
      std::nullopt);
  text = *Runtime();
  size_t first = text.find("last_handshake_time_sec=");
  size_t second = text.find("last_handshake_time_sec=", first + 1);
  EXPECT_EQ(text.substr(first, 27), "last_handshake_time_sec=42\n");
  EXPECT_EQ(text.substr(second, 26), "last_handshake_time_sec=0\n");
}

TEST_F(MemoryAdapterTest, InjectedFailuresChangeNothing) {
  adapter_.SetStartError(AdapterError("boom"));
  EXPECT_EQ(Call(&MemoryAdapter::Start, Config({kPub1})), AdapterError("boom"));
  EXPECT_FALSE(adapter_.running());
  EXPECT_EQ(logs_.back(),
            std::make_pair(WireGuardLogLevel::error, std::string("Starting tunnel failed: boom")));
  adapter_.SetStartError(std::nullopt);
  ASSERT_EQ(Call(&MemoryAdapter::Start, Config({kPub1})), std::nullopt);

  adapter_.SetUpdateError(AdapterError("update refused"));
  EXPECT_EQ(Call(&MemoryAdapter::Update, Config({kPub2})), AdapterError("update refused"));
  EXPECT_EQ(adapter_.configuration()->peers.at(0).public_key, *WireGuardKeyFromBase64(kPub1));

  adapter_.SetRuntimeUnavailable(true);
  EXPECT_EQ(Runtime(), std::nullopt);
  adapter_.SetRuntimeUnavailable(false);
  EXPECT_TRUE(Runtime());

  adapter_.SetStopError(AdapterError("stuck"));
  EXPECT_EQ(Stop(), AdapterError("stuck"));
  EXPECT_TRUE(adapter_.running());
}

// The pretend handshakes that let the watchdog's repair run without root.
TEST(MemoryAdapterModeTest, StaleUntilUpdatedAndNoneForEver) {
  struct Case {
    const char* name;
    int64_t at_start;  // seconds before now
    bool fresh_after_update;
  } cases[] = {{"fresh", 0, true}, {"stale", MemoryAdapter::kStaleHandshakeAge, true},
               {"none", -1, false}};
  for (const Case& c : cases) {
    VirtualDispatch dispatch(1700000000.0);
    MemoryAdapter adapter(dispatch.CreateSerialQueue("wireguard"), dispatch, nullptr,
                          *ParseMemoryHandshake(c.name));
    auto handshake = [&] {
      std::string text;
      adapter.GetRuntimeConfiguration([&](std::optional<std::string> t) { text = t.value_or(""); });
      dispatch.RunUntilIdle();
      auto at = text.find("last_handshake_time_sec=");
      return std::stoll(text.substr(at + 24));
    };
    adapter.Start(Config({kPub1}), nullptr);
    dispatch.AdvanceBy(std::chrono::seconds(100));
    EXPECT_EQ(handshake(), c.at_start < 0 ? 0 : 1700000000 - c.at_start) << c.name;
    adapter.Update(Config({kPub1}), nullptr);
    EXPECT_EQ(handshake(), c.fresh_after_update ? 1700000100 : 0) << c.name;
  }
  EXPECT_EQ(ParseMemoryHandshake("Stale"), std::nullopt);
}

TEST(MemoryAdapterLifetimeTest, PendingCompletionsOutliveTheAdapter) {
  VirtualDispatch dispatch;
  int logs = 0;
  std::optional<AdapterError> result = AdapterError("not called");
  {
    MemoryAdapter adapter(dispatch.CreateSerialQueue("wireguard"), dispatch,
                          [&](WireGuardLogLevel, const std::string&) { ++logs; });
    adapter.Start(Config({kPub1}), [&](std::optional<AdapterError> e) { result = e; });
  }
  EXPECT_EQ(dispatch.PendingCount(), 2u);  // the log line and the completion
  dispatch.RunUntilIdle();
  EXPECT_EQ(result, std::nullopt);
  EXPECT_EQ(logs, 1);
}

}  // namespace
}  // namespace kelvo
