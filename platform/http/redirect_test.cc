#include "platform/http/redirect.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

UrlResponse Moved(int status, std::string location) {
  UrlResponse r;
  r.status = status;
  r.headers = {{"location", std::move(location)}};
  r.body = std::vector<uint8_t>{};
  return r;
}

TEST(RedirectTest, OriginComparesSchemeHostAndPort) {
  EXPECT_EQ(UrlOrigin("HTTP://Example.COM/x"), "http://example.com:80");
  EXPECT_EQ(UrlOrigin("https://example.com"), UrlOrigin("https://example.com:443/y?z"));
  EXPECT_NE(UrlOrigin("https://example.com"), UrlOrigin("http://example.com"));
  EXPECT_NE(UrlOrigin("https://example.com"), UrlOrigin("https://example.com:8443"));
  EXPECT_EQ(UrlOrigin("not a url"), std::nullopt);
}

TEST(RedirectTest, MethodsAndTheTokenAcrossHops) {
  const UrlRequest first{"https://svc.example/conf/", "POST",
                         {{"Authorization", "Bearer t"}, {"Content-Type", "application/json"}},
                         std::vector<uint8_t>{'{', '}'}};
  struct Case {
    int status;
    const char* location;
    const char* url;
    const char* method;
    bool body;
    bool token;
  } cases[] = {
      {301, "/v2/conf/", "https://svc.example/v2/conf/", "GET", false, true},
      {302, "https://SVC.example:443/x", "https://SVC.example:443/x", "GET", false, true},
      {303, "x", "https://svc.example/conf/x", "GET", false, true},
      {307, "http://svc.example/conf/", "http://svc.example/conf/", "POST", true, false},
      {308, "https://svc.example:8443/", "https://svc.example:8443/", "POST", true, false},
      {308, "//other.example/c#frag", "https://other.example/c", "POST", true, false},
  };
  for (const Case& c : cases) {
    RedirectDecision d = FollowRedirect(first, first, Moved(c.status, c.location));
    ASSERT_TRUE(d.redirect) << c.status;
    ASSERT_FALSE(d.error) << *d.error;
    EXPECT_EQ(d.next.url, c.url) << c.location;
    EXPECT_EQ(d.next.method, c.method) << c.status;
    EXPECT_EQ(d.next.body.has_value(), c.body) << c.status;
    EXPECT_EQ(FindHeader(d.next.headers, "Authorization").has_value(), c.token) << c.location;
    EXPECT_EQ(FindHeader(d.next.headers, "Content-Type"), "application/json");
  }
  // Back home after a foreign hop: the first origin gets its token again.
  UrlRequest foreign = FollowRedirect(first, first, Moved(307, "https://cdn.example/")).next;
  RedirectDecision home = FollowRedirect(first, foreign, Moved(307, "https://svc.example/z"));
  EXPECT_EQ(FindHeader(home.next.headers, "Authorization"), "Bearer t");
}

}  // namespace
}  // namespace kelvo
