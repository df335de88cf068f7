// The secure storage service over an in-process messenger in virtual time,
// on the in-memory keychain and a fake protected-data monitor: the method
// table, bad input, the status texts, the queues, and the event stream.
#include "services/secure_storage/flutter_secure_storage_darwin_plugin.h"

#include <gtest/gtest.h>

#include <tuple>

#include "platform/fs/test_dir.h"
#include "platform/dispatch/virtual_dispatch.h"
#include "platform/engine/in_process_messenger.h"
#include "platform/engine/testing/test_registrar.h"
#include "platform/keychain/fake_keychain.h"
#include "platform/session_lock/fake_protected_data_monitor.h"
#include "platform/sqlite/fault_vfs.h"
#include "services/secure_storage/scripted_keychain_test_util.h"
#include "services/secure_storage/unavailable_keychain.h"

namespace kelvo {
namespace {

const MethodCodec& M() { return MethodCodec::Standard(); }

// What came back for one call.
struct Reply {
  bool answered = false;  // false: not implemented
  std::optional<Value> value;
  std::optional<FlutterError> error;
};

ValueMap Args(std::optional<std::string> key, ValueMap options = {},
              std::optional<std::string> value = std::nullopt) {
  ValueMap args{{"options", Value(std::move(options))}};
  if (key) args.set("key", *key);
  if (value) args.set("value", *value);
  return args;
}

FlutterError SecurityError(OSStatus status, std::string message) {
  return FlutterError{"Unexpected security result code", std::move(message),
                      Value(int64_t{status})};
}

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    enclave_ = OpenSecureEnclaveAt(dir_.path(), &error);
    ASSERT_NE(enclave_, nullptr) << error;
    plugin_ = FlutterSecureStorageDarwinPlugin::RegisterWith(
        &registrar_, keychain_, enclave_, monitor_,
        [this](const std::string& line) { printed_.push_back(line); });
    ASSERT_NE(plugin_, nullptr);
  }

  // Sends the call; the reply arrives once the queues run.
  void Send(const std::string& method, const Value& args, Reply* out) {
    messenger_.SendFromInterface(kSecureStorageMethodChannel, M().EncodeMethodCall({method, args}),
                                 [this, out](Payload reply) {
                                   EXPECT_TRUE(dispatch_.MainQueue()->IsCurrent());
                                   if (!reply) return;
                                   out->answered = true;
                                   auto envelope = M().DecodeEnvelope(*reply);
                                   ASSERT_TRUE(envelope.ok());
                                   if (auto* v = std::get_if<Value>(&envelope.value())) {
                                     out->value = *v;
                                   } else {
                                     out->error = std::get<FlutterError>(envelope.value());
                                   }
                                 });
  }
  Reply Call(const std::string& method, const Value& args = Value()) {
    Reply reply;
    Send(method, args, &reply);
    dispatch_.RunUntilIdle();
    return reply;
  }
  Value Ok(const std::string& method, const Value& args) {
    Reply r = Call(method, args);
    EXPECT_TRUE(r.value) << method << ": " << (r.error ? r.error->message.value_or("") : "none");
    return r.value.value_or(Value("<no value>"));
  }
  FlutterError Err(const std::string& method, const Value& args) {
    Reply r = Call(method, args);
    EXPECT_TRUE(r.error) << method;
    return r.error.value_or(FlutterError{});
  }
  void Stream(const std::string& method) {
    std::optional<Payload> reply;
    messenger_.SendFromInterface(kSecureStorageEventChannel, M().EncodeMethodCall({method, Value()}),
                                 [&](Payload r) { reply = r; });
    dispatch_.RunUntilIdle();
    ASSERT_TRUE(reply && *reply) << method;
    auto envelope = M().DecodeEnvelope(**reply);
    ASSERT_TRUE(envelope.ok());
    EXPECT_EQ(std::get<Value>(envelope.value()), Value()) << method;
  }
  std::vector<Value> Events() const {
    std::vector<Value> events;
    for (const auto& sent : messenger_.sent()) {
      if (sent.channel != kSecureStorageEventChannel || !sent.message) continue;
      auto envelope = M().DecodeEnvelope(*sent.message);
      EXPECT_TRUE(envelope.ok() && std::holds_alternative<Value>(envelope.value()));
      if (envelope.ok()) events.push_back(std::get<Value>(envelope.value()));
    }
    return events;
  }

