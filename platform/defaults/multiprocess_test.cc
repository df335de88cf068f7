// Several processes on one suite, as the host and the extension share the
// App Group suite. Children are forked before the parent opens anything,
// so no SQLite connection crosses a fork.
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>

#include "gtest/gtest.h"
#include "platform/fs/test_dir.h"
#include "platform/defaults/user_defaults.h"

namespace kelvo {
namespace {

constexpr const char* kGroup = "group.net.kelvo.app";

struct Pipe {
  Pipe() {
    int fds[2];
    if (pipe(fds) == 0) {
      r = fds[0];
      w = fds[1];
    }
  }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  void CloseRead() {
    if (r >= 0) close(r);
    r = -1;
  }
  void CloseWrite() {
    if (w >= 0) close(w);
    w = -1;
  }
  bool Send() { return write(w, "x", 1) == 1; }
  bool Receive() {
    char c;
    return read(r, &c, 1) == 1;
  }
  int r = -1;
  int w = -1;
};

// Runs `body` in a child process and exits with its result; the child never
// returns into the test framework.
pid_t ForkChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

// The child's exit code, or 1000 + the signal that ended it.
int WaitFor(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 1000 + WTERMSIG(status);
  return -1;
}

bool ReadFull(int fd, void* data, size_t n) {
  auto* p = static_cast<char*>(data);
  while (n > 0) {
    ssize_t got = read(fd, p, n);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

std::string Key(int writer, int i) {
  return "w" + std::to_string(writer) + "-" + std::to_string(i);
}

class MultiProcessDefaults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    config_.app_group_root = dir_.path() + "/groups";
    config_.data_home = dir_.path() + "/data";
    ASSERT_EQ(mkdir(config_.app_group_root.c_str(), 0755), 0);
  }

  TestDir dir_;
  DefaultsConfig config_;
};

TEST_F(MultiProcessDefaults, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kPerWriter = 500;
  Pipe start;
  pid_t children[2];
  for (int me = 0; me < 2; ++me) {
    children[me] = ForkChild([&, me] {
      start.CloseWrite();
      char c;
      if (read(start.r, &c, 1) != 0) return 9;  // released together by EOF
      auto system = OpenUserDefaultsSystem(config_);
      auto suite = system->Suite(kGroup);
      if (!suite) return 10;
      int other = 1 - me;
      for (int i = 0; i < kPerWriter; ++i) {
        // A writer waits at most 250 ms for the other's lock; a write that
        // gave up says so and is simply made again.
        int tries = 0;
        while (!suite->Set(Key(me, i), me * 1000 + i)) {
          if (++tries == 100) return 11;
        }
        // The other writer's key may or may not be there yet, never wrong.
        std::optional<Value> seen = suite->Get(Key(other, i));
        if (seen && *seen != Value(other * 1000 + i)) return 12;
      }
      for (int i = 0; i < kPerWriter; ++i) {
        if (suite->Get(Key(me, i)) != Value(me * 1000 + i)) return 13;
      }
      return 0;
    });
    ASSERT_GT(children[me], 0);
  }
  start.CloseRead();
  start.CloseWrite();
  EXPECT_EQ(WaitFor(children[0]), 0);
  EXPECT_EQ(WaitFor(children[1]), 0);

  auto system = OpenUserDefaultsSystem(config_);
  std::optional<ValueMap> stored = system->PersistentDomain(kGroup);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->size(), 2u * kPerWriter);
  for (int w = 0; w < 2; ++w) {
    for (int i = 0; i < kPerWriter; ++i) {
      const Value* v = stored->find(std::string_view(Key(w, i)));
      ASSERT_NE(v, nullptr) << Key(w, i);
      EXPECT_EQ(*v, Value(w * 1000 + i));
    }
  }
}

TEST_F(MultiProcessDefaults, KilledWriterLeavesEveryAcknowledgedWrite) {
  // Several rounds on one store, each writer killed at a different moment.
  for (int round = 0; round < 3; ++round) {
    Pipe acks;
    pid_t child = ForkChild([&] {
      acks.CloseRead();
      auto system = OpenUserDefaultsSystem(config_);
      auto suite = system->Suite(kGroup);
      if (!suite) return 10;
      for (uint32_t i = 0;; ++i) {
        if (!suite->Set(Key(round, static_cast<int>(i)), static_cast<int64_t>(i))) return 11;
        if (write(acks.w, &i, sizeof i) != sizeof i) return 12;
      }
    });
    ASSERT_GT(child, 0);
    acks.CloseWrite();

    uint32_t acked = 0;
    uint32_t i;
    const uint32_t kill_after = 50 + 37 * static_cast<uint32_t>(round);
    while (acked < kill_after && ReadFull(acks.r, &i, sizeof i)) acked = i + 1;
    ASSERT_EQ(acked, kill_after) << "the writer stopped early";
    kill(child, SIGKILL);
    while (ReadFull(acks.r, &i, sizeof i)) acked = i + 1;  // acks sent before it died
    EXPECT_EQ(WaitFor(child), 1000 + SIGKILL);

    auto system = OpenUserDefaultsSystem(config_);
    auto suite = system->Suite(kGroup);
    ASSERT_NE(suite, nullptr);
    std::optional<ValueMap> stored = system->PersistentDomain(kGroup);
    ASSERT_TRUE(stored);
    for (uint32_t k = 0; k < acked; ++k) {
      const Value* v = stored->find(std::string_view(Key(round, static_cast<int>(k))));
      ASSERT_NE(v, nullptr) << "acknowledged write " << k << " of " << acked << " lost";
      EXPECT_EQ(*v, Value(static_cast<int64_t>(k)));
    }
    EXPECT_TRUE(suite->Set("after-kill", round));
    EXPECT_EQ(suite->Get("after-kill"), Value(round));
  }

  sqlite3* db = nullptr;
  std::string file = config_.app_group_root + "/" + kGroup + "/" + kAppGroupDefaultsFile;
  ASSERT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* check = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
  sqlite3_finalize(check);
  sqlite3_close(db);
}

TEST_F(MultiProcessDefaults, OpenHandleSeesAnotherProcessesChangesAtTheNextRead) {
  Pipe to_child;
  Pipe to_parent;
  pid_t child = ForkChild([&] {
    to_child.CloseWrite();
    to_parent.CloseRead();
    auto system = OpenUserDefaultsSystem(config_);
    auto suite = system->Suite(kGroup);
    if (!suite) return 10;
    if (!to_child.Receive() || !suite->Set("k", "one") || !to_parent.Send()) return 11;
    if (!to_child.Receive() || !suite->Set("k", "two") || !to_parent.Send()) return 12;
    if (!to_child.Receive() || !suite->Remove("k") || !to_parent.Send()) return 13;
    return 0;
  });
  ASSERT_GT(child, 0);
  to_child.CloseRead();
  to_parent.CloseWrite();

  auto system = OpenUserDefaultsSystem(config_);
  auto suite = system->Suite(kGroup);
  ASSERT_NE(suite, nullptr);
  ASSERT_TRUE(suite->Set("parent", 1));  // the connection is open from here on
  EXPECT_EQ(suite->Get("k"), std::nullopt);

  ASSERT_TRUE(to_child.Send() && to_parent.Receive());
  EXPECT_EQ(suite->Get("k"), Value("one"));
  ASSERT_TRUE(to_child.Send() && to_parent.Receive());
  EXPECT_EQ(suite->Get("k"), Value("two"));
  EXPECT_EQ(suite->Dictionary(), (ValueMap{{"k", "two"}, {"parent", 1}}));
  ASSERT_TRUE(to_child.Send() && to_parent.Receive());
  EXPECT_EQ(suite->Get("k"), std::nullopt);
  EXPECT_EQ(WaitFor(child), 0);
}

}  // namespace
}  // namespace kelvo
