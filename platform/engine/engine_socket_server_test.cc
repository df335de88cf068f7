// The engine socket server in this process, its main queue in virtual time,
// a client on a real socket: start-up checks and how replies settle.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/dispatch/virtual_dispatch.h"
#include "platform/engine/engine_socket.h"
#include "platform/engine/engine_socket_test_util.h"

namespace kelvo {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;

Payload Text(const std::string& s) { return Payload(std::in_place, s.begin(), s.end()); }

class Logs {
 public:
  EngineLog logger() {
    return [this](const std::string& line) {
      std::lock_guard lock(mu_);
      lines_.push_back(line);
    };
  }
  bool Has(const std::string& part) {
    std::lock_guard lock(mu_);
    for (auto& l : lines_) {
      if (l.find(part) != std::string::npos) return true;
    }
    return false;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> lines_;
};

TEST(EngineSocketPathTest, FlagThenRuntimeDirThenRunUser) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  std::string saved_value = saved ? saved : "";
  ::setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
  EXPECT_EQ(DefaultEngineSocketPath(), "/run/user/4242/kelvo/engine.sock");
  ::setenv("XDG_RUNTIME_DIR", "relative/dir", 1);
  std::string fallback = "/run/user/" + std::to_string(::getuid()) + "/kelvo/engine.sock";
  EXPECT_EQ(DefaultEngineSocketPath(), fallback);
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(DefaultEngineSocketPath(), fallback);

  const char* split[] = {"kelvoctl", "status", "--engine-socket", "/tmp/a.sock"};
  EXPECT_EQ(EngineSocketPathFromArgs(4, split), "/tmp/a.sock");
  const char* joined[] = {"kelvoctl", "--engine-socket=/tmp/b.sock"};
  EXPECT_EQ(EngineSocketPathFromArgs(2, joined), "/tmp/b.sock");
  const char* none[] = {"kelvoctl", "--engine-socket"};
  EXPECT_EQ(EngineSocketPathFromArgs(2, none), fallback);
  if (saved) ::setenv("XDG_RUNTIME_DIR", saved_value.c_str(), 1);
}

TEST(EngineSocketServerTest, StartReplacesOnlyADeadServersSocket) {
  TempDir dir;
  VirtualDispatch d;
  Logs logs;
  std::string path = dir.path() + "/engine.sock";

  // A socket file nobody listens on: left by a server that died.
  {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
  }
  EngineSocketServer first(path, d.MainQueue(), logs.logger());
  auto error = first.Start();
  ASSERT_FALSE(error) << *error;
  EXPECT_TRUE(logs.Has("removed a stale socket at " + path));

  // A live one is left alone.
  EngineSocketServer second(path, d.MainQueue(), logs.logger());
  error = second.Start();
  ASSERT_TRUE(error);
  EXPECT_NE(error->find("already listening on " + path), std::string::npos) << *error;
  EngineSocketClient client;
  EXPECT_FALSE(client.Connect(path));
  client.Close();

  // Stopping removes the file; a regular file is never taken for a socket.
  first.Stop();
  struct stat st {};
  EXPECT_NE(::stat(path.c_str(), &st), 0);
  std::ofstream(path) << "not a socket";
  EngineSocketServer third(path, d.MainQueue(), logs.logger());
  error = third.Start();
  ASSERT_TRUE(error);
  EXPECT_NE(error->find("is not a socket"), std::string::npos) << *error;
  EXPECT_EQ(::stat(path.c_str(), &st), 0);

  EngineSocketServer too_long(dir.path() + "/" + std::string(120, 'x'), d.MainQueue(), nullptr);
  error = too_long.Start();
  ASSERT_TRUE(error);
  EXPECT_NE(error->find("too long"), std::string::npos) << *error;
}

// A client that connects the moment the path appears is never refused.
TEST(EngineSocketServerTest, ThePathAppearsOnlyOnceItAcceptsConnections) {
  TempDir dir;
  VirtualDispatch d;
  const std::string path = dir.path() + "/engine.sock";
  const int watch = ::inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, dir.path().c_str(), IN_CREATE | IN_MOVED_TO), 0);
  int refused = 0;
  for (int round = 0; round < 500; ++round) {
    std::thread client([&] {
      alignas(inotify_event) char events[4096];
      for (bool seen = false; !seen;) {
        pollfd ready{watch, POLLIN, 0};
        if (::poll(&ready, 1, 5000) != 1) return;  // bounded, should Start fail
        ssize_t n = ::read(watch, events, sizeof events);
        if (n <= 0) return;
        for (char* p = events; p < events + n;) {
          auto* event = reinterpret_cast<inotify_event*>(p);
          seen = seen || (event->len > 0 && std::string(event->name) == "engine.sock");
          p += sizeof(inotify_event) + event->len;
        }
      }
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
      const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 &&
          errno == ECONNREFUSED) {
        ++refused;
      }
      ::close(fd);
    });
    EngineSocketServer server(path, d.MainQueue(), nullptr);
    auto error = server.Start();
    client.join();
    ASSERT_FALSE(error) << *error;
    server.Stop();
  }
  ::close(watch);
  EXPECT_EQ(refused, 0);
}

class EngineSocketServerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.path() + "/engine.sock";
    server_ = std::make_unique<EngineSocketServer>(path_, d_.MainQueue(), logs_.logger());
    auto error = server_->Start();
    ASSERT_FALSE(error) << *error;
  }
  // Runs the main queue until `pred` holds (bounded in real time).
  bool RunUntil(const std::function<bool()>& pred) { return d_.RunUntil(pred, Duration(0)); }

  TempDir dir_;
  VirtualDispatch d_;
  Logs logs_;
  std::string path_;
  std::unique_ptr<EngineSocketServer> server_;
};

TEST_F(EngineSocketServerFixture, HostMessagesAlwaysGetTheirReplyCallback) {
  // No connection at all.
  int calls = 0;
  Payload got = Text("unset");
  server_->Send("ui/ask", Text("q"), [&](Payload reply) {
    ++calls;
    got = std::move(reply);
  });
  d_.RunUntilIdle();
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(got);

  // The interface took the message and went away without answering.
  EngineSocketClient client;
  std::mutex mu;
  std::vector<BinaryReply> held;
  client.SetMessageHandler("ui/ask", [&](Payload, BinaryReply reply) {
    std::lock_guard lock(mu);
    held.push_back(std::move(reply));
  });
  ASSERT_FALSE(client.Connect(path_));
  ASSERT_TRUE(RunUntil([&] { return server_->connection_count() == 1; }));
  got = Text("unset");
  server_->Send("ui/ask", Text("q"), [&](Payload reply) {
    ++calls;
    got = std::move(reply);
  });
  ASSERT_TRUE(RunUntil([&] {
    std::lock_guard lock(mu);
    return held.size() == 1;
  }));
  client.Close();
  ASSERT_TRUE(RunUntil([&] { return calls == 2; }));
  EXPECT_FALSE(got);
  EXPECT_TRUE(logs_.Has("closed by the peer"));
  held.clear();  // answering after the close goes nowhere
}

TEST_F(EngineSocketServerFixture, HandlerRepliesOnceFromAnyThread) {
  std::vector<std::thread> threads;
  server_->SetMessageHandler("host/later", [&](Payload message, BinaryReply reply) {
    EXPECT_TRUE(d_.MainQueue()->IsCurrent());
    threads.emplace_back([message, reply] {
      reply(message);
      reply(Text("second answer is ignored"));
    });
  });
  server_->SetMessageHandler("host/drop", [](Payload, BinaryReply) {});

  EngineSocketClient client;
  ASSERT_FALSE(client.Connect(path_));
  std::mutex mu;
  std::vector<Payload> replies;
  auto record = [&](Payload reply) {
    std::lock_guard lock(mu);
    replies.push_back(std::move(reply));
  };
  client.Send("host/later", Text("a"), record);
  client.Send("host/drop", Text("b"), record);
  client.Send("host/later", Text("c"), record);
  ASSERT_TRUE(RunUntil([&] {
    std::lock_guard lock(mu);
    return replies.size() == 3;
  }));
  for (auto& t : threads) t.join();
  std::lock_guard lock(mu);
  // One answer each, in whatever order the threads gave them.
  EXPECT_EQ(std::count(replies.begin(), replies.end(), std::nullopt), 1);
  EXPECT_EQ(std::count(replies.begin(), replies.end(), Text("a")), 1);
  EXPECT_EQ(std::count(replies.begin(), replies.end(), Text("c")), 1);
  // The ignored second answers sent nothing: the client saw no unknown id.
  EXPECT_TRUE(client.connected());
}

TEST_F(EngineSocketServerFixture, StoppingEndsWaitsAndHandlersMayCloseTheirClient) {
  std::vector<BinaryReply> held;  // main queue only
  server_->SetMessageHandler("host/hold", [&](Payload, BinaryReply reply) {
    held.push_back(std::move(reply));
  });
  EngineSocketClient closer;
  std::atomic<bool> closed_itself{false};
  closer.SetMessageHandler("ui/bye", [&](Payload, BinaryReply) {
    closer.Close();  // on the client's own I/O thread
    closed_itself = true;
  });
  ASSERT_FALSE(closer.Connect(path_));
  ASSERT_TRUE(RunUntil([&] { return server_->connection_count() == 1; }));
  bool bye_answered = false;
  server_->Send("ui/bye", std::nullopt, [&](Payload) { bye_answered = true; });
  ASSERT_TRUE(RunUntil([&] { return bye_answered; }));
  EXPECT_TRUE(closed_itself.load());
  EXPECT_FALSE(closer.connected());

  EngineSocketClient waiter;
  ASSERT_FALSE(waiter.Connect(path_));
  EngineCallResult result;
  std::thread call([&] { result = waiter.SendAndWait("host/hold", Text("x"), Seconds(10)); });
  ASSERT_TRUE(RunUntil([&] { return held.size() == 1; }));
  server_->Stop();
  call.join();
  ASSERT_FALSE(result.ok());
  EXPECT_NE(result.error->find("closed before the reply"), std::string::npos) << *result.error;
  EXPECT_FALSE(waiter.SendAndWait("host/hold", Text("x"), Seconds(1)).ok());
  held.clear();
}

}  // namespace
}  // namespace kelvo
