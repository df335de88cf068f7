#include "services/paths/path_provider_plugin.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "platform/defaults/fake_user_defaults.h"
#include "platform/fs/test_dir.h"
#include "platform/dispatch/virtual_dispatch.h"
#include "platform/engine/in_process_messenger.h"

namespace kelvo {
namespace {

using Env = std::map<std::string, std::string>;
using T = DirectoryType;

EnvironmentLookup Lookup(Env env) {
  return [env = std::move(env)](const std::string& name) -> std::optional<std::string> {
    auto it = env.find(name);
    if (it == env.end()) return std::nullopt;
    return it->second;
  };
}

PathProviderPlugin Plugin(Env env, std::string bundle_identifier = "net.kelvo.app") {
  return PathProviderPlugin({std::move(bundle_identifier), Lookup(std::move(env)), nullptr});
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

// The six types in their integer order.
std::vector<std::optional<std::string>> AllPaths(const PathProviderPlugin& plugin) {
  std::vector<std::optional<std::string>> paths;
  for (int t = 0; t <= 5; ++t) paths.push_back(plugin.GetDirectoryPath(static_cast<T>(t)));
  return paths;
}

using P = std::vector<std::optional<std::string>>;

TEST(PathsDirectories, MapsEachTypeToItsXdgDirectory) {
  // Defaults below home; only support and application cache carry the
  // bundle identifier, so temp is the cache directory itself.
  EXPECT_EQ(AllPaths(Plugin({{"HOME", "/home/ana/"}})),
            (P{"/home/ana/Documents", "/home/ana/.local/share/net.kelvo.app",
               "/home/ana/Downloads", "/home/ana/.local", "/home/ana/.cache",
               "/home/ana/.cache/net.kelvo.app"}));
  // The XDG variables move support and caches; relative values are ignored.
  EXPECT_EQ(AllPaths(Plugin({{"HOME", "/h"}, {"XDG_DATA_HOME", "/data/"}, {"XDG_CACHE_HOME", "/c"}})),
            (P{"/h/Documents", "/data/net.kelvo.app", "/h/Downloads", "/h/.local", "/c",
               "/c/net.kelvo.app"}));
  EXPECT_EQ(AllPaths(Plugin({{"HOME", "/h"}, {"XDG_DATA_HOME", "d"}, {"XDG_CACHE_HOME", "./c"}})),
            AllPaths(Plugin({{"HOME", "/h"}})));
  // A root home directory makes no doubled slashes.
  EXPECT_EQ(Plugin({{"HOME", "/"}}).GetDirectoryPath(T::kApplicationSupport),
            "/.local/share/net.kelvo.app");
}

TEST(PathsDirectories, DocumentsAndDownloadsComeFromUserDirsReadAtEachCall) {
  TestDir dir;
  const std::string home = dir.path();
  std::filesystem::create_directories(home + "/.config");
  // Without XDG_CONFIG_HOME the file is ~/.config/user-dirs.dirs.
  PathProviderPlugin plugin = Plugin({{"HOME", home}});
  WriteFile(home + "/.config/user-dirs.dirs",
            "XDG_DOCUMENTS_DIR=\"$HOME/Mis documentos\"\nXDG_DOWNLOAD_DIR=\"/srv/dl\"\n");
  EXPECT_EQ(plugin.GetDirectoryPath(T::kApplicationDocuments), home + "/Mis documentos");
  EXPECT_EQ(plugin.GetDirectoryPath(T::kDownloads), "/srv/dl");
  WriteFile(home + "/.config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"/srv/docs\"\n");
  EXPECT_EQ(plugin.GetDirectoryPath(T::kApplicationDocuments), "/srv/docs");
  EXPECT_EQ(plugin.GetDirectoryPath(T::kDownloads), home + "/Downloads");

  // XDG_CONFIG_HOME names the file's directory.
  std::filesystem::create_directories(home + "/cfg");
  WriteFile(home + "/cfg/user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"$HOME/dl\"\n");
  EXPECT_EQ(Plugin({{"HOME", home}, {"XDG_CONFIG_HOME", home + "/cfg"}})
                .GetDirectoryPath(T::kDownloads),
            home + "/dl");
}

TEST(PathsDirectories, AnswersNullWhenThereIsNoSuchDirectory) {
  // No home directory: only what absolute XDG variables name is known.
  EXPECT_EQ(AllPaths(Plugin({})), P(6));
  EXPECT_EQ(AllPaths(Plugin({{"HOME", "relative/home"}})), P(6));
  EXPECT_EQ(AllPaths(Plugin({{"XDG_DATA_HOME", "/d"}, {"XDG_CACHE_HOME", "/c"}})),
            (P{std::nullopt, "/d/net.kelvo.app", std::nullopt, std::nullopt, "/c",
               "/c/net.kelvo.app"}));
  // No bundle identifier: no per-application directories.
  EXPECT_EQ(AllPaths(Plugin({{"HOME", "/h"}}, "")),
            (P{"/h/Documents", std::nullopt, "/h/Downloads", "/h/.local", "/h/.cache",
               std::nullopt}));
  // A type outside the enumeration (a caller's cast) is no directory.
  EXPECT_EQ(Plugin({{"HOME", "/h"}}).GetDirectoryPath(static_cast<T>(6)), std::nullopt);
}

// The typed-message channels as the user interface uses them.
class PathsChannels : public ::testing::Test {
 protected:
  PathsChannels() {
    DefaultsConfig config;
    config.app_group_root = "/groups";
    defaults_ = MakeInMemoryUserDefaultsSystem(nullptr, config);
    UserDefaultsSystem* defaults = defaults_.get();
    PathProviderPlugin::SetUp(
        messenger_.get(),
        std::make_shared<PathProviderPlugin>(PathProviderPlugin::Sources{
            "net.kelvo.app", Lookup({{"HOME", "/home/ana"}}),
            [defaults](const std::string& g) { return defaults->AppGroupContainer(g); }}));
  }

  // The decoded reply to `message` (raw bytes), or nullopt for none.
  std::optional<Value> SendBytes(const std::string& channel, Payload message) {
    std::optional<Value> reply;
    messenger_->SendFromInterface(channel, std::move(message), [&](Payload data) {
      if (!data) return;
      auto decoded = PathProviderCodec().Decode(*data);
      reply = decoded.ok() ? decoded.value() : Value("<reply does not decode>");
    });
    dispatch_.RunUntilIdle();
    return reply;
  }
  std::optional<Value> Send(const std::string& channel, const Value& request) {
    return SendBytes(channel, PathProviderCodec().Encode(request));
  }
  static Value Ok(Value v) { return Value(ValueList{std::move(v)}); }
  static bool IsBadRequest(const std::optional<Value>& reply) {
    return reply && reply->is_list() && reply->as_list().size() == 3 &&
           reply->as_list()[0] == Value("bad-request") && reply->as_list()[1].is_string();
  }

  VirtualDispatch dispatch_;
  std::shared_ptr<InProcessMessenger> messenger_ =
      std::make_shared<InProcessMessenger>(dispatch_.MainQueue());
  std::unique_ptr<UserDefaultsSystem> defaults_;
};

TEST_F(PathsChannels, DirectoryTypeTravelsAsTag129AndItsInteger) {
  // [library]: list of one, tag 129, int32 3.
  const std::vector<uint8_t> wire = {12, 1, 129, 3, 3, 0, 0, 0};
  EXPECT_EQ(PathProviderCodec().Encode(Value(ValueList{DirectoryTypeValue(T::kLibrary)})), wire);
  EXPECT_EQ(SendBytes(kGetDirectoryPathChannel, wire), Ok("/home/ana/.local"));
  EXPECT_EQ(Send(kGetDirectoryPathChannel, ValueList{DirectoryTypeValue(T::kApplicationSupport)}),
            Ok("/home/ana/.local/share/net.kelvo.app"));
}

TEST_F(PathsChannels, OutOfRangeTypesAreNullAndWrongShapesAreErrors) {
  // Integers outside 0..5 (and anything else) after tag 129 read as no value.
  for (const Value& payload : {Value(6), Value(-1), Value(int64_t{1} << 40), Value("docs")}) {
    EXPECT_EQ(Send(kGetDirectoryPathChannel, ValueList{Value::Custom(129, payload)}),
              Ok(Value()))
        << payload;
  }
  EXPECT_EQ(Send(kGetDirectoryPathChannel, ValueList{Value()}), Ok(Value()));
  // A plain integer, another tag, a string, no argument, no list.
  for (const Value& request :
       {Value(ValueList{Value(3)}), Value(ValueList{Value::Custom(130, Value(3))}),
        Value(ValueList{Value("library")}), Value(ValueList{}), Value("library")}) {
    EXPECT_TRUE(IsBadRequest(Send(kGetDirectoryPathChannel, request))) << request;
  }
  EXPECT_TRUE(IsBadRequest(SendBytes(kGetDirectoryPathChannel, std::nullopt)));
}

TEST_F(PathsChannels, ContainersOnlyForTheApplicationsGroups) {
  EXPECT_EQ(Send(kGetContainerPathChannel, ValueList{Value("group.net.kelvo.app")}),
            Ok("/groups/group.net.kelvo.app"));
  EXPECT_EQ(Send(kGetContainerPathChannel, ValueList{Value("group.com.other.app")}),
            Ok(Value()));
  EXPECT_EQ(Send(kGetContainerPathChannel, ValueList{Value("")}), Ok(Value()));
  for (const Value& request : {Value(ValueList{Value(1)}), Value(ValueList{Value()}),
                               Value(ValueList{}), Value()}) {
    EXPECT_TRUE(IsBadRequest(Send(kGetContainerPathChannel, request))) << request;
  }
}

}  // namespace
}  // namespace kelvo
