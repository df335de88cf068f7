#include "platform/defaults/defaults_failure.h"
#include "platform/defaults/user_defaults.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "gtest/gtest.h"
#include "platform/defaults/fake_user_defaults.h"
#include "platform/fs/test_dir.h"

namespace kelvo {
namespace {

namespace fs = std::filesystem;

constexpr const char* kGroup = "group.net.kelvo.app";

unsigned ModeOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

// Runs SQL on a file through a connection of its own.
void RawExec(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 5000);
  char* error = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

// One value of each kind the store must keep intact (the codec's own tests
// cover every encoding; these are the ones a store could mangle).
ValueList EveryKindOfValue() {
  return {
      Value(false),
      Value(int64_t{1} << 40),
      Value(std::nan("")),
      Value("añadir → más…"),
      Value(std::string("nul\0inside", 10)),
      Value(Value::Bytes{0, 255, 7}),
      Value(Value::Float64List{2.25, -0.0}),
      Value(ValueMap{{1, "int key"}, {"k", ValueList{true}}}),
      Value::Custom(129, ValueList{Value("x")}),
  };
}

class SqliteDefaults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    config_.app_group_root = dir_.path() + "/groups";
    config_.data_home = dir_.path() + "/data";
    ASSERT_EQ(mkdir(config_.app_group_root.c_str(), 0755), 0);
  }
  std::string GroupFile() const {
    return config_.app_group_root + "/" + kGroup + "/" + kAppGroupDefaultsFile;
  }
  std::string UserFile(const std::string& name) const {
    return config_.data_home + "/kelvo/defaults/" + name + ".sqlite3";
  }

  TestDir dir_;
  DefaultsConfig config_;
};

// Behaviour that the SQLite system and the in-memory fake must share; the
// parameter says whether the system is the SQLite one.
class DefaultsBehaviour : public SqliteDefaults, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    SqliteDefaults::SetUp();
    system_ = GetParam() ? OpenUserDefaultsSystem(config_)
                         : MakeInMemoryUserDefaultsSystem(nullptr, config_);
  }
  std::unique_ptr<UserDefaultsSystem> system_;
};

TEST_P(DefaultsBehaviour, RoundTripsEveryValueType) {
  auto suite = system_->Suite(kGroup);
  ASSERT_NE(suite, nullptr);
  ValueList values = EveryKindOfValue();
  for (size_t i = 0; i < values.size(); ++i) {
    ASSERT_TRUE(suite->Set("k" + std::to_string(i), values[i])) << values[i];
  }
  ASSERT_TRUE(suite->Set("ключ", "utf-8 key"));
  ASSERT_TRUE(suite->Set("", "empty key"));

  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(suite->Get("k" + std::to_string(i)), values[i]) << values[i];
  }
  EXPECT_EQ(suite->Get("ключ"), Value("utf-8 key"));
  EXPECT_EQ(suite->Get(""), Value("empty key"));
  std::optional<ValueMap> stored = system_->PersistentDomain(kGroup);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->size(), values.size() + 2);

  // Overwriting may change the type; storing null removes.
  ASSERT_TRUE(suite->Set("k0", ValueList{"now a list"}));
  EXPECT_EQ(suite->Get("k0"), Value(ValueList{"now a list"}));
  ASSERT_TRUE(suite->Set("k1", Value()));
  EXPECT_EQ(suite->Get("k1"), std::nullopt);
}

