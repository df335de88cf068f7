// The secure storage service in a real `kelvo` process, driven over its
// engine socket as the user interface would: the methods, enclave values,
// the values surviving a restart, and protected-data events from a fake
// logind on a private bus.
#include <gtest/gtest.h>
#include <signal.h>

#include <condition_variable>
#include <mutex>

#include "host/testing/kelvo_process.h"
#include "platform/desktop_notify/fake_session_bus.h"
#include "platform/engine/method_codec.h"
#include "platform/session_lock/fake_login1.h"
#include "services/secure_storage/flutter_secure_storage_darwin_plugin.h"

namespace kelvo {
namespace {

using testing::CallReply;
using testing::HostEnvironment;
using testing::KelvoProcess;

Value Args(std::optional<std::string> key, ValueMap options = {},
           std::optional<std::string> value = std::nullopt) {
  ValueMap args{{"options", Value(std::move(options))}};
  if (key) args.set("key", *key);
  if (value) args.set("value", *value);
  return Value(std::move(args));
}

const ValueMap kPlain{{"accountName", "kelvo.test"}};
const ValueMap kEnclave{{"accountName", "kelvo.test"}, {"useSecureEnclave", "true"}};

class SecureStorageProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(kelvo_->Start(), std::nullopt); }
  void TearDown() override {
    if (kelvo_) {
      EXPECT_EQ(kelvo_->Stop(SIGTERM), 0);
    }
  }

  CallReply Call(const std::string& method, const Value& args = Value()) {
    return kelvo_->Call(method, args, kSecureStorageMethodChannel);
  }
  // The success value of a call, or a string saying what came instead.
  Value Ok(const std::string& method, const Value& args) {
    CallReply reply = Call(method, args);
    if (!reply.value) return Value("<" + reply.Describe() + ">");
    return *reply.value;
  }

  HostEnvironment env_;
  std::unique_ptr<KelvoProcess> kelvo_ = std::make_unique<KelvoProcess>(env_);
};

TEST_F(SecureStorageProcessTest, StoresReadsListsAndDeletes) {
  EXPECT_EQ(Ok("read", Args("token", kPlain)), Value());
  EXPECT_EQ(Ok("write", Args("token", kPlain, "abc → ñ")), Value());
  EXPECT_EQ(Ok("write", Args("refresh", kPlain, "def")), Value());
  EXPECT_EQ(Ok("read", Args("token", kPlain)), Value("abc → ñ"));
  EXPECT_EQ(Ok("containsKey", Args("token", kPlain)), Value(true));
  EXPECT_EQ(Ok("containsKey", Args("other", kPlain)), Value(false));
  EXPECT_EQ(Ok("readAll", Args(std::nullopt, kPlain)),
            Value(ValueMap{{"refresh", "def"}, {"token", "abc → ñ"}}));
  EXPECT_EQ(Ok("delete", Args("token", kPlain)), Value());
  EXPECT_EQ(Ok("read", Args("token", kPlain)), Value());
  EXPECT_EQ(Ok("deleteAll", Args("refresh", kPlain)), Value());
  EXPECT_EQ(Ok("readAll", Args(std::nullopt, kPlain)), Value());
  EXPECT_TRUE(Ok("isProtectedDataAvailable", Value()).is_bool());

  CallReply missing = Call("write", Args("token", kPlain));
  ASSERT_TRUE(missing.error) << missing.Describe();
  EXPECT_EQ(missing.error->code, "Missing Parameter");
  EXPECT_EQ(missing.error->message, "write requires key and value parameters");
  CallReply invalid = Call("read", Value("token"));
  ASSERT_TRUE(invalid.error) << invalid.Describe();
  EXPECT_EQ(invalid.error->code, "Invalid Arguments");
  CallReply refused = Call("read", Args("t", {{"isHidden", "true"}, {"isPlaceholder", "true"}}));
  ASSERT_TRUE(refused.error) << refused.Describe();
  EXPECT_EQ(refused.error->code, "Unexpected security result code");
  EXPECT_EQ(refused.error->details, Value(-50));
  EXPECT_FALSE(Call("unknownMethod").answered);
}

