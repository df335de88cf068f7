#include "platform/notifications/notification_spool.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kelvo {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Optional;

class SpoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelvo-spool-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    container_ = root_ + "/group.net.kelvo.app";
    fs::create_directory(container_);
  }
  void TearDown() override { fs::remove_all(root_); }

  static void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static unsigned Mode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
  }
  std::vector<std::string> SpoolNames() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(NotificationSpoolDir(container_))) {
      names.push_back(e.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string root_;
  std::string container_;
};

SpooledNotification Broken(long long seconds, std::string body) {
  return {{"kelvo.tunnel.broken." + std::to_string(seconds), {"Kelvo", std::move(body), true}, 1.0,
           false},
          static_cast<double>(seconds) + 0.25};
}

TEST_F(SpoolTest, RoundTripSortedReplaceAndRemove) {
  SpooledNotification first = Broken(1800000031, "VPN tunnel is not responding.");
  SpooledNotification second = Broken(1800000000, "El túnel no responde — revísalo…");
  SpooledNotification silent = {{"z", {"", "", false}, 60, true}, 0};
  ASSERT_EQ(SpoolNotification(container_, first), std::nullopt);
  ASSERT_EQ(SpoolNotification(container_, second), std::nullopt);
  ASSERT_EQ(SpoolNotification(container_, silent), std::nullopt);

  // Files only, under their final names, shared with the App Group's group.
  EXPECT_THAT(SpoolNames(), ElementsAre("kelvo.tunnel.broken.1800000000.json",
                                        "kelvo.tunnel.broken.1800000031.json", "z.json"));
  EXPECT_EQ(Mode(NotificationsDir(container_)), 02770u);
  EXPECT_EQ(Mode(NotificationSpoolDir(container_)), 02770u);
  EXPECT_EQ(Mode(NotificationSpoolDir(container_) + "/z.json"), 0660u);

  SpoolReader reader(container_);
  SpoolReader::Listing listing = reader.Pending();
  EXPECT_EQ(listing.error, std::nullopt);
  ASSERT_EQ(listing.entries.size(), 3u);
  EXPECT_THAT(listing.entries[0].notification, Optional(second));
  EXPECT_THAT(listing.entries[1].notification, Optional(first));
  EXPECT_THAT(listing.entries[2].notification, Optional(silent));

  // The same identifier again replaces the pending file.
  second.request.content.body = "otra vez";
  ASSERT_EQ(SpoolNotification(container_, second), std::nullopt);
  EXPECT_THAT(reader.Pending().entries[0].notification, Optional(second));

  EXPECT_EQ(reader.Remove("kelvo.tunnel.broken.1800000000.json"), std::nullopt);
  EXPECT_EQ(reader.Remove("kelvo.tunnel.broken.1800000000.json"), std::nullopt);  // already gone
  EXPECT_THAT(reader.Remove("../authorization.json"), Optional(HasSubstr("not a notification")));
  EXPECT_THAT(reader.Remove(".z.json.tmp-1-0"), Optional(HasSubstr("not a notification")));
  EXPECT_EQ(reader.Pending().entries.size(), 2u);

  // Text that is not UTF-8 is replaced, not refused.
  second.request.content.body = "a\xff" "b";
  ASSERT_EQ(SpoolNotification(container_, second), std::nullopt);
  ASSERT_TRUE(reader.Pending().entries[0].notification);
  EXPECT_EQ(reader.Pending().entries[0].notification->request.content.body, "a\xEF\xBF\xBD" "b");
}

TEST_F(SpoolTest, ReaderSeesOnlyCompleteFiles) {
  SpoolReader reader(container_);
  // No spool folder yet: nothing pending, no error.
  SpoolReader::Listing empty = reader.Pending();
  EXPECT_THAT(empty.entries, IsEmpty());
  EXPECT_EQ(empty.error, std::nullopt);

  ASSERT_EQ(SpoolNotification(container_, Broken(1, "b")), std::nullopt);
  const std::string dir = NotificationSpoolDir(container_);
  // What a writer caught halfway leaves behind, and stray files.
  WriteFile(dir + "/.kelvo.tunnel.broken.2.json.tmp-99-0", "{\"identifier\": \"kelvo.tun");
  WriteFile(dir + "/notes.txt", "hello");
  WriteFile(dir + "/.json", "{}");
  SpoolReader::Listing listing = reader.Pending();
  ASSERT_EQ(listing.entries.size(), 1u);
  EXPECT_EQ(listing.entries[0].file_name, "kelvo.tunnel.broken.1.json");
  EXPECT_TRUE(listing.entries[0].notification.has_value());
}

TEST_F(SpoolTest, MalformedSpoolFilesAreListedWithTheReason) {
  ASSERT_EQ(SpoolNotification(container_, Broken(5, "good")), std::nullopt);
  const std::string dir = NotificationSpoolDir(container_);
  const std::string valid_tail =
      R"("title":"T","body":"B","sound":"default","trigger_seconds":1.0,"repeats":false,"created_at":1})";
  struct Case {
    std::string name, text, reason;
  };
  const std::vector<Case> cases = {
      {"a1", "{", "not valid JSON"},
      {"a2", "[1,2]", "not a JSON object"},
      {"a3", R"({"identifier":"a3","body":"B","sound":null,"trigger_seconds":1,"repeats":false,"created_at":1})",
       "\"title\""},
      {"a5", R"({"identifier":"a5","title":"T","body":"B","sound":"chime","trigger_seconds":1,"repeats":false,"created_at":1})",
       "unknown sound"},
      {"a6", R"({"identifier":"a6","title":"T","body":"B","sound":null,"trigger_seconds":0,"repeats":false,"created_at":1})",
       "greater than 0"},
      {"a7", R"({"identifier":"a7","title":"T","body":"B","sound":null,"trigger_seconds":5,"repeats":true,"created_at":1})",
       "at least 60"},
      {"a8", R"({"identifier":"other",)" + valid_tail, "does not match the file name"},
      {"a9", "{\"identifier\":\"a9\",\"title\":\"\xff\"," + valid_tail.substr(12), "not valid JSON"},
      {"b1", R"({"identifier":"b1","title":"T","body":"B","sound":null,"trigger_seconds":"1","repeats":false,"created_at":1})",
       "\"trigger_seconds\""},
      {"b2", std::string(kMaxNotificationFileBytes + 1, ' '), "too large"},
  };
  for (const Case& c : cases) WriteFile(dir + "/" + c.name + ".json", c.text);
  fs::create_directory(dir + "/b3.json");

  SpoolReader::Listing listing = SpoolReader(container_).Pending();
  ASSERT_EQ(listing.entries.size(), cases.size() + 2);
  for (size_t i = 0; i < cases.size(); ++i) {
    const SpoolReader::Entry& e = listing.entries[i];
    EXPECT_EQ(e.file_name, cases[i].name + ".json");
    EXPECT_FALSE(e.notification.has_value()) << e.file_name;
    EXPECT_THAT(e.error, HasSubstr(cases[i].reason)) << e.file_name;
  }
  EXPECT_THAT(listing.entries[cases.size()].error, HasSubstr("not a regular file"));
  EXPECT_TRUE(listing.entries.back().notification.has_value());  // the good one is unharmed
}

TEST_F(SpoolTest, AuthorizationRoundTripAndBadFiles) {
  std::string problem = "stale";
  EXPECT_EQ(ReadAuthorization(container_, &problem), AuthorizationStatus::notDetermined);
  EXPECT_EQ(problem, "");  // a missing file is no problem

  for (int s = 0; s <= 4; ++s) {
    auto status = static_cast<AuthorizationStatus>(s);
    ASSERT_EQ(RecordAuthorization(container_, status), std::nullopt);
    EXPECT_EQ(ReadAuthorization(container_), status);
  }
  EXPECT_EQ(Mode(AuthorizationFilePath(container_)), 0660u);

  for (const char* text : {"", "not json", "[2]", R"({"status":"2"})", R"({"status":2.0})",
                           R"({"status":5})", R"({"status":-1})",
                           R"({"status":18446744073709551615})", R"({"other":2})"}) {
    WriteFile(AuthorizationFilePath(container_), text);
    problem.clear();
    EXPECT_EQ(ReadAuthorization(container_, &problem), AuthorizationStatus::notDetermined) << text;
    EXPECT_THAT(problem, HasSubstr("authorization.json")) << text;
  }
  fs::remove(AuthorizationFilePath(container_));
  fs::create_directory(AuthorizationFilePath(container_));
  EXPECT_EQ(ReadAuthorization(container_, &problem), AuthorizationStatus::notDetermined);
  EXPECT_THAT(problem, HasSubstr("not a regular file"));
}

TEST_F(SpoolTest, WritesThatCannotHappenSayWhy) {
  const std::string file = root_ + "/plain-file";
  WriteFile(file, "x");
  // Tests run as root, so modes would not stop a write; paths that cannot
  // be folders do.
  for (const std::string& gone : {file + "/group", root_ + "/missing"}) {
    EXPECT_THAT(SpoolNotification(gone, Broken(1, "b")), Optional(HasSubstr("does not exist")));
    EXPECT_THAT(RecordAuthorization(gone, AuthorizationStatus::authorized),
                Optional(HasSubstr("does not exist")));
  }

  // "notifications" taken by a file: the spool folder cannot be made.
  WriteFile(NotificationsDir(container_), "x");
  EXPECT_THAT(SpoolNotification(container_, Broken(1, "b")),
              Optional(HasSubstr("cannot create the folder " + NotificationsDir(container_))));
  fs::remove(NotificationsDir(container_));

  // The target name taken by a folder: the rename fails and the temporary
  // file does not stay behind.
  fs::create_directories(NotificationSpoolDir(container_) + "/kelvo.tunnel.broken.1.json");
  EXPECT_THAT(SpoolNotification(container_, Broken(1, "b")),
              Optional(HasSubstr("cannot move into place")));
  EXPECT_THAT(SpoolNames(), ElementsAre("kelvo.tunnel.broken.1.json"));

  // Requests the platform would refuse are not written at all.
  SpooledNotification bad = Broken(2, "b");
  bad.request.identifier = "../escape";
  EXPECT_THAT(SpoolNotification(container_, bad), Optional(HasSubstr("identifier")));
  EXPECT_THAT(SpoolNames(), ElementsAre("kelvo.tunnel.broken.1.json"));
}

// A body larger than a spool file carries is cut, never split inside a
// character, and still delivered.
TEST_F(SpoolTest, LongBodiesAreCutAtACharacterBoundaryAndDelivered) {
  const std::string ellipsis = "\u2026";
  struct Case {
    std::string body;
    size_t unit;  // bytes per character
  } cases[] = {
      {std::string(70000, 'a'), 1},
      {[] { std::string s; for (int i = 0; i < 40000; ++i) s += "\u00e1"; return "x" + s; }(), 2},
      // Control characters take six bytes each once written.
      {std::string(20000, '\x01'), 1},
  };
  for (const Case& c : cases) {
    std::string cut;
    ASSERT_EQ(SpoolNotification(container_, Broken(9, c.body), &cut), std::nullopt);
    auto listing = SpoolReader(container_).Pending();
    ASSERT_EQ(listing.entries.size(), 1u);
    ASSERT_TRUE(listing.entries[0].notification) << listing.entries[0].error;
    const std::string& got = listing.entries[0].notification->request.content.body;
    ASSERT_TRUE(got.ends_with(ellipsis)) << got.size();
    std::string kept = got.substr(0, got.size() - ellipsis.size());
    EXPECT_EQ(c.body.compare(0, kept.size(), kept), 0) << "a prefix of the original";
    EXPECT_EQ((kept.size() - (c.unit == 2 ? 1 : 0)) % c.unit, 0u) << "whole characters only";
    EXPECT_GT(fs::file_size(NotificationSpoolDir(container_) + "/kelvo.tunnel.broken.9.json"),
              kMaxNotificationFileBytes - 16)
        << "as much as fits is kept";
    EXPECT_THAT(cut, HasSubstr("body cut from " + std::to_string(c.body.size()) + " to " +
                               std::to_string(kept.size()) + " bytes"));
    ASSERT_EQ(SpoolReader(container_).Remove("kelvo.tunnel.broken.9.json"), std::nullopt);
  }

  std::string untouched = "unchanged";
  ASSERT_EQ(SpoolNotification(container_, Broken(10, std::string(1000, 'b')), &untouched),
            std::nullopt);
  EXPECT_EQ(untouched, "unchanged") << "nothing cut, nothing said";
  SpooledNotification huge_title = Broken(11, "b");
  huge_title.request.content.title = std::string(kMaxNotificationFileBytes, 't');
  EXPECT_THAT(SpoolNotification(container_, huge_title), Optional(HasSubstr("does not fit")));
}

}  // namespace
}  // namespace kelvo
