#include "platform/network/fake_tcp_connection.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/dispatch/virtual_dispatch.h"

namespace kelvo {
namespace {

TEST(FakeTcpConnectionTest, PlaysItsScriptOnTheQueueAndObeysCancel) {
  VirtualDispatch dispatch;
  auto queue = dispatch.CreateSerialQueue("net.kelvo.test.fake-tcp");
  FakeTcpConnector connector;
  connector.SetScript({{TcpState::kWaiting, ENETUNREACH}, {TcpState::kFailed, ECONNREFUSED}});
  std::vector<std::string> states;
  auto c = connector.Create("1.1.1.1", 443);
  c->SetStateHandler([&](TcpConnectionState s) { states.push_back(ToString(s)); });
  c->Start(queue);
  EXPECT_TRUE(states.empty());  // only on the queue
  dispatch.RunUntilIdle();
  EXPECT_EQ(states, (std::vector<std::string>{"preparing", "waiting(ENETUNREACH)",
                                              "failed(ECONNREFUSED)"}));
  auto fake = connector.connections().at(0);
  EXPECT_EQ(fake->host(), "1.1.1.1");
  EXPECT_EQ(fake->port(), 443);
  EXPECT_TRUE(fake->Report({TcpState::kReady, 0}));
  dispatch.RunUntilIdle();
  EXPECT_EQ(states.back(), "ready");

  // Cancelled from its handler on the queue: the scripted failure, already
  // posted, never arrives.
  states.clear();
  auto second = connector.Create("1.1.1.1", 443);
  second->SetStateHandler([&](TcpConnectionState s) {
    states.push_back(ToString(s));
    if (s.state == TcpState::kWaiting) second->Cancel();
  });
  second->Start(queue);
  dispatch.RunUntilIdle();
  EXPECT_EQ(states,
            (std::vector<std::string>{"preparing", "waiting(ENETUNREACH)", "cancelled"}));
  EXPECT_TRUE(connector.connections().at(1)->cancelled());
  EXPECT_FALSE(connector.connections().at(1)->Report({TcpState::kReady, 0}));
}

}  // namespace
}  // namespace kelvo
