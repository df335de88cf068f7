// The engine socket across two processes: this test's clients against the
// echo server program (engine_socket_echo_server.cc) on a real socket.
#include "platform/engine/engine_socket.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <algorithm>
#include <cmath>
#include <future>
#include <mutex>
#include <thread>

#include "platform/engine/engine_socket_test_util.h"
#include "platform/engine/frame.h"
#include "platform/engine/standard_codec.h"

extern char** environ;

namespace kelvo {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using testing::RawConnection;
using testing::RawListener;
using testing::TempDir;

constexpr Duration kCallLimit = std::chrono::seconds(10);

Payload Text(const std::string& s) { return Payload(std::in_place, s.begin(), s.end()); }

// The echo server in its own process, stopped with SIGTERM at the end.
class EchoServer {
 public:
  explicit EchoServer(const std::string& socket_path) : path_(socket_path) {
    std::string program = KELVO_ECHO_SERVER;
    std::vector<std::string> args = {program, "--engine-socket", path_};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
  }
  ~EchoServer() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    // A clean stop: no crash, no sanitizer report.
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }

  // Waits (bounded) until the server answers on its socket.
  bool WaitReady() {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      EngineSocketClient probe;
      if (!probe.Connect(path_)) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

 private:
  std::string path_;
  pid_t pid_ = -1;
};

class EngineSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    path_ = dir_.path() + "/run/kelvo/engine.sock";
    server_ = std::make_unique<EchoServer>(path_);
    ASSERT_TRUE(server_->WaitReady()) << "echo server did not come up at " << path_;
  }

  std::unique_ptr<EngineSocketClient> Connected() {
    auto client = std::make_unique<EngineSocketClient>();
    auto error = client->Connect(path_);
    EXPECT_FALSE(error) << *error;
    return client;
  }

  // The server's count of open connections once it is `expected`, or the
  // last count after about a second: a close reaches the server a moment
  // after the peer makes it (WaitReady's probe too).
  int OpenConnections(EngineSocketClient& client, int expected) {
    int count = -1;
    for (int i = 0; i < 500; ++i) {
      auto r = client.SendAndWait("test/count", std::nullopt, kCallLimit);
      count = r.ok() && r.reply ? std::stoi(std::string(r.reply->begin(), r.reply->end())) : -1;
      if (count == expected) break;
      std::this_thread::sleep_for(2ms);
    }
    return count;
  }

  TempDir dir_;
  std::string path_;
  std::unique_ptr<EchoServer> server_;
};

// A frame as a foreign client builds it: the codec's list behind its length.
Bytes FrameOf(ValueList items) {
  Bytes body = StandardCodec::Instance().Encode(Value(std::move(items)));
  Bytes out(4 + body.size());
  const uint32_t n = static_cast<uint32_t>(body.size());
  std::memcpy(out.data(), &n, 4);
  std::copy(body.begin(), body.end(), out.begin() + 4);
  return out;
}

Value RichValue() {
  ValueMap inner{{Value("k"), Value(Bytes{1, 2, 3})}, {Value(7), Value(-0.0)}};
  return Value(ValueList{
      Value(), Value(true), Value(false), Value(42), Value(int64_t{1} << 40), Value(2.5),
      Value(std::nan("")), Value("héllo → ✓"), Value(Bytes{}), Value(Value::Int32List{1, -2}),
      Value(Value::Int64List{int64_t{1} << 50}), Value(Value::Float32List{1.5f}),
      Value(Value::Float64List{0.1, -3.0}), Value(ValueList{}), Value(std::move(inner)),
      Value::Custom(200, Value(ValueList{Value(1)})), Value(std::string(70000, 'x'))});
}

TEST_F(EngineSocketTest, EchoRoundTripsEveryValueTypeAndSize) {
  auto client = Connected();
  const StandardCodec& codec = StandardCodec::Instance();
  Value sent = RichValue();
  auto r = client->SendAndWait("test/echo", codec.Encode(sent), kCallLimit);
  ASSERT_TRUE(r.ok()) << *r.error;
  ASSERT_TRUE(r.reply);
  auto back = codec.Decode(*r.reply);
  ASSERT_TRUE(back.ok()) << back.error().message;
  EXPECT_EQ(back.value(), sent);

  // Empty, absent and many-megabyte messages (the latter spans many reads).
  r = client->SendAndWait("test/echo", Bytes{}, kCallLimit);
  EXPECT_TRUE(r.ok() && r.reply && r.reply->empty());
  r = client->SendAndWait("test/echo", std::nullopt, kCallLimit);
  EXPECT_TRUE(r.ok() && !r.reply);
  Bytes big(24 << 20);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31 + (i >> 12));
  r = client->SendAndWait("test/echo", big, kCallLimit);
  ASSERT_TRUE(r.ok()) << *r.error;
  EXPECT_TRUE(r.reply && *r.reply == big);
}

