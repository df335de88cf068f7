// kelvoctl end to end: the binary against an engine socket server and a
// stand-in tunnel control socket served by this test process, and against
// an App Group store in a temporary root. Sockets are found through
// XDG_RUNTIME_DIR, so the default paths are what is exercised.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "cli/child_process_test_util.h"
#include "cli/json_value.h"
#include "platform/defaults/user_defaults.h"
#include "platform/dispatch/asio_dispatch.h"
#include "platform/engine/channels.h"
#include "platform/engine/engine_socket.h"
#include "platform/engine/engine_socket_test_util.h"
#include "platform/engine/typed_messages.h"
#include "platform/tunnels/tunnel_manager.h"
#include "tunnel/app_group_settings.h"

namespace kelvo {
namespace {

using namespace std::chrono_literals;
using testing::ChildOutcome;
using testing::ChildProcess;
using testing::TempDir;

constexpr auto kProcessLimit = 30s;
const std::string kReport =
    "APPGROUP suite=ok wd_enabled=1 base=NIL token=SET timer=true conf=NIL body=[NIL] | "
    "#12 tick → leyendo handshake… | #13 tick OK";

Payload Bytes(const std::string& s) { return Payload(std::in_place, s.begin(), s.end()); }

// What the host and the extension stand-ins saw, shared with their handlers.
struct Seen {
  std::mutex mu;
  std::condition_variable cv;
  int cancels = 0;
  Value listen_arguments;
  Value typed_arguments;
  std::optional<std::string> started_cfg;
  std::optional<Value> stop_reason;
  std::vector<std::shared_ptr<MethodResult>> held;  // never answered
  std::shared_ptr<EventSink> sink;                  // an open stream
  Payload stats_reply = Bytes("listen_port=51820\nlast_handshake_time_sec=1700000000\n");
};

// Events per the listen arguments {"count", "end", "error", "refuse"}.
class TestStream : public StreamHandler {
 public:
  explicit TestStream(Seen* seen) : seen_(seen) {}
  std::optional<FlutterError> OnListen(const Value& args,
                                       std::shared_ptr<EventSink> sink) override {
    {
      std::lock_guard lock(seen_->mu);
      seen_->listen_arguments = args;
      seen_->sink = sink;
      seen_->cv.notify_all();
    }
    auto flag = [&](const char* key) {
      const Value* v = args.find(key);
      return v != nullptr && v->is_bool() && v->as_bool();
    };
    if (flag("refuse")) return FlutterError{"NOPE", "not now", Value()};
    const Value* count = args.find("count");
    for (int64_t i = 0; count != nullptr && count->is_int() && i < count->as_int(); ++i) {
      sink->Success(Value(ValueMap{{"n", Value(i)}, {"x", Value(0.5 * double(i))}}));
    }
    if (flag("error")) sink->Error({"STREAM_BROKE", "lost the feed", Value(7)});
    if (flag("end")) sink->EndOfStream();
    return std::nullopt;
  }
  std::optional<FlutterError> OnCancel(const Value&) override {
    std::lock_guard lock(seen_->mu);
    ++seen_->cancels;
    seen_->sink.reset();
    seen_->cv.notify_all();
    return std::nullopt;
  }

 private:
  Seen* seen_;
};

class KelvoctlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    app_group_root_ = dir_.path() + "/app-groups";
    std::filesystem::create_directories(app_group_root_);
    queue_ = dispatch_.CreateSerialQueue("test-host");
    engine_ =
        std::make_unique<EngineSocketServer>(dir_.path() + "/kelvo/engine.sock", queue_, nullptr);
    control_ =
        std::make_unique<EngineSocketServer>(dir_.path() + "/kelvo/tunnel.sock", queue_, nullptr);
    ServeHost();
    ServeExtension();
    ASSERT_EQ(engine_->Start(), std::nullopt);
    ASSERT_EQ(control_->Start(), std::nullopt);
  }

  void TearDown() override {
    engine_->Stop();
    control_->Stop();
  }