TEST_F(SecureStorageProcessTest, EnclaveValuesAndPlainReads) {
  EXPECT_EQ(Ok("write", Args("pin", kEnclave, "1234")), Value());
  EXPECT_EQ(Ok("read", Args("pin", kEnclave)), Value("1234"));
  EXPECT_EQ(Ok("readAll", Args(std::nullopt, kEnclave)), Value(ValueMap{{"pin", "1234"}}));
  // Read without the flag: the sealed bytes, which are not the text.
  EXPECT_NE(Ok("read", Args("pin", kPlain)), Value("1234"));
  // Written plain, read with the flag: no wrapped key, no value.
  EXPECT_EQ(Ok("write", Args("plain", kPlain, "visible")), Value());
  EXPECT_EQ(Ok("read", Args("plain", kEnclave)), Value());
  EXPECT_EQ(Ok("delete", Args("pin", kEnclave)), Value());
  EXPECT_EQ(Ok("read", Args("pin", kEnclave)), Value());
  EXPECT_EQ(Ok("readAll", Args(std::nullopt, kPlain)), Value(ValueMap{{"plain", "visible"}}));
}

TEST_F(SecureStorageProcessTest, ValuesSurviveARestart) {
  ASSERT_EQ(Ok("write", Args("token", kPlain, "persisted")), Value());
  ASSERT_EQ(Ok("write", Args("pin", kEnclave, "sealed")), Value());
  EXPECT_EQ(kelvo_->Stop(SIGTERM), 0);
  kelvo_ = std::make_unique<KelvoProcess>(env_);
  ASSERT_EQ(kelvo_->Start(), std::nullopt);
  EXPECT_EQ(Ok("read", Args("token", kPlain)), Value("persisted"));
  EXPECT_EQ(Ok("read", Args("pin", kEnclave)), Value("sealed"));
  EXPECT_EQ(Ok("deleteAll", Args(std::nullopt, kEnclave)), Value());
  EXPECT_EQ(Ok("readAll", Args(std::nullopt, kPlain)), Value());
}

// Two users (two homes) at once share nothing: neither reads, overwrites
// nor deletes the other's values, plain or sealed.
TEST_F(SecureStorageProcessTest, TwoUsersShareNothing) {
  HostEnvironment other_env;
  KelvoProcess other(other_env);
  ASSERT_EQ(other.Start(), std::nullopt);
  auto theirs = [&](const std::string& method, const Value& args) {
    CallReply reply = other.Call(method, args, kSecureStorageMethodChannel);
    return reply.value ? *reply.value : Value("<" + reply.Describe() + ">");
  };
  ASSERT_EQ(Ok("write", Args("token", kPlain, "mine")), Value());
  ASSERT_EQ(Ok("write", Args("pin", kEnclave, "1111")), Value());
  EXPECT_EQ(theirs("read", Args("token", kPlain)), Value());
  EXPECT_EQ(theirs("read", Args("pin", kEnclave)), Value());
  EXPECT_EQ(theirs("containsKey", Args("token", kPlain)), Value(false));
  EXPECT_EQ(theirs("write", Args("token", kPlain, "theirs")), Value());
  EXPECT_EQ(theirs("write", Args("pin", kEnclave, "2222")), Value());
  EXPECT_EQ(theirs("read", Args("pin", kEnclave)), Value("2222"));
  EXPECT_EQ(theirs("deleteAll", Args(std::nullopt, kPlain)), Value());
  EXPECT_EQ(theirs("readAll", Args(std::nullopt, kPlain)), Value());
  EXPECT_EQ(Ok("read", Args("token", kPlain)), Value("mine"));
  EXPECT_EQ(Ok("read", Args("pin", kEnclave)), Value("1111"));
  EXPECT_EQ(other.Stop(SIGTERM), 0);
}