TEST_F(EngineSocketTest, ChannelsWithoutAnAnswerReplyNothing) {
  auto client = Connected();
  // No handler at all.
  auto r = client->SendAndWait("no/such/channel", Text("x"), kCallLimit);
  ASSERT_TRUE(r.ok()) << *r.error;
  EXPECT_FALSE(r.reply);
  // A handler that dropped its reply.
  r = client->SendAndWait("test/drop", Text("x"), kCallLimit);
  ASSERT_TRUE(r.ok()) << *r.error;
  EXPECT_FALSE(r.reply);
  // A handler that holds it: the wait gives up, the connection stays usable.
  r = client->SendAndWait("test/hold", Text("x"), Duration(50ms));
  ASSERT_FALSE(r.ok());
  EXPECT_NE(r.error->find("no reply on 'test/hold'"), std::string::npos) << *r.error;
  r = client->SendAndWait("test/echo", Text("still"), kCallLimit);
  EXPECT_TRUE(r.ok() && r.reply == Text("still"));
}

TEST_F(EngineSocketTest, WireFormatByHand) {
  // A message built with the codec alone, as a foreign client would.
  RawConnection raw(path_);
  ASSERT_TRUE(raw.ok());
  ASSERT_TRUE(raw.Write(FrameOf({Value(0), Value(5), Value("test/echo"), Value(Bytes{1, 2})})));
  Bytes header = raw.Read(4, 5s);
  ASSERT_EQ(header.size(), 4u);
  uint32_t n = 0;
  std::memcpy(&n, header.data(), 4);
  Bytes reply_body = raw.Read(n, 5s);
  ASSERT_EQ(reply_body.size(), n);
  auto reply = StandardCodec::Instance().Decode(reply_body);
  ASSERT_TRUE(reply.ok());
  const ValueList& items = reply.value().as_list();
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(items[0], Value(1));
  EXPECT_EQ(items[1], Value(5));
  EXPECT_EQ(items[3], Value(Bytes{1, 2}));
}

TEST_F(EngineSocketTest, ServerMessagesGoToTheLastSenderOnTheChannel) {
  auto a = Connected();
  auto b = Connected();
  std::mutex mu;
  std::vector<std::string> seen;  // "<client>:<channel>:<message>"
  std::vector<std::thread> repliers;
  auto install = [&](EngineSocketClient& client, const std::string& name) {
    for (std::string channel : {"ui/ping", "ui/other"}) {
      client.SetMessageHandler(channel, [&, name, channel](Payload message, BinaryReply reply) {
        std::lock_guard lock(mu);
        seen.push_back(name + ":" + channel + ":" + std::string(message->begin(), message->end()));
        // Replies may come from any thread.
        repliers.emplace_back([reply, name] { reply(Text(name)); });
      });
    }
  };
  install(*a, "a");
  install(*b, "b");
  auto kick = [&](const std::string& channel) {
    auto r = a->SendAndWait("test/kick", Text(channel), kCallLimit);
    EXPECT_TRUE(r.ok()) << *r.error;
    return r.reply ? std::string(r.reply->begin(), r.reply->end()) : "<nothing>";
  };

  // Nobody has used "ui/other": the most recently opened connection gets it.
  EXPECT_EQ(kick("ui/other"), "b");
  // b used "ui/ping" last (the server has no handler for it, so nothing).
  auto r = b->SendAndWait("ui/ping", Text("hi"), kCallLimit);
  EXPECT_TRUE(r.ok() && !r.reply);
  EXPECT_EQ(kick("ui/ping"), "b");
  r = a->SendAndWait("ui/ping", Text("hi"), kCallLimit);
  EXPECT_EQ(kick("ui/ping"), "a");
  {
    std::lock_guard lock(mu);
    EXPECT_EQ(seen, (std::vector<std::string>{"b:ui/other:from-server", "b:ui/ping:from-server",
                                              "a:ui/ping:from-server"}));
  }
  // Once b has gone, everything goes to a.
  b->Close();
  OpenConnections(*a, 1);
  EXPECT_EQ(kick("ui/other"), "a");
  std::lock_guard lock(mu);
  for (auto& t : repliers) t.join();
}