  void ServeHost() {
    methods_ = std::make_unique<MethodChannel>(engine_.get(), "test/methods");
    methods_->SetMethodCallHandler(
        [this](const MethodCall& call, std::shared_ptr<MethodResult> result) {
          if (call.method == "echo") {
            result->Success(call.arguments);
          } else if (call.method == "fail") {
            result->Error("BAD_ARGS", "key requerida", Value(ValueList{Value(1)}));
          } else if (call.method == "slow") {
            std::lock_guard lock(seen_.mu);
            seen_.held.push_back(result);
          } else {
            result->NotImplemented();
          }
        });
    typed_echo_ = std::make_unique<BasicMessageChannel>(
        engine_.get(), TypedChannelName("kelvo_test", "TestApi", "echo"));
    SetTypedHandler(*typed_echo_, [this](const ValueList& args) {
      std::lock_guard lock(seen_.mu);
      seen_.typed_arguments = Value(args);
      return args.empty() ? Value() : args[0];
    });
    typed_fail_ = std::make_unique<BasicMessageChannel>(
        engine_.get(), TypedChannelName("kelvo_test", "TestApi", "fail"));
    SetTypedHandler(*typed_fail_, [](const ValueList&) -> Value {
      throw FlutterErrorException({"channel-error", "went wrong", Value("why")});
    });
    raw_ = std::make_unique<BasicMessageChannel>(engine_.get(), "test/raw");
    raw_->SetMessageHandler([](const Value& message, MessageReply reply) { reply(message); });
    events_ = std::make_unique<EventChannel>(engine_.get(), "test/events");
    events_->SetStreamHandler(std::make_shared<TestStream>(&seen_));
  }

  void ServeExtension() {
    const auto& codec = StandardCodec::Instance();
    control_->SetMessageHandler(
        "status", [&codec](Payload, BinaryReply reply) { reply(codec.Encode(Value(3))); });
    control_->SetMessageHandler("startTunnel", [this, &codec](Payload data, BinaryReply reply) {
      auto options = codec.Decode(data.value_or(std::vector<uint8_t>()));
      const Value* cfg = options.ok() ? options.value().find("cfg") : nullptr;
      std::lock_guard lock(seen_.mu);
      if (cfg != nullptr && cfg->is_string() && cfg->as_string().find("[Interface]") == 0) {
        seen_.started_cfg = cfg->as_string();
        reply(codec.Encode(Value()));
      } else {
        reply(codec.Encode(Value(ValueList{Value("Drimo.PacketTunnelProvider"), Value(-1),
                                           Value("configuración inválida")})));
      }
    });
    control_->SetMessageHandler("stopTunnel", [this, &codec](Payload data, BinaryReply reply) {
      std::lock_guard lock(seen_.mu);
      auto reason = codec.Decode(data.value_or(std::vector<uint8_t>()));
      if (reason.ok()) seen_.stop_reason = reason.value();
      reply(codec.Encode(Value()));
    });
    control_->SetMessageHandler("handleAppMessage", [this](Payload data, BinaryReply reply) {
      if (!data || data->size() != 1) return reply(std::nullopt);
      switch ((*data)[0]) {
        case 0x00: {
          std::lock_guard lock(seen_.mu);
          return reply(seen_.stats_reply);
        }
        case 0x01:
          return reply(Bytes("pong"));
        case 0x02:
          return reply(Bytes(kReport));
        default:
          return reply(std::nullopt);
      }
    });
  }

  std::map<std::string, std::string> Env() const {
    return {{"XDG_RUNTIME_DIR", dir_.path()}, {"KELVO_APP_GROUP_ROOT", app_group_root_}};
  }

