// The curl session against a loopback server: real sockets, real time,
// bounded waits.
#include "platform/http/curl_url_session.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>

#include "platform/dispatch/virtual_dispatch.h"
#include "platform/http/testing/loopback_http_server.h"

namespace kelvo {
namespace {

using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }
std::string Text(const std::optional<std::vector<uint8_t>>& b) {
  return b ? std::string(b->begin(), b->end()) : "<absent>";
}

// A loopback port nothing listens on (bound, then released).
uint16_t ClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

class CurlUrlSessionTest : public ::testing::Test {
 protected:
  std::unique_ptr<CurlUrlSession> MakeSession(CurlUrlSessionOptions options = {}) {
    return std::make_unique<CurlUrlSession>(queue_, options);
  }

  // Sends one request and waits for its answer, which must come on the
  // callback queue.
  UrlResponse Send(UrlSession& session, UrlRequest request) {
    std::optional<UrlResponse> got;
    session.DataTask(std::move(request), [&](UrlResponse r) {
      EXPECT_TRUE(queue_->IsCurrent());
      got = std::move(r);
    });
    EXPECT_TRUE(dispatch_.RunUntil([&] { return got.has_value(); }, Duration::zero()));
    return got.value_or(UrlResponse{-1, {}, {}, "no completion"});
  }

  VirtualDispatch dispatch_;
  std::shared_ptr<Queue> queue_ = dispatch_.CreateSerialQueue("net.kelvo.test.http");
};

TEST_F(CurlUrlSessionTest, SendsMethodHeadersAndBodyAsGivenAndReturnsTheAnswer) {
  LoopbackHttpServer server([](const ServedRequest& req) {
    return Reply(200, "echo:" + req.body, {{"X-Reply", "yes"}});
  });
  ASSERT_TRUE(server.ok());
  auto session = MakeSession();

  // The path goes out as built, dot segments and all.
  UrlRequest get{server.Url("/kelvo/../invited/./conf/"), "GET",
                 {{"Authorization", "Bearer "}, {"X-Device-Id", ""}}, std::nullopt};
  UrlResponse r = Send(*session, get);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(Text(r.body), "echo:");
  EXPECT_EQ(FindHeader(r.headers, "x-reply"), "yes");
  EXPECT_FALSE(r.error_description.has_value());

  // A binary body of a size where libcurl would otherwise ask for
  // "100-continue", with the caller's own Content-Type.
  std::string binary(200000, 'x');
  binary[0] = '\0';
  binary[1] = '\xff';
  UrlRequest post{server.Url("/token/refresh/"), "POST",
                  {{"Content-Type", "application/json"}}, Bytes(binary)};
  r = Send(*session, post);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(Text(r.body), "echo:" + binary);

  // An empty body is still a body: a POST with Content-Length 0.
  Send(*session, UrlRequest{server.Url("/empty"), "POST", {}, std::vector<uint8_t>{}});

  std::vector<ServedRequest> seen = server.requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].path, "/kelvo/../invited/./conf/");
  EXPECT_EQ(FindHeader(seen[0].headers, "Authorization"), "Bearer ");
  EXPECT_EQ(FindHeader(seen[0].headers, "X-Device-Id"), "");
  EXPECT_EQ(seen[1].method, "POST");
  EXPECT_EQ(FindHeader(seen[1].headers, "Content-Type"), "application/json");
  EXPECT_EQ(FindHeader(seen[1].headers, "Expect"), std::nullopt);
  EXPECT_EQ(seen[2].method, "POST");
  EXPECT_EQ(FindHeader(seen[2].headers, "Content-Length"), "0");
  EXPECT_EQ(FindHeader(seen[2].headers, "Content-Type"), std::nullopt);
}

TEST_F(CurlUrlSessionTest, ErrorStatusesAreAnswersWithTheirBodies) {
  struct Case {
    const char* path;
    int status;
    const char* body;
  } cases[] = {{"/401", 401, "{\"detail\":\"expired\"}"},
               {"/500", 500, "boom"},
               {"/204", 204, ""},
               {"/302", 302, "moved, nowhere to go"}};  // no Location: an answer
  LoopbackHttpServer server([&](const ServedRequest& req) {
    for (const Case& c : cases) {
      if (req.path == c.path) return Reply(c.status, c.body);
    }
    return Reply(404);
  });
  auto session = MakeSession();
  for (const Case& c : cases) {
    UrlResponse r = Send(*session, UrlRequest{server.Url(c.path)});
    EXPECT_EQ(r.status, c.status) << c.path;
    EXPECT_EQ(Text(r.body), c.body) << c.path;
    EXPECT_FALSE(r.error_description.has_value()) << c.path;
  }
}