  VirtualDispatch dispatch_;
  InProcessMessenger messenger_{dispatch_.MainQueue()};
  testing::TestRegistrar registrar_{&messenger_, &dispatch_};
  TestDir dir_;
  std::shared_ptr<FakeKeychain> fake_ = std::make_shared<FakeKeychain>();
  std::shared_ptr<ScriptedKeychain> keychain_ = std::make_shared<ScriptedKeychain>(fake_.get());
  std::shared_ptr<SecureEnclave> enclave_;
  std::shared_ptr<FakeProtectedDataMonitor> monitor_ =
      std::make_shared<FakeProtectedDataMonitor>(dispatch_.MainQueue());
  std::vector<std::string> printed_;
  std::shared_ptr<FlutterSecureStorageDarwinPlugin> plugin_;
};

TEST_F(PluginTest, MissingItemsAreNoErrorsAndDeleteAllIgnoresTheKey) {
  const ValueMap svc{{"accountName", "svc"}};
  EXPECT_EQ(Ok("read", Value(Args("k", svc))), Value());
  EXPECT_EQ(Ok("readAll", Value(Args(std::nullopt, svc))), Value());
  EXPECT_EQ(Ok("delete", Value(Args("k", svc))), Value());
  EXPECT_EQ(Ok("deleteAll", Value(Args(std::nullopt, svc))), Value());
  EXPECT_EQ(Ok("write", Value(Args("k", svc, "v1"))), Value());
  EXPECT_EQ(Ok("write", Value(Args("j", svc, "v2"))), Value());
  EXPECT_EQ(Ok("readAll", Value(Args(std::nullopt, svc))),
            Value(ValueMap{{"j", "v2"}, {"k", "v1"}}));
  EXPECT_EQ(Ok("deleteAll", Value(Args("k", svc))), Value());
  EXPECT_TRUE(fake_->Items().empty());
}

TEST_F(PluginTest, BadInputIsAnsweredAndNeverReachesTheKeychain) {
  const std::string write_needs = "write requires key and value parameters";
  for (const auto& [method, args, message] : std::vector<std::tuple<std::string, Value, std::string>>{
           {"read", Value(Args(std::nullopt)), "read requires key parameter"},
           {"write", Value(Args("k")), write_needs},
           {"write", Value(ValueMap{{"key", "k"}, {"value", 5}}), write_needs},
           {"write", Value(Args(std::nullopt, {}, "v")), write_needs},
           {"delete", Value(ValueMap{{"key", Value(ValueList{})}}), "delete requires key parameter"},
           {"containsKey", Value(ValueMap{}), "containsKey requires key parameter"}}) {
    EXPECT_EQ(Err(method, args), (FlutterError{"Missing Parameter", message, Value()})) << method;
  }

  // Arguments that are no string-keyed map.
  for (const Value& bad : {Value(), Value("k"), Value(ValueList{Value("k")}),
                           Value(ValueMap{{"key", "k"}, {1, "one"}})}) {
    for (const char* method : {"read", "write", "delete", "deleteAll", "readAll", "containsKey"}) {
      FlutterError e = Err(method, bad);
      EXPECT_EQ(e.code, "Invalid Arguments") << method << " " << bad.DebugString();
      EXPECT_EQ(e.details, Value());
    }
  }
  EXPECT_EQ(keychain_->copies + keychain_->adds + keychain_->updates + keychain_->deletes, 0);
  // Where arguments are not used, they do not matter.
  EXPECT_EQ(Ok("isProtectedDataAvailable", Value(ValueList{})), Value(true));
  // Options sent as a list count as none.
  EXPECT_EQ(Ok("write", Value(ValueMap{{"key", "k"}, {"value", "v"}, {"options", ValueList{}}})),
            Value());
  EXPECT_EQ(Ok("read", Value(ValueMap{{"key", "k"}})), Value("v"));
}