  ChildOutcome Run(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), KELVOCTL_BINARY);
    ChildProcess child(args, Env(), input);
    return child.Finish(kProcessLimit);
  }

  std::unique_ptr<ChildProcess> Start(std::vector<std::string> args) {
    args.insert(args.begin(), KELVOCTL_BINARY);
    return std::make_unique<ChildProcess>(args, Env(), "");
  }

  // Sends an event on the open stream once there is one.
  bool SendWhenListening(const Value& event) {
    std::unique_lock lock(seen_.mu);
    if (!seen_.cv.wait_for(lock, 10s, [&] { return seen_.sink != nullptr; })) return false;
    seen_.sink->Success(event);
    return true;
  }

  // Reads or changes what the stand-ins saw, under their lock.
  template <typename F>
  auto WithSeen(F f) {
    std::lock_guard lock(seen_.mu);
    return f(seen_);
  }

  bool WaitForCancels(int n) {
    std::unique_lock lock(seen_.mu);
    return seen_.cv.wait_for(lock, 10s, [&] { return seen_.cancels >= n; });
  }

  std::string WriteFile(const std::string& name, const std::string& text) {
    std::string path = dir_.path() + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  TempDir dir_;
  std::string app_group_root_;
  AsioDispatch dispatch_{2};
  std::shared_ptr<Queue> queue_;
  Seen seen_;
  std::unique_ptr<EngineSocketServer> engine_;
  std::unique_ptr<EngineSocketServer> control_;
  std::unique_ptr<MethodChannel> methods_;
  std::unique_ptr<BasicMessageChannel> typed_echo_, typed_fail_, raw_;
  std::unique_ptr<EventChannel> events_;
};

const std::string kRichJson =
    R"({"i":3,"d":3.0,"neg":-0.0,"s":"túnel → ok…","b":{"$bytes":"AAH+/w=="},)"
    R"("l32":{"$int32":[1,-2]},"l64":{"$int64":[9223372036854775807]},)"
    R"("f32":{"$float32":[0.1,"NaN"]},"f64":{"$float64":[1e+300,"-Infinity"]},)"
    R"("m":{"$map":[[1,"one"],[null,[true,false]]]},"c":{"$custom":131,"value":["x"]},)"
    R"("inf":{"$double":"Infinity"},"list":[null,[],{}]})";

TEST_F(KelvoctlTest, CallPrintsTheResultOrSaysWhatFailedInItsExitCode) {
  // Every type goes to the host and comes back as the same text.
  ChildOutcome r = Run({"call", "test/methods", "echo", kRichJson});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, kRichJson + "\n");

  r = Run({"call", "test/methods", "echo"});
  EXPECT_EQ(r.out, "null\n");
  r = Run({"call", "test/methods", "echo", "-"}, "[1, 2.5]");
  EXPECT_EQ(r.out, "[1,2.5]\n");
  r = Run({"call", "test/methods", "echo", "--", "-5"});
  EXPECT_EQ(r.out, "-5\n") << r.err;

  r = Run({"call", "test/methods", "fail"});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.out, R"({"code":"BAD_ARGS","message":"key requerida","details":[1]})"
                   "\n");
  EXPECT_NE(r.err.find("BAD_ARGS: key requerida"), std::string::npos) << r.err;

  EXPECT_EQ(Run({"call", "test/methods", "unknown"}).exit_code, 4);
  EXPECT_EQ(Run({"call", "test/nobody", "echo"}).exit_code, 4);

  r = Run({"call", "test/methods", "echo", R"({"$int32":[1.5]})"});
  EXPECT_EQ(r.exit_code, 5);
  EXPECT_NE(r.err.find("at /$int32/0: expected an integer"), std::string::npos) << r.err;
  EXPECT_EQ(Run({"call", "test/methods", "echo", "[1,"}).exit_code, 5);

  r = Run({"--timeout", "0.3", "call", "test/methods", "slow"});
  EXPECT_EQ(r.exit_code, 6);
  EXPECT_NE(r.err.find("no reply on 'test/methods' within 0.3 s"), std::string::npos) << r.err;

  r = Run({"call", "test/methods", "echo", "--engine-socket", dir_.path() + "/none.sock"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("cannot connect to the engine socket"), std::string::npos) << r.err;
}