// Waiting callers read their replies themselves: whoever reads must hand
// every other frame to its owner, a caller that gives up must not leave
// the connection unread or broken, and messages from the server met on the
// way must still reach their handler.
TEST_F(EngineSocketTest, WaitingCallersShareTheConnectionAndEachGetsItsOwnReply) {
  auto client = Connected();
  client->SetMessageHandler("ui/ping", [](Payload message, BinaryReply reply) {
    std::string body = "pong:";
    if (message) body.append(message->begin(), message->end());
    reply(Text(body));
  });
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  callers.emplace_back([&] {
    auto r = client->SendAndWait("test/hold", Text("never answered"), 300ms);
    if (r.ok() || r.error->find("no reply") == std::string::npos) ++wrong;
  });
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int n = 0; n < 150; ++n) {
        std::string text = std::to_string(t) + "-" + std::to_string(n);
        auto r = n % 25 == 0 ? client->SendAndWait("test/kick", Text("ui/ping"), kCallLimit)
                             : client->SendAndWait("test/echo", Text(text), kCallLimit);
        std::string want = n % 25 == 0 ? "pong:from-server" : text;
        if (!r.ok() || !r.reply || std::string(r.reply->begin(), r.reply->end()) != want) ++wrong;
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_TRUE(client->connected());
  EXPECT_EQ(OpenConnections(*client, 1), 1);
  auto r = client->SendAndWait("test/echo", Text("after"), kCallLimit);
  ASSERT_TRUE(r.ok() && r.reply);
  EXPECT_EQ(std::string(r.reply->begin(), r.reply->end()), "after");
}

// One frame as the peer sent it, read off a hand-made connection; an
// empty channel and kind kMessage with id 0 when none came in time.
Frame ReadFrame(RawConnection& peer) {
  Frame frame;
  Bytes header = peer.Read(kFrameHeaderSize, 5s);
  if (header.size() != kFrameHeaderSize) return frame;
  uint32_t n = 0;
  std::memcpy(&n, header.data(), sizeof n);
  Bytes body = peer.Read(n, 5s);
  std::string error;
  if (body.size() != n || !DecodeFrameBody(body, &frame, &error)) return Frame{};
  return frame;
}

Bytes Join(std::initializer_list<Frame> frames) {
  Bytes out;
  for (const Frame& f : frames) AppendFrame(f, &out);
  return out;
}

// A waiting caller reads its reply off the socket itself. Against a server
// that answers by hand: messages the server sends ahead of the reply reach
// their handler (on whichever thread read them, the client having no
// queue) and their answers go back in order; a reply cut in two around the caller's deadline
// ends the wait in time and leaves the stream intact for the next call; a
// server hanging up in the middle of a reply ends the wait at once.
TEST(EngineSocketClientTest, AWaitingCallerReadsItsReplyAmongOtherFrames) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string path = dir.path() + "/engine.sock";
  RawListener listener(path);
  ASSERT_TRUE(listener.ok());
  std::mutex mu;
  std::vector<std::string> logs;
  EngineSocketClient client(nullptr, [&](const std::string& line) {
    std::lock_guard lock(mu);
    logs.push_back(line);
  });
  std::vector<std::string> notes;  // read once the reply is in
  client.SetMessageHandler("ui/note", [&](Payload message, BinaryReply reply) {
    std::string text;
    if (message) text.assign(message->begin(), message->end());
    notes.push_back(text);
    reply(Text("seen"));
  });
  ASSERT_FALSE(client.Connect(path));
  std::unique_ptr<RawConnection> server = listener.Accept(5000ms);
  ASSERT_TRUE(server);
  auto call = [&](const char* channel, Duration limit) {
    return std::async(std::launch::async, [&client, channel, limit] {
      return client.SendAndWait(channel, Text("q"), limit);
    });
  };
  auto reply_to = [](const Frame& asked, const std::string& text) {
    return Frame{FrameKind::kReply, asked.id, asked.channel, Text(text)};
  };

  // Two messages ahead of the reply, all in one write.
  auto waiting = call("host/first", kCallLimit);
  Frame asked = ReadFrame(*server);
  ASSERT_EQ(asked.channel, "host/first");
  ASSERT_TRUE(server->Write(Join({Frame{FrameKind::kMessage, 1, "ui/note", Text("a")},
                                  Frame{FrameKind::kMessage, 2, "ui/note", Text("b")},
                                  reply_to(asked, "answer")})));
  EngineCallResult r = waiting.get();
  ASSERT_TRUE(r.ok()) << *r.error;
  EXPECT_EQ(r.reply, Text("answer"));
  EXPECT_EQ(notes, (std::vector<std::string>{"a", "b"}));
  for (int64_t id : {1, 2}) {
    Frame answer = ReadFrame(*server);
    EXPECT_EQ(answer, (Frame{FrameKind::kReply, id, "ui/note", Text("seen")}));
  }

  // Half a reply before the deadline, the rest after it.
  waiting = call("host/slow", Duration(100ms));
  asked = ReadFrame(*server);
  ASSERT_EQ(asked.channel, "host/slow");
  Bytes late = EncodeFrame(reply_to(asked, "too late"));
  const auto half = static_cast<ptrdiff_t>(late.size() / 2);
  ASSERT_TRUE(server->Write(Bytes(late.begin(), late.begin() + half)));
  r = waiting.get();
  ASSERT_FALSE(r.ok());
  EXPECT_NE(r.error->find("no reply on 'host/slow'"), std::string::npos) << *r.error;
  ASSERT_TRUE(server->Write(Bytes(late.begin() + half, late.end())));
  waiting = call("host/next", kCallLimit);
  asked = ReadFrame(*server);
  ASSERT_EQ(asked.channel, "host/next");
  ASSERT_TRUE(server->Write(EncodeFrame(reply_to(asked, "on time"))));
  r = waiting.get();
  ASSERT_TRUE(r.ok()) << *r.error;
  EXPECT_EQ(r.reply, Text("on time"));
  EXPECT_TRUE(client.connected());

  // The server goes away in the middle of the reply.
  const auto start = std::chrono::steady_clock::now();
  waiting = call("host/last", kCallLimit);
  asked = ReadFrame(*server);
  ASSERT_EQ(asked.channel, "host/last");
  Bytes cut = EncodeFrame(reply_to(asked, "never whole"));
  ASSERT_TRUE(server->Write(Bytes(cut.begin(), cut.begin() + 6)));
  server.reset();
  r = waiting.get();
  ASSERT_FALSE(r.ok());
  EXPECT_NE(r.error->find("closed before the reply on 'host/last'"), std::string::npos)
      << *r.error;
  EXPECT_LT(std::chrono::steady_clock::now() - start, kCallLimit / 2);
  EXPECT_FALSE(client.connected());
  std::lock_guard lock(mu);
  EXPECT_TRUE(std::any_of(logs.begin(), logs.end(), [](const std::string& line) {
    return line.find("closed by the peer in the middle of a frame") != std::string::npos;
  }));
}

