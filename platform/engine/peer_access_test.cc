// Who a socket admits: the rule, and a real shared socket.
#include "platform/engine/peer_access.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/dispatch/asio_dispatch.h"
#include "platform/engine/engine_socket.h"

namespace kelvo {
namespace {

TEST(PeerAdmitted, RootOwnUserAndTheSocketsGroupOnly) {
  const uid_t me = 1000;
  const gid_t kelvo = 990;
  auto peer = [](uid_t uid, gid_t gid, std::vector<gid_t> groups) {
    return PeerCredentials{.pid = 1, .uid = uid, .gid = gid, .groups = std::move(groups)};
  };
  EXPECT_TRUE(PeerAdmitted(peer(0, 0, {}), me, std::nullopt));
  EXPECT_TRUE(PeerAdmitted(peer(me, 100, {}), me, std::nullopt));
  EXPECT_FALSE(PeerAdmitted(peer(1001, kelvo, {kelvo}), me, std::nullopt))
      << "a private socket admits no group";
  EXPECT_TRUE(PeerAdmitted(peer(1001, 100, {27, kelvo}), me, kelvo));
  EXPECT_TRUE(PeerAdmitted(peer(1001, kelvo, {}), me, kelvo)) << "the primary group counts";
  EXPECT_FALSE(PeerAdmitted(peer(1001, 100, {27, 991}), me, kelvo));
  EXPECT_FALSE(PeerAdmitted(peer(65534, 65534, {}), me, kelvo));
}

TEST(PeerCredentials, ReadsUidAndGroupsOfTheOtherEnd) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  PeerCredentials peer;
  EXPECT_EQ(ReadPeerCredentials(fds[0], &peer), std::nullopt);
  EXPECT_EQ(peer.uid, ::geteuid());
  EXPECT_EQ(peer.gid, ::getegid());
  EXPECT_EQ(peer.pid, ::getpid());
  std::vector<gid_t> own(static_cast<size_t>(::getgroups(0, nullptr)));
  own.resize(static_cast<size_t>(::getgroups(static_cast<int>(own.size()), own.data())));
  EXPECT_EQ(peer.groups, own);
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_EQ(LookUpGroup("k13-no-such-group"), std::nullopt);
  EXPECT_EQ(OctalMode(02770), "2770");
  EXPECT_EQ(OctalMode(S_IFSOCK | 0660), "0660");
}

TEST(SharedSocket, GetsTheGroupAndModesAndStillServesItsOwnUser) {
  std::string dir = std::filesystem::temp_directory_path() /
                    ("kelvo-shared-sock-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  const std::string path = dir + "/run/kelvo/tunnel.sock";
  AsioDispatch dispatch(1);
  EngineSocketServer server(path, dispatch.CreateSerialQueue("test"), nullptr);
  server.SetAccess({.mode = 0660, .directory_mode = 0755, .group = ::getegid()});
  mode_t old = ::umask(077);
  ASSERT_EQ(server.Start(), std::nullopt);
  ::umask(old);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_EQ(st.st_gid, ::getegid());
  ASSERT_EQ(::stat((dir + "/run/kelvo").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u) << "made for the group to enter, despite the umask";

  server.SetMessageHandler("ping", [](Payload, BinaryReply reply) {
    reply(std::vector<uint8_t>{'o', 'k'});
  });
  EngineSocketClient client;
  ASSERT_EQ(client.Connect(path), std::nullopt);
  EngineCallResult r = client.SendAndWait("ping", std::nullopt, std::chrono::seconds(10));
  ASSERT_TRUE(r.ok()) << *r.error;
  EXPECT_EQ(r.reply, (std::vector<uint8_t>{'o', 'k'}));
  client.Close();
  server.Stop();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kelvo