TEST_P(DefaultsBehaviour, LooksThroughOwnThenGlobalThenRegistered) {
  system_->RegisterDefaults({{"a", "registered"}, {"b", "registered"}, {"c", "registered"}});
  system_->RegisterDefaults({{"c", "registered again"}, {7, "not a string key"}});
  auto global = system_->GlobalDomain();
  ASSERT_TRUE(global->Set("a", "global"));
  ASSERT_TRUE(global->Set("b", "global"));
  auto standard = system_->Standard();
  EXPECT_EQ(standard->domain(), config_.bundle_id);
  ASSERT_TRUE(standard->Set("a", "own"));

  EXPECT_EQ(standard->Get("a"), Value("own"));
  EXPECT_EQ(standard->Get("b"), Value("global"));
  EXPECT_EQ(standard->Get("c"), Value("registered again"));
  EXPECT_EQ(standard->Get("d"), std::nullopt);

  ValueMap expected{{"a", "own"}, {"b", "global"}, {"c", "registered again"}};
  EXPECT_EQ(standard->Dictionary(), expected);
  // The persistent domain holds only what was stored in it.
  EXPECT_EQ(system_->PersistentDomain(config_.bundle_id), (ValueMap{{"a", "own"}}));
  EXPECT_EQ(system_->PersistentDomain(kGlobalDomainName),
            (ValueMap{{"a", "global"}, {"b", "global"}}));

  // Suites have the same search list behind their own domain.
  auto suite = system_->Suite(kGroup);
  ASSERT_NE(suite, nullptr);
  EXPECT_EQ(suite->Get("a"), Value("global"));

  // Removing touches the own domain only; the wider lookup shows through.
  EXPECT_TRUE(standard->Remove("a"));
  EXPECT_TRUE(standard->Remove("never stored"));
  EXPECT_EQ(standard->Get("a"), Value("global"));
  EXPECT_EQ(system_->PersistentDomain(config_.bundle_id), ValueMap{});
}

TEST_P(DefaultsBehaviour, RefusesSuiteNamesThePlatformRefuses) {
  for (std::string name : {std::string(kGlobalDomainName), config_.bundle_id, std::string(),
                           std::string("."), std::string(".."), std::string("a/b"),
                           std::string("/abs"), std::string("nul\0x", 5), std::string(201, 'x')}) {
    EXPECT_EQ(system_->Suite(name), nullptr) << name;
  }
  EXPECT_NE(system_->Suite(std::string(200, 'x')), nullptr);
  EXPECT_NE(system_->Suite("other.suite"), nullptr);
  EXPECT_EQ(system_->PersistentDomain("a/b"), std::nullopt);
}