// The token of one service must never reach another through a redirect.
TEST_F(CurlUrlSessionTest, FollowsRedirectsWithTheTokenOnlyToTheSameOrigin) {
  LoopbackHttpServer other([](const ServedRequest&) { return Reply(200, "other"); });
  LoopbackHttpServer server([&](const ServedRequest& req) {
    if (req.path == "/same") return Reply(302, "", {{"Location", "/a/../conf"}});
    if (req.path == "/away") return Reply(307, "", {{"Location", other.Url("/conf")}});
    if (req.path == "/loop") return Reply(301, "", {{"Location", "/loop"}});
    return Reply(200, "here");
  });
  auto session = MakeSession();
  const HttpHeaders headers = {{"Authorization", "Bearer secret"}, {"X-Device-Id", "d1"}};

  UrlResponse same = Send(*session, UrlRequest{server.Url("/same"), "POST", headers, Bytes("{}")});
  EXPECT_EQ(same.status, 200);
  EXPECT_EQ(Text(same.body), "here");
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 2u);
  // The Location's dot segments are resolved; 302 turns the POST into a GET.
  EXPECT_EQ(seen[1].path, "/conf");
  EXPECT_EQ(seen[1].method, "GET");
  EXPECT_EQ(seen[1].body, "");
  EXPECT_EQ(FindHeader(seen[1].headers, "Authorization"), "Bearer secret");

  UrlResponse away = Send(*session, UrlRequest{server.Url("/away"), "POST", headers, Bytes("{}")});
  EXPECT_EQ(away.status, 200);
  EXPECT_EQ(Text(away.body), "other");
  ASSERT_EQ(other.requests().size(), 1u);
  const ServedRequest there = other.requests()[0];
  EXPECT_EQ(there.method, "POST") << "307 keeps the method and the body";
  EXPECT_EQ(there.body, "{}");
  EXPECT_EQ(FindHeader(there.headers, "Authorization"), std::nullopt);
  EXPECT_EQ(FindHeader(there.headers, "X-Device-Id"), "d1");

  size_t before = server.requests().size();
  UrlResponse loop = Send(*session, UrlRequest{server.Url("/loop")});
  EXPECT_EQ(loop.status, 0);
  EXPECT_EQ(loop.error_description, "too many HTTP redirects");
  EXPECT_EQ(server.requests().size() - before, 11u) << "the first request and 10 redirects";
}

TEST_F(CurlUrlSessionTest, UsesTheProxyOfTheEnvironment) {
  // A proxy that answers itself; it sees the absolute target.
  LoopbackHttpServer proxy([](const ServedRequest&) { return Reply(200, "via proxy"); });
  LoopbackHttpServer origin([](const ServedRequest&) { return Reply(200, "direct"); });
  auto session = MakeSession();
  // A proxy configured around the test run would spoil the "direct" cases.
  if (std::getenv("http_proxy") || std::getenv("no_proxy") || std::getenv("all_proxy")) {
    GTEST_SKIP() << "proxy variables already set";
  }
  setenv("http_proxy", proxy.Url("").c_str(), 1);
  std::string via = Text(Send(*session, UrlRequest{origin.Url("/conf/")}).body);
  setenv("no_proxy", "127.0.0.1", 1);  // exempts the host
  std::string exempt = Text(Send(*session, UrlRequest{origin.Url("/conf/")}).body);
  unsetenv("no_proxy");
  unsetenv("http_proxy");
  std::string direct = Text(Send(*session, UrlRequest{origin.Url("/conf/")}).body);

  EXPECT_EQ(via, "via proxy");
  ASSERT_EQ(proxy.requests().size(), 1u);
  EXPECT_EQ(proxy.requests()[0].path, origin.Url("/conf/")) << "the absolute target";
  EXPECT_EQ(exempt, "direct");
  EXPECT_EQ(direct, "direct");
}