TEST_F(SecureStorageProcessTest, EventChannelAcceptsListenAndCancel) {
  for (const char* method : {"listen", "cancel", "listen"}) {
    EngineCallResult r = kelvo_->client().SendAndWait(
        kSecureStorageEventChannel, MethodCodec::Standard().EncodeMethodCall({method, Value()}),
        std::chrono::seconds(10));
    ASSERT_TRUE(r.ok()) << *r.error;
    ASSERT_TRUE(r.reply) << method;
    auto envelope = MethodCodec::Standard().DecodeEnvelope(*r.reply);
    ASSERT_TRUE(envelope.ok());
    EXPECT_EQ(std::get<Value>(envelope.value()), Value()) << method;
  }
}

// Collects what the host sends on the event channel.
class EventCollector {
 public:
  void Add(Payload message) {
    std::lock_guard lock(mu_);
    if (message) {
      auto envelope = MethodCodec::Standard().DecodeEnvelope(*message);
      events_.push_back(envelope.ok() && std::holds_alternative<Value>(envelope.value())
                            ? std::get<Value>(envelope.value())
                            : Value("<not a success envelope>"));
    }
    changed_.notify_all();
  }
  std::optional<Value> WaitFor(size_t count) {
    std::unique_lock lock(mu_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return events_.size() >= count; });
    if (events_.size() < count) return std::nullopt;
    return events_[count - 1];
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  std::vector<Value> events_;
};

// The status of a call that failed, or 0.
int64_t Status(const CallReply& reply) {
  if (!reply.error) return 0;
  return reply.error->details.is_int() ? reply.error->details.as_int() : -1;
}

TEST(SecureStorageSessionLockTest, LockAndUnlockOfTheSessionBecomeEventsAndGateItems) {
  FakeSessionBus bus;
  if (std::optional<std::string> error = bus.Start()) GTEST_SKIP() << *error;
  FakeLogin1 logind;
  ASSERT_EQ(logind.Start(bus.address(), "5", /*locked=*/true), std::nullopt);
  HostEnvironment env;
  env.extra_variables.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + bus.address());
  KelvoProcess kelvo(env);
  ASSERT_EQ(kelvo.Start(), std::nullopt);

  EXPECT_EQ(kelvo.Call("isProtectedDataAvailable", Value(), kSecureStorageMethodChannel).value,
            Value(false));
  const ValueMap unlocked{{"accountName", "kelvo.test"}, {"accessibility", "unlocked"}};
  const ValueMap first_unlock{{"accountName", "kelvo.test"}, {"accessibility", "first_unlock"}};
  auto call = [&](const std::string& method, const Value& args) {
    return kelvo.Call(method, args, kSecureStorageMethodChannel);
  };
  // Not unlocked since the host started: even "first_unlock" waits.
  EXPECT_EQ(Status(call("write", Args("early", first_unlock, "v"))), -25308);
  EventCollector events;
  kelvo.client().SetMessageHandler(kSecureStorageEventChannel,
                                   [&](Payload message, BinaryReply) { events.Add(message); });
  EXPECT_TRUE(kelvo.Call("listen", Value(), kSecureStorageEventChannel).value);
  logind.SetLockedHint(false);
  EXPECT_EQ(events.WaitFor(1), Value(true));
  EXPECT_EQ(Status(call("write", Args("u", unlocked, "1"))), 0);
  EXPECT_EQ(Status(call("write", Args("f", first_unlock, "2"))), 0);
  logind.SetLockedHint(true);
  EXPECT_EQ(events.WaitFor(2), Value(false));
  CallReply refused = call("read", Args("u", unlocked));
  EXPECT_EQ(Status(refused), -25308) << refused.Describe();
  EXPECT_EQ(Status(call("write", Args("u", unlocked, "3"))), -25308);
  EXPECT_EQ(call("read", Args("f", first_unlock)).value, Value("2"));
  EXPECT_EQ(Status(call("write", Args("f", first_unlock, "4"))), 0);
  EXPECT_EQ(kelvo.Call("isProtectedDataAvailable", Value(), kSecureStorageMethodChannel).value,
            Value(false));
  EXPECT_EQ(kelvo.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace kelvo
