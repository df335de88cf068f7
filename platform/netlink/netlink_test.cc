#include "platform/netlink/netlink.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/netlink/fake_netlink.h"

namespace kelvo {
namespace {

NetPrefix P(const std::string& text) {
  auto p = NetPrefix::Parse(text);
  EXPECT_TRUE(p) << text;
  return p.value_or(NetPrefix{});
}

TEST(NetPrefixTest, ParsesMasksAndPrints) {
  EXPECT_EQ(P("10.1.2.3").ToString(), "10.1.2.3/32");
  EXPECT_EQ(P("fd00::1").ToString(), "fd00::1/128");
  EXPECT_EQ(P("10.1.2.3/8").Masked().ToString(), "10.0.0.0/8");
  EXPECT_EQ(P("10.1.255.3/17").Masked().ToString(), "10.1.128.0/17");
  EXPECT_EQ(P("255.255.255.255/0").Masked().ToString(), "0.0.0.0/0");
  EXPECT_EQ(P("fd00:1234:5678::1/20").Masked().ToString(), "fd00:1000::/20");
  EXPECT_EQ(P("10.0.0.1/24").Masked(), P("10.0.0.0/24"));
  EXPECT_NE(P("10.0.0.0/24"), P("10.0.0.0/25"));
  for (const char* bad : {"", "10.0.0.1/33", "fd00::/129", "10.0.0.1/", "10.0.0.1/x", "host/8",
                          "10.0.0.1/-1", "10.0.0.1/8 "}) {
    EXPECT_FALSE(NetPrefix::Parse(bad)) << bad;
  }
}

TEST(FakeNetlinkTest, AnswersLikeTheKernel) {
  FakeNetlink nl;
  int a = nl.AddLink("a");
  int b = nl.AddLink("b");
  int index = 0;
  EXPECT_FALSE(nl.LinkIndex("b", &index));
  EXPECT_EQ(index, b);
  EXPECT_EQ(nl.LinkIndex("c", &index)->code(), ENODEV);

  EXPECT_FALSE(nl.AddAddress(a, P("10.0.0.2/24")));
  EXPECT_EQ(nl.AddAddress(a, P("10.0.0.2/24"))->code(), EEXIST);
  EXPECT_EQ(nl.RemoveAddress(a, P("10.0.0.3/24"))->code(), EADDRNOTAVAIL);
  EXPECT_FALSE(nl.AddRoute(a, P("0.0.0.0/1")));
  EXPECT_EQ(nl.AddRoute(b, P("0.0.0.0/1"))->code(), EEXIST) << "one main table";
  EXPECT_EQ(nl.AddRoute(a, P("10.1.0.1/16"))->code(), EINVAL);
  EXPECT_EQ(nl.RemoveRoute(b, P("0.0.0.0/1"))->code(), ESRCH);
  EXPECT_EQ(nl.SetMtu(99, 1420)->code(), ENODEV);

  nl.FailOperations("add-route", EPERM);
  auto error = nl.AddRoute(b, P("10.9.0.0/16"));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), EPERM);
  EXPECT_EQ(error->description(),
            "add-route " + std::to_string(b) + " 10.9.0.0/16 failed: Operation not permitted");
  EXPECT_TRUE(nl.link("b")->routes.empty());
  nl.FailOperations("add-route", 0);

  EXPECT_FALSE(nl.DeleteLink(a));
  EXPECT_FALSE(nl.link("a"));
  EXPECT_FALSE(nl.AddRoute(b, P("0.0.0.0/1"))) << "routes leave with their link";
}

}  // namespace
}  // namespace kelvo