TEST_P(DefaultsBehaviour, DomainsAreSeparateAndUnwrittenOnesHaveNoStore) {
  auto group = system_->Suite(kGroup);
  auto other = system_->Suite("other.suite");
  ASSERT_NE(group, nullptr);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(system_->PersistentDomain("other.suite"), std::nullopt);
  EXPECT_EQ(other->Dictionary(), ValueMap{});

  ASSERT_TRUE(group->Set("k", "group"));
  ASSERT_TRUE(other->Set("k", "other"));
  EXPECT_EQ(system_->Standard()->Get("k"), std::nullopt);
  EXPECT_EQ(system_->Suite(kGroup)->Get("k"), Value("group"));
  EXPECT_EQ(system_->Suite("other.suite")->Get("k"), Value("other"));

  EXPECT_EQ(system_->AppGroupContainer(kGroup), config_.app_group_root + "/" + kGroup);
  EXPECT_EQ(system_->AppGroupContainer("group.not.ours"), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(SqliteAndFake, DefaultsBehaviour, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Sqlite" : "InMemory"; });

TEST(FakeUserDefaults, ControlsMakeSuitesUnavailableAndWritesFail) {
  auto controls = std::make_shared<FakeDefaultsControls>();
  auto system = MakeInMemoryUserDefaultsSystem(controls);
  ASSERT_TRUE(system->Suite(kGroup)->Set("k", "v"));

  controls->suites_available = false;
  EXPECT_EQ(system->Suite(kGroup), nullptr);
  EXPECT_EQ(system->Suite("other.suite"), nullptr);
  EXPECT_NE(system->Standard(), nullptr);

  controls->suites_available = true;
  EXPECT_EQ(system->Suite(kGroup)->Get("k"), Value("v"));
  controls->writes_fail = true;
  EXPECT_FALSE(system->Suite(kGroup)->Set("k", "w"));
  EXPECT_FALSE(system->Suite(kGroup)->Remove("k"));
  EXPECT_EQ(system->Suite(kGroup)->Get("k"), Value("v"));
}

TEST_F(SqliteDefaults, PersistsInTheDocumentedFilesWithTheirModes) {
  {
    auto system = OpenUserDefaultsSystem(config_);
    // Reads of unwritten domains create nothing.
    EXPECT_EQ(system->Standard()->Get("k"), std::nullopt);
    EXPECT_FALSE(fs::exists(config_.data_home));
    ASSERT_TRUE(system->Standard()->Set("k", "own"));
    ASSERT_TRUE(system->Suite(kGroup)->Set("k", "group"));
    ASSERT_TRUE(system->Suite("other.suite")->Set("k", "other"));
  }
  EXPECT_EQ(ModeOf(UserFile(config_.bundle_id)), 0600u);
  EXPECT_EQ(ModeOf(UserFile("other.suite")), 0600u);
  EXPECT_EQ(ModeOf(config_.data_home + "/kelvo/defaults"), 0700u);
  EXPECT_EQ(ModeOf(GroupFile()), 0660u);
  EXPECT_EQ(ModeOf(config_.app_group_root + "/" + kGroup), 02770u);

  auto system = OpenUserDefaultsSystem(config_);
  EXPECT_EQ(system->Standard()->Get("k"), Value("own"));
  EXPECT_EQ(system->Suite(kGroup)->Get("k"), Value("group"));
  EXPECT_EQ(system->Suite("other.suite")->Get("k"), Value("other"));
}

TEST_F(SqliteDefaults, AppGroupSuiteNeedsAUsableContainerOrRoot) {
  DefaultsConfig missing = config_;
  missing.app_group_root = dir_.path() + "/no-such-root";
  auto system = OpenUserDefaultsSystem(missing);
  EXPECT_EQ(system->Suite(kGroup), nullptr);
  EXPECT_EQ(system->PersistentDomain(kGroup), std::nullopt);
  EXPECT_FALSE(fs::exists(missing.app_group_root));
  // Plain suites live elsewhere and still open.
  EXPECT_NE(system->Suite("other.suite"), nullptr);

  // The root appears later: the next open finds it and makes the container.
  ASSERT_EQ(mkdir(missing.app_group_root.c_str(), 0755), 0);
  auto suite = system->Suite(kGroup);
  ASSERT_NE(suite, nullptr);
  EXPECT_TRUE(fs::is_directory(missing.app_group_root + "/" + kGroup));
  EXPECT_TRUE(suite->Set("k", "v"));

  DefaultsConfig file_root = config_;
  file_root.app_group_root = dir_.path() + "/a-file";
  std::ofstream(file_root.app_group_root) << "not a directory";
  EXPECT_EQ(OpenUserDefaultsSystem(file_root)->Suite(kGroup), nullptr);

  DefaultsConfig relative = config_;
  relative.app_group_root = "relative/root";
  EXPECT_EQ(OpenUserDefaultsSystem(relative)->Suite(kGroup), nullptr);
}

TEST_F(SqliteDefaults, WithoutADataDirectoryUserDomainsHaveNoStore) {
  config_.data_home.clear();
  auto system = OpenUserDefaultsSystem(config_);
  EXPECT_FALSE(system->Standard()->Set("k", "v"));
  EXPECT_EQ(system->Standard()->Get("k"), std::nullopt);
  EXPECT_EQ(system->Suite("other.suite"), nullptr);
  // App Group suites do not depend on it.
  EXPECT_TRUE(system->Suite(kGroup)->Set("k", "v"));
}

TEST_F(SqliteDefaults, FollowsTheFileWhenItIsDeletedOrReplaced) {
  auto system = OpenUserDefaultsSystem(config_);
  auto suite = system->Suite(kGroup);
  ASSERT_TRUE(suite->Set("k", "first"));
  ASSERT_EQ(suite->Get("k"), Value("first"));

  // Replaced, as a restore from backup would do it: the old journal files
  // removed and a new database renamed over the old one.
  std::string replacement = dir_.path() + "/replacement.sqlite3";
  RawExec(replacement,
          "CREATE TABLE defaults(key TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL) "
          "WITHOUT ROWID; INSERT INTO defaults VALUES('k', x'07027265')");  // codec "re"
  for (const char* suffix : {"-wal", "-shm"}) fs::remove(GroupFile() + suffix);
  ASSERT_EQ(rename(replacement.c_str(), GroupFile().c_str()), 0);
  EXPECT_EQ(suite->Get("k"), Value("re"));

  // Deleted: nothing is found, and the next write starts a new file.
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(GroupFile() + suffix);
  EXPECT_EQ(suite->Get("k"), std::nullopt);
  EXPECT_EQ(system->PersistentDomain(kGroup), std::nullopt);
  ASSERT_TRUE(suite->Set("k", "again"));
  EXPECT_EQ(suite->Get("k"), Value("again"));
  EXPECT_EQ(ModeOf(GroupFile()), 0660u);
}

TEST_F(SqliteDefaults, SkipsUndecodableValuesAndKeepsTheRest) {
  auto system = OpenUserDefaultsSystem(config_);
  auto suite = system->Suite(kGroup);
  ASSERT_TRUE(suite->Set("good", 1));
  RawExec(GroupFile(), "INSERT INTO defaults VALUES('bad', x'07ff01')");
  EXPECT_EQ(suite->Get("bad"), std::nullopt);
  EXPECT_EQ(suite->Get("good"), Value(1));
  EXPECT_EQ(suite->Dictionary(), (ValueMap{{"good", 1}}));
  EXPECT_TRUE(suite->Set("bad", "fixed"));
  EXPECT_EQ(suite->Get("bad"), Value("fixed"));
}

TEST_F(SqliteDefaults, ThreadsShareOneConnectionSafely) {
  auto system = OpenUserDefaultsSystem(config_);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&system, t] {
      auto suite = system->Suite(kGroup);  // handles of one system share the file
      for (int i = 0; i < 25; ++i) {
        std::string key = "t" + std::to_string(t) + "-" + std::to_string(i);
        EXPECT_TRUE(suite->Set(key, i));
        EXPECT_EQ(suite->Get(key), Value(i));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(system->PersistentDomain(kGroup)->size(), 100u);
}

TEST(DefaultsConfig, ComesFromTheEnvironment) {
  std::vector<std::pair<const char*, std::optional<std::string>>> saved;
  for (const char* name : {"KELVO_APP_GROUP_ROOT", "XDG_DATA_HOME", "HOME"}) {
    const char* v = std::getenv(name);
    saved.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
  }

  setenv("KELVO_APP_GROUP_ROOT", "/srv/groups/", 1);
  setenv("XDG_DATA_HOME", "/xdg/data", 1);
  DefaultsConfig config = DefaultsConfig::FromEnvironment();
  EXPECT_EQ(config.app_group_root, "/srv/groups");
  EXPECT_EQ(config.data_home, "/xdg/data");

  unsetenv("KELVO_APP_GROUP_ROOT");
  setenv("XDG_DATA_HOME", "relative/is/ignored", 1);
  setenv("HOME", "/home/someone", 1);
  config = DefaultsConfig::FromEnvironment();
  EXPECT_EQ(config.app_group_root, kDefaultAppGroupRoot);
  EXPECT_EQ(config.data_home, "/home/someone/.local/share");
  EXPECT_EQ(config.error, "");

  // Relative: the root is refused, the user domains have no store and
  // their writes say why.
  setenv("KELVO_APP_GROUP_ROOT", "groups", 1);
  setenv("HOME", "home/someone", 1);
  config = DefaultsConfig::FromEnvironment();
  EXPECT_EQ(config.error, "KELVO_APP_GROUP_ROOT is not an absolute path: groups");
  EXPECT_EQ(config.app_group_root, "");
  EXPECT_EQ(config.data_home, "");
  EXPECT_EQ(config.data_home_error,
            "no home directory: HOME is not an absolute path: home/someone");
  EXPECT_FALSE(OpenUserDefaultsSystem(config)->Standard()->Set("k", Value(1)));
  EXPECT_EQ(LastDefaultsFailure(), "not written: k (" + config.data_home_error + ")");

  for (const auto& [name, value] : saved) value ? setenv(name, value->c_str(), 1) : unsetenv(name);
}

}  // namespace
}  // namespace kelvo