TEST_F(PluginTest, KeychainStatusesBecomeErrors) {
  keychain_->copy_statuses = {errSecInteractionNotAllowed};
  EXPECT_EQ(Err("read", Value(Args("k"))),
            SecurityError(-25308, "Code: -25308, Message: User interaction is not allowed."));
  keychain_->copy_statuses = {-12345};
  EXPECT_EQ(Err("readAll", Value(Args(std::nullopt))),
            SecurityError(-12345, "Unknown security result code: -12345"));
  keychain_->delete_statuses = {-12345, -12345};
  EXPECT_EQ(Err("deleteAll", Value(Args(std::nullopt))),
            SecurityError(-12345, "Unknown security result code: -12345"));

  // The presence test answers with the text alone.
  keychain_->copy_statuses = {errSecInteractionNotAllowed};
  EXPECT_EQ(Err("containsKey", Value(Args("k"))),
            SecurityError(-25308, "User interaction is not allowed."));
  keychain_->copy_statuses = {-12345};
  EXPECT_EQ(Err("containsKey", Value(Args("k"))),
            SecurityError(-12345, "Unknown security result code: -12345"));

  // A refused record is status -50 like any other.
  ValueMap contradiction{{"isHidden", "true"}, {"isPlaceholder", "true"}};
  const std::string param = "One or more parameters passed to a function were not valid.";
  EXPECT_EQ(Err("write", Value(Args("k", contradiction, "v"))),
            SecurityError(-50, "Code: -50, Message: " + param));
  EXPECT_EQ(Err("containsKey", Value(Args("k", contradiction))), SecurityError(-50, param));
  EXPECT_EQ(Err("read", Value(Args("k", {{"persistentReference", "true"}}))),
            SecurityError(-50, "Code: -50, Message: " + param));
  EXPECT_TRUE(fake_->Items().empty());

  // A refused access control is printed, and the value still stored.
  EXPECT_EQ(Ok("write", Value(Args("k",
                                   {{"accessibility", "passcode"},
                                    {"accessControlFlags", "[userPresence, or, and]"}},
                                   "v"))),
            Value());
  EXPECT_FALSE(printed_.empty());
  for (const std::string& line : printed_) {
    EXPECT_TRUE(line.starts_with("Error creating access control: ")) << line;
  }
}

// The real keychain on a disk that fills up: a write is answered with the
// keychain's status, never success, and the value stored before stays.
TEST_F(PluginTest, AFailedKeychainWriteIsAnErrorAndKeepsTheOldValue) {
  FaultVfs::Install();
  std::string error;
  std::shared_ptr<Keychain> disk = OpenKeychainAt(dir_.path() + "/keychain", &error);
  ASSERT_NE(disk, nullptr) << error;
  plugin_ = FlutterSecureStorageDarwinPlugin::RegisterWith(&registrar_, disk, enclave_, monitor_);
  const ValueMap svc{{"accountName", "svc"}};
  ASSERT_EQ(Ok("write", Value(Args("token", svc, "old"))), Value());

  FaultVfs::Arm(SqliteFault::kFullDisk, 1);
  const FlutterError update = Err("write", Value(Args("token", svc, "new")));
  const FlutterError add = Err("write", Value(Args("fresh", svc, "v")));
  FaultVfs::Disarm();
  EXPECT_TRUE(FaultVfs::Fired());
  for (const FlutterError& e : {update, add}) {
    EXPECT_EQ(e.code, "Unexpected security result code");
    ASSERT_TRUE(e.details.is_int()) << e.details.DebugString();
    EXPECT_NE(e.details, Value(int64_t{0}));
    EXPECT_TRUE(e.message && e.message->starts_with("Code: ")) << e.message.value_or("none");
  }
  EXPECT_EQ(Ok("read", Value(Args("token", svc))), Value("old"));
  EXPECT_EQ(Ok("read", Value(Args("fresh", svc))), Value());
}

TEST_F(PluginTest, WorkRunsOnTheSerialQueueInOrderAndRepliesOnTheMainQueue) {
  class QueueCheckingKeychain : public ForwardingKeychain {
   public:
    QueueCheckingKeychain(Keychain* target, std::shared_ptr<Queue> main)
        : ForwardingKeychain(target), main_(std::move(main)) {}
    OSStatus CopyMatching(const SecDictionary& q, SecResult* r) override {
      EXPECT_FALSE(main_->IsCurrent());
      return ForwardingKeychain::CopyMatching(q, r);
    }
    OSStatus Add(const SecDictionary& a) override {
      EXPECT_FALSE(main_->IsCurrent());
      return ForwardingKeychain::Add(a);
    }

   private:
    std::shared_ptr<Queue> main_;
  };
  testing::TestRegistrar registrar(&messenger_, &dispatch_);
  FlutterSecureStorageDarwinPlugin::RegisterWith(
      &registrar, std::make_shared<QueueCheckingKeychain>(fake_.get(), dispatch_.MainQueue()),
      enclave_, monitor_);

  // Three calls sent at once: nothing is answered until the queues run,
  // then each in order of arrival.
  Reply write, read, unknown;
  Send("write", Value(Args("k", {}, "v")), &write);
  Send("read", Value(Args("k")), &read);
  Send("unknown", Value(), &unknown);
  EXPECT_FALSE(write.answered || read.answered || unknown.answered);
  dispatch_.RunUntilIdle();
  EXPECT_TRUE(write.answered);
  EXPECT_EQ(read.value, Value("v"));
  EXPECT_FALSE(unknown.answered);
}