TEST_F(EngineSocketTest, BadFramesCloseOnlyTheirConnection) {
  auto good = Connected();
  // One of each way to fail: the header alone, the body's decoding (each
  // decode error is pinned in frame_test), and a frame that decodes but
  // answers nothing.
  Value data(Bytes{1});
  struct Case {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"oversize length", {0x01, 0x00, 0x00, 0x04}},  // 64 MiB + 1, no body needed
      {"garbage", {5, 0, 0, 0, 0xde, 0xad, 0xbe, 0xef, 0x99}},
      {"channel not UTF-8", FrameOf({Value(0), Value(1), Value(std::string("te\x88st")), data})},
      {"reply to unknown id", FrameOf({Value(1), Value(424242), Value("x"), data})},
  };
  for (const Case& c : cases) {
    RawConnection bad(path_);
    ASSERT_TRUE(bad.ok()) << c.name;
    ASSERT_TRUE(bad.Write(c.bytes)) << c.name;
    EXPECT_TRUE(bad.WaitClosed(5000ms)) << c.name;
    auto r = good->SendAndWait("test/echo", Text(c.name), kCallLimit);
    EXPECT_TRUE(r.ok() && r.reply == Text(c.name)) << c.name;
  }
  EXPECT_EQ(OpenConnections(*good, 1), 1);
}

TEST_F(EngineSocketTest, ManyConcurrentConnections) {
  constexpr int kClients = 24;
  constexpr int kCalls = 40;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      EngineSocketClient client;
      if (client.Connect(path_)) return;
      for (int i = 0; i < kCalls; ++i) {
        Payload message = Text(std::to_string(c) + "/" + std::to_string(i));
        auto r = client.SendAndWait("test/echo", message, kCallLimit);
        if (r.ok() && r.reply == message) ++good;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), kClients * kCalls);
}

TEST_F(EngineSocketTest, SocketIsPrivateToItsUser) {
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string dir = dir_.path() + "/run/kelvo";
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // A peer of another user is turned away even when the file would let it
  // in. Needs root to become that other user.
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  for (std::string p : {dir_.path(), dir_.path() + "/run", dir}) ::chmod(p.c_str(), 0755);
  ::chmod(path_.c_str(), 0666);
  pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    RawConnection raw(path_);
    if (!raw.ok()) ::_exit(2);
    ::_exit(raw.WaitClosed(5000ms) ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not closed, 2: could not connect, 3: setuid failed";
  auto client = Connected();
  EXPECT_EQ(OpenConnections(*client, 1), 1);
}

}  // namespace
}  // namespace kelvo
