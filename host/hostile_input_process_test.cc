// A real kelvo under hostile input and heavy requests: text that is not
// UTF-8 on every service's channels is refused and the host serves on, with
// what it acknowledged still there after a restart; many preference suites
// keep the open files bounded; a large "clear" does not starve another
// connection.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "host/testing/kelvo_process.h"
#include "platform/engine/typed_messages.h"

namespace kelvo {
namespace {

using testing::CallReply;
using testing::HostEnvironment;
using testing::KelvoProcess;
using Clock = std::chrono::steady_clock;

const std::string kBad = "caf\xc3\x28 \xff";  // broken two-byte sequence, then a stray byte
const std::string kPrefs = "dev.flutter.pigeon.shared_preferences_foundation.UserDefaultsApi.";
const std::string kStore = "dev.flutter.pigeon.in_app_purchase_storekit.InAppPurchaseAPI.";
const std::string kSecure = "net.kelvo.app/flutter_secure_storage";

// The options record of the preferences API: tag 129, [suite or null].
Value Suite(std::optional<std::string> name = std::nullopt) {
  return Value::Custom(129, Value(ValueList{name ? Value(*name) : Value()}));
}

// A typed message's reply list, or a string saying why there is none.
Value Typed(EngineSocketClient& client, const std::string& channel, const ValueList& args) {
  const StandardCodec& codec = StandardCodec::Instance();
  EngineCallResult r =
      client.SendAndWait(channel, codec.Encode(Value(args)), ToDuration(std::chrono::seconds(10)));
  if (!r.ok()) return Value("transport: " + *r.error);
  if (!r.reply) return Value("no reply");
  Result<Value> decoded = codec.Decode(*r.reply);
  return decoded.ok() ? decoded.value() : Value("undecodable");
}

ValueMap Keychain(const std::string& key, std::optional<std::string> value = std::nullopt) {
  ValueMap args{{"key", key}, {"options", Value(ValueMap{{"accountName", "kelvo.test"}})}};
  if (value) args.set("value", *value);
  return args;
}

size_t OpenFiles(pid_t pid) {
  size_t n = 0;
  if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

class HostileInputProcessTest : public ::testing::Test {
 protected:
  HostileInputProcessTest() {
    std::ofstream(env_.root() + "/store.json")
        << R"({"products": [{"id": "coins", "type": "consumable", "price": "0.99"}]})";
    env_.extra_variables.push_back("KELVO_STORE_CONFIG=" + env_.root() + "/store.json");
  }
  HostEnvironment env_;
};

TEST_F(HostileInputProcessTest, TextThatIsNotUtf8IsRefusedOnEveryServiceAndNothingIsLost) {
  {
    KelvoProcess kelvo(env_);
    ASSERT_EQ(kelvo.Start(), std::nullopt);
    // Method channels: the call does not decode, and the error names the channel.
    const std::pair<std::string, std::string> method_channels[] = {
        {"drimo/wg_ios", "appGroupSet"},
        {kSecure, "write"},
        {"dev.fluttercommunity.plus/connectivity", "check"},
        {"dev.fluttercommunity.plus/package_info", "getAll"},
    };
    for (const auto& [channel, method] : method_channels) {
      CallReply r = kelvo.Call(method, Value(ValueMap{{"key", kBad}, {"value", kBad}}), channel);
      ASSERT_TRUE(r.error) << channel << ": " << r.Describe();
      EXPECT_EQ(r.error->code, "bad-call");
      EXPECT_NE(r.error->message->find(channel), std::string::npos) << *r.error->message;
      // Also as the method name itself.
      r = kelvo.Call(kBad, Value(), channel);
      EXPECT_TRUE(r.error) << channel << ": " << r.Describe();
    }
    // Typed channels of the preferences, store, URL launcher and paths.
    const std::pair<std::string, ValueList> typed[] = {
        {kPrefs + "set", {kBad, "v", Suite()}},
        {kPrefs + "getValue", {"k", Suite(kBad)}},
        {kStore + "addPayment",
         {Value(ValueMap{{"productIdentifier", "coins"}, {"applicationUsername", kBad}})}},
        {kStore + "restoreTransactions", {kBad}},
        {"dev.flutter.pigeon.url_launcher_macos.UrlLauncherApi.canLaunchUrl", {kBad}},
        {"dev.flutter.pigeon.path_provider_foundation.PathProviderApi.getContainerPath", {kBad}},
    };
    for (const auto& [channel, args] : typed) {
      Value reply = Typed(kelvo.client(), channel, args);
      ASSERT_TRUE(reply.is_list() && reply.as_list().size() == 3) << channel << ": " << reply;
      EXPECT_EQ(reply.as_list()[0], Value("bad-request")) << channel;
      EXPECT_NE(reply.as_list()[1].as_string().find(channel), std::string::npos) << channel;
    }

    // The host serves on, and normal writes of every kind are kept.
    EXPECT_EQ(Typed(kelvo.client(), kPrefs + "set", {"flutter.theme", "dark", Suite()}),
              Value(ValueList{Value()}));
    CallReply written = kelvo.Call("write", Value(Keychain("token", "abc → ñ")), kSecure);
    EXPECT_TRUE(written.answered && !written.error) << written.Describe();
    Value products =
        Typed(kelvo.client(), kStore + "startProductRequest", {Value(ValueList{Value("coins")})});
    ASSERT_TRUE(products.is_list() && products.as_list().size() == 1) << products;
    EXPECT_EQ(Typed(kelvo.client(), kStore + "addPayment",
                    {Value(ValueMap{{"productIdentifier", "coins"}, {"quantity", 2}})}),
              Value(ValueList{Value()}));
    bool purchased = false;
    for (auto deadline = Clock::now() + std::chrono::seconds(10);
         !purchased && Clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
      Value t = Typed(kelvo.client(), kStore + "transactions", {});
      purchased = t.is_list() && t.as_list().size() == 1 && t.as_list()[0].is_list() &&
                  t.as_list()[0].as_list().size() == 1;
    }
    EXPECT_TRUE(purchased);
    EXPECT_EQ(kelvo.Stop(SIGTERM), 0) << kelvo.Stderr();
  }
  KelvoProcess kelvo(env_);
  ASSERT_EQ(kelvo.Start(), std::nullopt);
  EXPECT_EQ(Typed(kelvo.client(), kPrefs + "getValue", {"flutter.theme", Suite()}),
            Value(ValueList{Value("dark")}));
  CallReply read = kelvo.Call("read", Value(Keychain("token")), kSecure);
  ASSERT_TRUE(read.value) << read.Describe();
  EXPECT_EQ(*read.value, Value("abc → ñ"));
  Value t = Typed(kelvo.client(), kStore + "transactions", {});
  ASSERT_TRUE(t.is_list() && t.as_list().size() == 1 && t.as_list()[0].is_list()) << t;
  EXPECT_EQ(t.as_list()[0].as_list().size(), 1u);
  EXPECT_EQ(kelvo.Stop(SIGTERM), 0) << kelvo.Stderr();
}

TEST_F(HostileInputProcessTest, ManySuitesKeepTheOpenFilesBounded) {
  KelvoProcess kelvo(env_);
  ASSERT_EQ(kelvo.Start(), std::nullopt);
  const size_t before = OpenFiles(kelvo.pid());
  size_t halfway = 0;
  for (int i = 0; i < 300; ++i) {
    const std::string suite = "com.example.suite" + std::to_string(i);
    ASSERT_EQ(Typed(kelvo.client(), kPrefs + "set", {"k", i, Suite(suite)}),
              Value(ValueList{Value()}))
        << suite;
    if (i == 149) halfway = OpenFiles(kelvo.pid());
  }
  // Three files for each of at most 16 suites, the global and the own
  // domain (held for good), and some slack for what other services open
  // lazily after the start; no growth with more suites.
  const size_t after = OpenFiles(kelvo.pid());
  EXPECT_LE(after, before + (16 + 2) * 3 + 16);
  EXPECT_LE(after, halfway + 2);
  EXPECT_EQ(Typed(kelvo.client(), kPrefs + "getValue", {"k", Suite("com.example.suite0")}),
            Value(ValueList{Value(0)}));
  EXPECT_EQ(kelvo.Stop(SIGTERM), 0) << kelvo.Stderr();
}

TEST_F(HostileInputProcessTest, ClearingTenThousandKeysLeavesOtherConnectionsAnswered) {
  // The keys are put in place behind the host's back, in one transaction.
  const std::string dir = env_.data_home() + "/kelvo/defaults";
  std::filesystem::create_directories(dir);
  {
    KelvoProcess kelvo(env_);
    ASSERT_EQ(kelvo.Start(), std::nullopt);
    ASSERT_EQ(Typed(kelvo.client(), kPrefs + "set", {"seed", 1, Suite("com.example.big")}),
              Value(ValueList{Value()}));
    EXPECT_EQ(kelvo.Stop(SIGTERM), 0);
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir + "/com.example.big.sqlite3").c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 5000);
  ASSERT_EQ(sqlite3_exec(db,
                         "BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                         "WHERE i < 10000) INSERT INTO defaults(key, value) "
                         "SELECT 'k' || i, x'0301000000' FROM n; COMMIT;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);

  KelvoProcess kelvo(env_);
  ASSERT_EQ(kelvo.Start(), std::nullopt);
  auto other = std::make_unique<EngineSocketClient>();
  ASSERT_EQ(other->Connect(env_.engine_socket()), std::nullopt);
  std::atomic<bool> clearing{true};
  std::atomic<int> answered{0}, unanswered{0};
  std::thread pinger([&] {
    do {
      EngineCallResult r = other->SendAndWait(
          kPrefs + "getValue",
          StandardCodec::Instance().Encode(Value(ValueList{"k1", Suite("com.example.other")})),
          ToDuration(std::chrono::seconds(5)));
      (r.ok() && r.reply ? answered : unanswered)++;
    } while (clearing);
  });
  Value cleared = Typed(kelvo.client(), kPrefs + "clear", {Value(), Suite("com.example.big")});
  clearing = false;
  pinger.join();
  EXPECT_EQ(cleared, Value(ValueList{Value()}));
  EXPECT_EQ(unanswered.load(), 0);
  EXPECT_GT(answered, 0);
  EXPECT_EQ(Typed(kelvo.client(), kPrefs + "getKeys", {Value(), Suite("com.example.big")}),
            Value(ValueList{Value(ValueList{})}));
  EXPECT_EQ(kelvo.Stop(SIGTERM), 0) << kelvo.Stderr();
}

}  // namespace
}  // namespace kelvo