TEST_F(PluginTest, EnclaveValuesAndTheirKeyThroughTheChannel) {
  const ValueMap enclave{{"accountName", "svc"}, {"useSecureEnclave", "true"}};
  EXPECT_EQ(Ok("write", Value(Args("k", enclave, "secreto"))), Value());
  EXPECT_EQ(Ok("read", Value(Args("k", enclave))), Value("secreto"));
  EXPECT_EQ(Ok("read", Value(Args("k", {{"accountName", "svc"}}))).is_string(), false);
  EXPECT_EQ(Ok("readAll", Value(Args(std::nullopt, enclave))), Value(ValueMap{{"k", "secreto"}}));
  SecPrivateKeyRef key;
  ASSERT_EQ(enclave_->CopyKey(FlutterSecureStorage::enclaveKeyTag("svc"), &key), errSecSuccess);

  // deleteAll without the flag leaves the key; with it, the key goes too.
  EXPECT_EQ(Ok("deleteAll", Value(Args(std::nullopt, {{"accountName", "svc"}}))), Value());
  EXPECT_TRUE(fake_->Items().empty());
  EXPECT_EQ(enclave_->CopyKey(FlutterSecureStorage::enclaveKeyTag("svc"), &key), errSecSuccess);
  EXPECT_EQ(Ok("deleteAll", Value(Args(std::nullopt, enclave))), Value());
  EXPECT_EQ(enclave_->CopyKey(FlutterSecureStorage::enclaveKeyTag("svc"), &key),
            errSecItemNotFound);
}

TEST_F(PluginTest, ProtectedDataEventsGoToTheListener) {
  monitor_->SetAvailable(false);  // nobody listens
  dispatch_.RunUntilIdle();
  EXPECT_EQ(Ok("isProtectedDataAvailable", Value()), Value(false));
  Stream("listen");
  EXPECT_TRUE(Events().empty());  // nothing at listen
  monitor_->SetAvailable(true);
  monitor_->SetAvailable(false);
  dispatch_.RunUntilIdle();
  EXPECT_EQ(Events(), (std::vector<Value>{Value(true), Value(false)}));
  Stream("cancel");
  monitor_->SetAvailable(true);
  dispatch_.RunUntilIdle();
  EXPECT_EQ(Events().size(), 2u);
  EXPECT_EQ(Ok("isProtectedDataAvailable", Value()), Value(true));

  // The engine goes: the monitor stops.
  EXPECT_TRUE(monitor_->running());
  registrar_.published.clear();
  EXPECT_FALSE(monitor_->running());
}

TEST_F(PluginTest, OnlyTheLatestSinkGetsEvents) {
  class RecordingSink : public EventSink {
   public:
    void Success(const Value& event) override { events.push_back(event); }
    void Error(const FlutterError&) override {}
    void EndOfStream() override {}
    std::vector<Value> events;
  };
  auto first = std::make_shared<RecordingSink>();
  auto second = std::make_shared<RecordingSink>();
  EXPECT_EQ(plugin_->OnListen(Value(), first), std::nullopt);
  EXPECT_EQ(plugin_->OnListen(Value(), second), std::nullopt);
  plugin_->applicationProtectedDataWillBecomeUnavailable();
  plugin_->applicationProtectedDataDidBecomeAvailable();
  EXPECT_TRUE(first->events.empty());
  EXPECT_EQ(second->events, (std::vector<Value>{Value(false), Value(true)}));
  EXPECT_EQ(plugin_->OnCancel(Value()), std::nullopt);
  plugin_->applicationProtectedDataWillBecomeUnavailable();
  EXPECT_EQ(second->events.size(), 2u);
}