TEST_F(KelvoctlTest, UsageErrorsAndHelp) {
  EXPECT_EQ(Run({}).exit_code, 1);
  EXPECT_EQ(Run({"call", "test/methods"}).exit_code, 1);
  EXPECT_EQ(Run({"bogus"}).exit_code, 1);
  EXPECT_EQ(Run({"--timeout", "0", "tunnel", "status"}).exit_code, 1);
  ChildOutcome r = Run({"message", "test/raw", "--codec", "storekit"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("unknown codec 'storekit' (known: standard)"), std::string::npos) << r.err;

  r = Run({"--help"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("6  timeout"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("$bytes"), std::string::npos);
  r = Run({"tunnel", "start", "--help"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("Usage"), std::string::npos) << r.out;
}

TEST_F(KelvoctlTest, TypedAndRawMessages) {
  const std::string echo = TypedChannelName("kelvo_test", "TestApi", "echo");
  ChildOutcome r = Run({"message", echo, R"([{"$float64":[1.5]}, 2])"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "{\"$float64\":[1.5]}\n");

  // Without arguments the request is the empty argument list.
  r = Run({"message", echo, "--codec", "standard"});
  EXPECT_EQ(r.out, "null\n");
  EXPECT_EQ(WithSeen([](Seen& s) { return s.typed_arguments; }), Value(ValueList{}));

  r = Run({"message", TypedChannelName("kelvo_test", "TestApi", "fail")});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.out, R"({"code":"channel-error","message":"went wrong","details":"why"})"
                   "\n");

  r = Run({"message", "test/raw", R"({"k":[1,2]})", "--raw"});
  EXPECT_EQ(r.out, "{\"k\":[1,2]}\n");
  // The same reply read as a typed reply is not one.
  r = Run({"message", "test/raw", R"({"k":1})"});
  EXPECT_EQ(r.exit_code, 7);
  EXPECT_NE(r.err.find("is not a typed-message reply"), std::string::npos) << r.err;
  EXPECT_EQ(Run({"message", "test/nobody"}).exit_code, 4);
}

TEST_F(KelvoctlTest, ListenPrintsEventsUntilTheStreamEndsThenCancels) {
  ChildOutcome r = Run({"listen", "test/events", R"({"count":3,"end":true})"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "{\"n\":0,\"x\":0.0}\n{\"n\":1,\"x\":0.5}\n{\"n\":2,\"x\":1.0}\n");
  EXPECT_EQ(WithSeen([](Seen& s) { return s.listen_arguments; }),
            Value(ValueMap{{"count", Value(3)}, {"end", Value(true)}}));

  // --count stops an open stream and cancels it.
  r = Run({"listen", "test/events", R"({"count":5})", "--count", "2"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "{\"n\":0,\"x\":0.0}\n{\"n\":1,\"x\":0.5}\n");
  EXPECT_TRUE(WaitForCancels(1));

  r = Run({"listen", "test/events", R"({"count":1,"error":true,"end":true})"});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.out, "{\"n\":0,\"x\":0.0}\n");
  EXPECT_NE(r.err.find(R"("code":"STREAM_BROKE")"), std::string::npos) << r.err;

  r = Run({"listen", "test/events", R"({"refuse":true})"});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_NE(r.out.find("NOPE"), std::string::npos);
  EXPECT_EQ(Run({"listen", "test/nobody"}).exit_code, 4);
}

TEST_F(KelvoctlTest, InterruptedListenCancelsAndALostHostIsAConnectionFailure) {
  auto child = Start({"listen", "test/events", R"({"count":1})"});
  ASSERT_TRUE(child->WaitForLines(1, 10s));
  child->Signal(SIGINT);
  ChildOutcome r = child->Finish(kProcessLimit);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "{\"n\":0,\"x\":0.0}\n");
  // It waited for the answer to its cancel.
  EXPECT_EQ(WithSeen([](Seen& s) { return s.cancels; }), 1);

  // A reader that goes away (| head -1) ends the listen, with a cancel.
  child = Start({"listen", "test/events"});
  ASSERT_TRUE(SendWhenListening(Value("first")));
  ASSERT_TRUE(child->WaitForLines(1, 10s));
  child->CloseOutput();
  ASSERT_TRUE(SendWhenListening(Value("unread")));
  r = child->Finish(kProcessLimit);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(WaitForCancels(2));

  // Events sent later reach the listener; then the host goes away.
  child = Start({"listen", "test/events"});
  ASSERT_TRUE(SendWhenListening(Value("late")));
  ASSERT_TRUE(child->WaitForLines(1, 10s));
  engine_->Stop();
  r = child->Finish(kProcessLimit);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.out, "\"late\"\n");
}

TEST_F(KelvoctlTest, TunnelCommandsSpeakTheControlSocket) {
  const std::string conf = "[Interface]\nPrivateKey = abc\n# comentario: túnel\n";
  ChildOutcome r = Run({"tunnel", "start", "--config", WriteFile("wg.conf", conf)});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "tunnel started\n");
  EXPECT_EQ(WithSeen([](Seen& s) { return s.started_cfg; }), conf);
  r = Run({"tunnel", "start", "--config", "-"}, conf);
  EXPECT_EQ(r.out, "tunnel started\n");
  EXPECT_EQ(Run({"tunnel", "start", "--config", "-", "--json"}, conf).out, "{\"started\":true}\n");

  r = Run({"tunnel", "start", "--config", WriteFile("bad.conf", "nonsense")});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("domain:      Drimo.PacketTunnelProvider\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("code:        -1\n"), std::string::npos);
  EXPECT_NE(r.err.find("description: configuración inválida\n"), std::string::npos);
  r = Run({"tunnel", "start", "--json", "--config", dir_.path() + "/bad.conf"});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.out, R"({"error":{"domain":"Drimo.PacketTunnelProvider","code":-1,)"
                   R"("description":"configuración inválida"}})"
                   "\n");
  EXPECT_EQ(Run({"tunnel", "start", "--config", dir_.path() + "/missing.conf"}).exit_code, 8);

  r = Run({"tunnel", "stop"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "tunnel stopped\n");
  EXPECT_EQ(WithSeen([](Seen& s) { return s.stop_reason; }), Value(1));

  // The newest handshake's age stands next to the state (the extension
  // here reports one from 2023).
  r = Run({"tunnel", "status"});
  EXPECT_EQ(r.out.rfind("connected (3), newest handshake ", 0), 0u) << r.out;
  const int64_t age = std::atoll(r.out.c_str() + std::strlen("connected (3), newest handshake "));
  EXPECT_GT(age, 90'000'000);
  EXPECT_EQ(r.out.substr(r.out.size() - 7), " s ago\n");
  r = Run({"tunnel", "status", "--json"});
  EXPECT_EQ(r.out.rfind(R"({"status":"connected","code":3,"reachable":true,"handshake_age_sec":)"),
            0u) << r.out;

  EXPECT_EQ(Run({"tunnel", "stats"}).out,
            "listen_port=51820\nlast_handshake_time_sec=1700000000\n");
  EXPECT_EQ(Run({"tunnel", "ping"}).out, "pong\n");
  EXPECT_EQ(Run({"tunnel", "debug"}).out,
            "APPGROUP suite=ok wd_enabled=1 base=NIL token=SET timer=true conf=NIL body=[NIL]\n"
            "#12 tick → leyendo handshake…\n#13 tick OK\n");
  r = Run({"tunnel", "debug", "--json"});
  auto parsed = ParseJsonValue(r.out);
  ASSERT_TRUE(parsed.ok()) << r.out;
  const Value* segments = parsed.value().find("segments");
  ASSERT_TRUE(segments != nullptr && segments->is_list());
  EXPECT_EQ(segments->as_list().size(), 3u);

  EXPECT_EQ(Run({"tunnel", "ping", "--json"}).out, "{\"reply\":\"pong\"}\n");

  // An adapter with no runtime configuration: the extension sends nothing.
  WithSeen([](Seen& s) { s.stats_reply = std::nullopt; });
  EXPECT_EQ(Run({"tunnel", "stats"}).exit_code, 4);
  WithSeen([](Seen& s) { s.stats_reply = Payload(std::in_place); });
  EXPECT_EQ(Run({"tunnel", "stats"}).exit_code, 4);

  // No extension serving: status says disconnected, the others fail.
  control_->Stop();
  r = Run({"tunnel", "status", "--json"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, R"({"status":"disconnected","code":1,"reachable":false})"
                   "\n");
  EXPECT_EQ(Run({"tunnel", "status"}).out, "disconnected (1)\n");
  EXPECT_EQ(Run({"tunnel", "ping"}).exit_code, 2);
}

TEST_F(KelvoctlTest, FindsTheTunnelThroughTheProfilesAsTheHostDoes) {
  const std::string socket = dir_.path() + "/kelvo/tunnel.sock";
  const std::string profiles = app_group_root_ + "/group.net.kelvo.app/tunnels";
  std::filesystem::create_directories(profiles);
  // Nothing active: the first profile, even one whose extension is gone.
  ASSERT_FALSE(WriteTunnelProfile(profiles, "a.json", {"gone", dir_.path() + "/gone.sock", ""}));
  ChildOutcome r = Run({"tunnel", "ping"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find(dir_.path() + "/gone.sock"), std::string::npos) << r.err;
  // The connected one wins over an earlier one that is not.
  ASSERT_FALSE(WriteTunnelProfile(profiles, "b.json", {"Kelvo", socket, ""}));
  r = Run({"tunnel", "ping"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "pong\n");
}

TEST_F(KelvoctlTest, ARefusedSocketIsAnErrorThatSaysWhyNeverAState) {
  if (::geteuid() == 0) GTEST_SKIP() << "root is never refused by permissions";
  const std::string socket = dir_.path() + "/kelvo/tunnel.sock";
  ASSERT_EQ(::chmod(socket.c_str(), 0), 0);
  for (const char* command : {"status", "ping", "stop"}) {
    ChildOutcome r = Run({"tunnel", command});
    EXPECT_EQ(r.exit_code, 2) << command;
    EXPECT_EQ(r.out, "") << command;
    EXPECT_NE(r.err.find("permission denied on " + socket + " (owner "), std::string::npos)
        << r.err;
  }
  ::chmod(socket.c_str(), 0600);
}

TEST_F(KelvoctlTest, SettingsWorkOnTheAppGroupStore) {
  EXPECT_EQ(Run({"settings", "get", "wd_enabled"}).out, "null\n");
  ChildOutcome r = Run({"settings", "set", "wd_enabled", "1"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Run({"settings", "get", "wd_enabled"}).out, "\"1\"\n");
  EXPECT_EQ(Run({"settings", "set", "wd_notif_body", "El túnel no responde…"}).exit_code, 0);

  // What kelvoctl wrote is what the extension's settings read.
  DefaultsConfig config = DefaultsConfig::FromEnvironment();
  config.app_group_root = app_group_root_;
  auto system = OpenUserDefaultsSystem(config);
  auto settings = MakeAppGroupSettings(system.get());
  EXPECT_TRUE(settings->Flag("wd_enabled"));
  EXPECT_EQ(settings->ReadString("wd_notif_body"), "El túnel no responde…");

  // A value that is not a string is shown in its JSON form.
  system->Suite(kAppGroupId)->Set("odd", Value(Value::Bytes{1, 2}));
  EXPECT_EQ(Run({"settings", "get", "odd"}).out, "{\"$bytes\":\"AQI=\"}\n");

  EXPECT_EQ(Run({"settings", "remove", "wd_enabled"}).exit_code, 0);
  EXPECT_EQ(Run({"settings", "get", "wd_enabled"}).out, "null\n");
  EXPECT_EQ(settings->ReadString("wd_enabled"), std::nullopt);

  std::filesystem::remove_all(app_group_root_);
  r = Run({"settings", "get", "wd_enabled"});
  EXPECT_EQ(r.exit_code, 8);
  EXPECT_NE(r.err.find("does not open"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace kelvo
