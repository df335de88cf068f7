// How a client chooses and judges the tunnel's control socket.
#include "platform/tunnels/control_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>

namespace kelvo {
namespace {

namespace fs = std::filesystem;

TEST(ChooseControlSocket, FirstActiveProfileElseFirstProfileElseTheFallback) {
  using S = TunnelStatus;
  std::map<std::string, S> status = {{"/a", S::kDisconnected}, {"/b", S::kReasserting},
                                     {"/c", S::kConnected}, {"/d", S::kDisconnecting}};
  auto of = [&](const std::string& p) { return status.at(p); };
  auto profiles = [](std::vector<std::string> sockets) {
    std::vector<TunnelProfile> out;
    for (auto& s : sockets) out.push_back({"t", s, s});
    return out;
  };
  EXPECT_EQ(ChooseControlSocket({}, of, "/fallback"), "/fallback");
  EXPECT_EQ(ChooseControlSocket(profiles({"/a", "/b", "/c"}), of, "/f"), "/b");
  EXPECT_EQ(ChooseControlSocket(profiles({"/d", "/a"}), of, "/f"), "/d");
}

class SocketFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kelvo-ctl-sock-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    path_ = (dir_ / "tunnel.sock").string();
  }
  void TearDown() override {
    if (fd_ >= 0) ::close(fd_);
    fs::remove_all(dir_);
  }
  void Bind(bool listen) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    if (listen) {
      ASSERT_EQ(::listen(fd_, 4), 0);
    }
  }
  fs::path dir_;
  std::string path_;
  int fd_ = -1;
};

TEST_F(SocketFile, AbsentMeansNoFileOrNobodyListening) {
  EXPECT_TRUE(ControlSocketAbsent(path_));
  Bind(false);  // a file left by a server that is gone
  EXPECT_TRUE(ControlSocketAbsent(path_));
  ::close(fd_);
  fd_ = -1;
  fs::remove(path_);
  Bind(true);
  EXPECT_FALSE(ControlSocketAbsent(path_));
}

TEST_F(SocketFile, ARefusalNamesTheSocketAndWhatStandsInTheWay) {
  Bind(true);
  EXPECT_EQ(DescribeControlSocketFailure(path_, "some error"), "some error")
      << "a socket that lets us in is not refusing us";
  EXPECT_EQ(ControlSocketAccess("k13-no-such-group").group, std::nullopt) << "private then";
  EXPECT_EQ(ControlSocketAccess("k13-no-such-group").mode, 0600u);
  if (::geteuid() == 0) GTEST_SKIP() << "root passes every permission";
  ASSERT_EQ(::chmod(path_.c_str(), 0), 0);
  std::string why = DescribeControlSocketFailure(path_, "Permission denied");
  EXPECT_EQ(why.rfind("permission denied on " + path_ + " (owner ", 0), 0u) << why;
  EXPECT_NE(why.find("mode 0000"), std::string::npos) << why;
}

}  // namespace
}  // namespace kelvo