TEST_F(PluginTest, AnUnavailableKeychainAnswersEveryKeychainCallWithAnError) {
  testing::TestRegistrar registrar(&messenger_, &dispatch_);
  FlutterSecureStorageDarwinPlugin::RegisterWith(
      &registrar, MakeUnavailableKeychain(), MakeUnavailableEnclave("cannot open"), monitor_);
  const Value args(Args("k", {{"useSecureEnclave", "true"}}, "v"));
  for (const char* method : {"read", "write", "delete", "deleteAll", "readAll", "containsKey"}) {
    FlutterError error = Err(method, args);
    EXPECT_EQ(error.code, "Unexpected security result code") << method;
    EXPECT_NE(error.details, Value(0)) << method;
  }
  EXPECT_EQ(Ok("isProtectedDataAvailable", args), Value(true));
}

TEST_F(PluginTest, WhileTheSessionIsLockedOnlyFirstUnlockItemsCanBeUsed) {
  const std::vector<std::optional<std::string>> needs_unlock = {
      "unlocked", "unlocked_this_device", "passcode", "no_such_class", std::nullopt};
  const std::vector<std::string> first_unlock = {"first_unlock", "first_unlock_this_device"};
  auto options = [](const std::optional<std::string>& accessibility) {
    ValueMap o{{"accountName", "svc"}};
    if (accessibility) o.set("accessibility", *accessibility);
    return o;
  };
  auto key = [](const std::optional<std::string>& accessibility) {
    return "k." + accessibility.value_or("none");
  };
  const ValueMap enclave{{"accountName", "svc"}, {"useSecureEnclave", "true"}};
  for (const auto& a : needs_unlock) Ok("write", Value(Args(key(a), options(a), "v")));
  for (const auto& a : first_unlock) Ok("write", Value(Args(key(a), options(a), "v")));
  Ok("write", Value(Args("sealed", enclave, "v")));

  monitor_->SetAvailable(false);
  dispatch_.RunUntilIdle();
  const FlutterError locked = SecurityError(
      errSecInteractionNotAllowed,
      "Code: -25308, Message: " + *SecCopyErrorMessageString(errSecInteractionNotAllowed));
  for (const auto& a : needs_unlock) {
    SCOPED_TRACE(key(a));
    EXPECT_EQ(Err("read", Value(Args(key(a), options(a)))), locked);
    // Read without naming the class: the item's own class decides.
    EXPECT_EQ(Err("read", Value(Args(key(a), options(std::nullopt)))), locked);
    EXPECT_EQ(Err("write", Value(Args(key(a), options(a), "w"))), locked);
    EXPECT_EQ(Err("write", Value(Args(key(a) + ".new", options(a), "w"))), locked);
    EXPECT_EQ(Ok("containsKey", Value(Args(key(a), options(a)))), Value(true));
  }
  for (const auto& a : first_unlock) {
    SCOPED_TRACE(a);
    EXPECT_EQ(Ok("write", Value(Args(key(a), options(a), "w"))), Value());
    EXPECT_EQ(Ok("read", Value(Args(key(a), options(a)))), Value("w"));
    EXPECT_EQ(Ok("write", Value(Args(key(a) + ".new", options(a), "n"))), Value());
  }
  EXPECT_EQ(Err("read", Value(Args("sealed", enclave))), locked);
  EXPECT_EQ(Err("write", Value(Args("sealed", enclave, "w"))), locked);
  EXPECT_EQ(Err("readAll", Value(Args(std::nullopt, {{"accountName", "svc"}}))), locked);

  // Nothing was lost by the refused writes; unlocked, everything reads.
  monitor_->SetAvailable(true);
  dispatch_.RunUntilIdle();
  for (const auto& a : needs_unlock) {
    EXPECT_EQ(Ok("read", Value(Args(key(a), options(a)))), Value("v")) << key(a);
  }
  EXPECT_EQ(Ok("read", Value(Args("sealed", enclave))), Value("v"));
  SecPrivateKeyRef key_ref;
  EXPECT_EQ(enclave_->CopyKey(FlutterSecureStorage::enclaveKeyTag("svc"), &key_ref),
            errSecSuccess);
}

}  // namespace
}  // namespace kelvo