TEST_F(CurlUrlSessionTest, TransportFailuresGiveStatusZeroNoBodyAndADescription) {
  LoopbackHttpServer server([](const ServedRequest&) {
    ServedResponse r;
    r.action = ServedResponse::Action::kClose;
    return r;
  });
  auto session = MakeSession();
  struct Case {
    std::string name;
    UrlRequest request;
  } cases[] = {
      {"refused", {"http://127.0.0.1:" + std::to_string(ClosedPort()) + "/"}},
      {"closed without answer", {server.Url("/")}},
      {"not a URL", {"not a url"}},
      {"other scheme", {"file:///etc/passwd"}},
      {"header injection", {server.Url("/"), "GET", {{"X-Device-Id", "a\r\nX-Evil: 1"}}, {}}},
      {"bad method", {server.Url("/"), "GE T", {}, {}}},
  };
  for (auto& c : cases) {
    UrlResponse r = Send(*session, c.request);
    EXPECT_EQ(r.status, 0) << c.name;
    EXPECT_FALSE(r.body.has_value()) << c.name;
    ASSERT_TRUE(r.error_description.has_value()) << c.name;
    EXPECT_FALSE(r.error_description->empty()) << c.name;
  }
  EXPECT_EQ(server.requests().size(), 1u);  // only the closed one reached it
}

TEST_F(CurlUrlSessionTest, IdleAndResourceTimeoutsEndTheRequest) {
  LoopbackHttpServer server([](const ServedRequest& req) {
    ServedResponse r = Reply(200, std::string(60, 'z'));
    if (req.path == "/stall") r.action = ServedResponse::Action::kStall;
    if (req.path == "/trickle") r.byte_interval = milliseconds(50);  // 3 s in all
    return r;
  });
  auto session = MakeSession({milliseconds(300), milliseconds(800)});

  // Sends to `path`; the request must end in a timeout within [min, max).
  auto expect_timeout = [&](const char* path, milliseconds min, milliseconds max) {
    auto start = SteadyClock::now();
    UrlResponse r = Send(*session, UrlRequest{server.Url(path)});
    auto elapsed = SteadyClock::now() - start;
    EXPECT_EQ(r.status, 0) << path;
    EXPECT_FALSE(r.body.has_value()) << path;
    EXPECT_NE(r.error_description.value_or("").find("timed out"), std::string::npos) << path;
    EXPECT_GE(elapsed, min) << path;
    EXPECT_LT(elapsed, max) << path;
  };
  // Nothing moves: the idle ("request") timeout ends it.
  expect_timeout("/stall", milliseconds(300), milliseconds(800));
  // Bytes keep coming, too slowly: the resource timeout ends it (libcurl's
  // clock rounds a little).
  expect_timeout("/trickle", milliseconds(750), milliseconds(2500));
}

TEST_F(CurlUrlSessionTest, CancelAllAndDestructionCompleteInFlightRequestsOnce) {
  LoopbackHttpServer server([](const ServedRequest& req) {
    if (req.path == "/ok") return Reply(200, "fine");
    ServedResponse r;
    r.action = ServedResponse::Action::kStall;
    return r;
  });
  auto session = MakeSession();
  std::vector<UrlResponse> done;
  auto record = [&](UrlResponse r) { done.push_back(std::move(r)); };
  session->DataTask(UrlRequest{server.Url("/a")}, record);
  session->DataTask(UrlRequest{server.Url("/b")}, record);
  ASSERT_TRUE(server.WaitForRequests(2, std::chrono::seconds(10)));
  session->CancelAll();
  ASSERT_TRUE(dispatch_.RunUntil([&] { return done.size() == 2; }, Duration::zero()));
  for (const UrlResponse& r : done) {
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.error_description, kUrlCancelledDescription);
  }

  // The session still works after a cancellation.
  EXPECT_EQ(Send(*session, UrlRequest{server.Url("/ok")}).status, 200);

  // Destroyed with requests in flight and one not yet picked up: each
  // completion still runs once, after the session is gone.
  done.clear();
  session->DataTask(UrlRequest{server.Url("/c")}, record);
  ASSERT_TRUE(server.WaitForRequests(4, std::chrono::seconds(10)));
  session->DataTask(UrlRequest{server.Url("/d")}, record);
  session.reset();
  ASSERT_TRUE(dispatch_.RunUntil([&] { return done.size() == 2; }, Duration::zero()));
  dispatch_.RunUntilIdle();
  EXPECT_EQ(done.size(), 2u);
  for (const UrlResponse& r : done) EXPECT_EQ(r.error_description, kUrlCancelledDescription);
}

TEST_F(CurlUrlSessionTest, CompletionMayDestroyTheSession) {
  LoopbackHttpServer server([](const ServedRequest&) { return Reply(200, "x"); });
  auto session = MakeSession();
  bool done = false;
  session->DataTask(UrlRequest{server.Url("/")}, [&](UrlResponse r) {
    EXPECT_EQ(r.status, 200);
    session.reset();
    done = true;
  });
  ASSERT_TRUE(dispatch_.RunUntil([&] { return done; }, Duration::zero()));
  EXPECT_EQ(session, nullptr);
}

}  // namespace
}  // namespace kelvo
