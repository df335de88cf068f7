#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/log/fake_system_log.h"
#include "platform/log/journal_log.h"
#include "platform/log/system_log.h"

namespace kelvo {
namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// An anonymous file standing in for stderr.
class CapturedFd {
 public:
  CapturedFd() : file_(std::tmpfile()) {}
  ~CapturedFd() { std::fclose(file_); }
  int fd() const { return fileno(file_); }
  std::string Read() const {
    std::string out;
    char buf[4096];
    off_t off = 0;
    ssize_t n;
    while ((n = pread(fd(), buf, sizeof buf, off)) > 0) {
      out.append(buf, static_cast<size_t>(n));
      off += n;
    }
    return out;
  }

 private:
  FILE* file_;
};

struct Sent {
  std::vector<std::vector<std::string>> entries;
  int result = 0;
  JournalSend Sender() {
    return [this](const struct iovec* f, int n) {
      std::vector<std::string> fields;
      for (int i = 0; i < n; ++i) fields.emplace_back(static_cast<const char*>(f[i].iov_base), f[i].iov_len);
      entries.push_back(std::move(fields));
      return result;
    };
  }
};

LogOptions Options(int fd, bool foreground) {
  LogOptions o;
  o.foreground = foreground;
  o.identifier = "KelvoTun";
  o.stderr_fd = fd;
  return o;
}

TEST(JournalLogTest, SendsFieldsVerbatimAndCopiesToStderrOnlyInForeground) {
  CapturedFd err;
  Sent sent;
  {
    JournalSystemLog log("net.kelvo.app.DUDovo", "main", Options(err.fd(), false), sent.Sender());
    // No format interpretation: a '%' or a newline arrives unchanged.
    log.Notice("[Kelvo sysext] 100% up\nsecond line");
    log.Error("stopTunnel adapter error: x");
  }
  ASSERT_EQ(sent.entries.size(), 2u);
  EXPECT_THAT(sent.entries[0],
              ElementsAre("MESSAGE=[Kelvo sysext] 100% up\nsecond line", "PRIORITY=5",
                          "SYSLOG_IDENTIFIER=KelvoTun", "KELVO_SUBSYSTEM=net.kelvo.app.DUDovo",
                          "KELVO_CATEGORY=main"));
  EXPECT_EQ(sent.entries[1][1], "PRIORITY=3");
  EXPECT_THAT(err.Read(), IsEmpty());

  JournalSystemLog fg("Drimo.PacketTunnelProvider", "PacketTunnelProvider", Options(err.fd(), true),
                      sent.Sender());
  fg.Info("Drimo wd: #1 startTunnel OK — arrancando watchdog");
  EXPECT_EQ(sent.entries.size(), 3u);
  std::string out = err.Read();
  EXPECT_THAT(out, EndsWith(" <Info> Drimo.PacketTunnelProvider:PacketTunnelProvider "
                            "Drimo wd: #1 startTunnel OK — arrancando watchdog\n"));
  EXPECT_THAT(out, HasSubstr(" KelvoTun[" + std::to_string(getpid()) + "] "));
}

TEST(JournalLogTest, UnreachableJournalFallsBackToStderrOnce) {
  CapturedFd err;
  Sent sent;
  sent.result = -ENOENT;
  JournalSystemLog bg("s", "c", Options(err.fd(), false), sent.Sender());
  bg.Fault("one");
  JournalSystemLog fg("s", "c", Options(err.fd(), true), sent.Sender());
  fg.Debug("two");
  std::string out = err.Read();
  EXPECT_THAT(out, HasSubstr("<Fault> s:c one\n"));
  // Foreground and fallback together still give one copy.
  EXPECT_EQ(out.find("two"), out.rfind("two"));
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2);
}

TEST(JournalLogTest, RealJournalWithoutSocketDoesNotFail) {
  struct stat st;
  if (stat("/run/systemd/journal/socket", &st) == 0) GTEST_SKIP() << "a journal is running here";
  CapturedFd err;
  auto log = MakeSystemLog("net.kelvo.app", "test", Options(err.fd(), false));
  log->Info("hello journal");
  EXPECT_THAT(err.Read(), EndsWith("<Info> net.kelvo.app:test hello journal\n"));
}

TEST(JournalLogTest, ConcurrentLinesNeverInterleave) {
  CapturedFd err;
  JournalSystemLog log("s", "c", Options(err.fd(), true),
                       [](const struct iovec*, int) { return 0; });
  const std::string long_text(20000, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log, &long_text, t] {
      for (int i = 0; i < 25; ++i) log.Info(std::to_string(t) + long_text);
    });
  }
  for (auto& th : threads) th.join();
  std::string out = err.Read();
  size_t lines = 0;
  for (size_t start = 0; start < out.size();) {
    size_t end = out.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    std::string_view line(out.data() + start, end - start);
    ASSERT_GT(line.size(), long_text.size() + 12);
    std::string_view tail = line.substr(line.size() - long_text.size() - 12);
    EXPECT_TRUE(tail.starts_with("<Info> s:c ")) << tail.substr(0, 20);
    EXPECT_TRUE(line.ends_with(long_text));
    ++lines;
    start = end + 1;
  }
  EXPECT_EQ(lines, 100u);
}

TEST(FakeSystemLogTest, LoggersShareABookThatOutlivesThem) {
  auto book = std::make_shared<FakeLogBook>();
  {
    FakeSystemLog main_log("net.kelvo.app.DUDovo", "main", book);
    auto provider_log = std::make_unique<FakeSystemLog>("Drimo.PacketTunnelProvider",
                                                        "PacketTunnelProvider", book);
    main_log.Notice("start");
    provider_log->Info("WG: up");
  }
  EXPECT_THAT(book->lines(),
              ElementsAre(LoggedLine{"net.kelvo.app.DUDovo", "main", LogLevel::notice, "start"},
                          LoggedLine{"Drimo.PacketTunnelProvider", "PacketTunnelProvider",
                                     LogLevel::info, "WG: up"}));
  EXPECT_THAT(book->texts(), ElementsAre("start", "WG: up"));
}

}  // namespace
}  // namespace kelvo
