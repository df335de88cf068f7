#include "services/package_info/package_info_plugin.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "platform/fs/test_dir.h"
#include "platform/dispatch/virtual_dispatch.h"
#include "platform/engine/in_process_messenger.h"
#include "services/package_info/bundle_info.h"

namespace kelvo {
namespace {

using Env = std::map<std::string, std::string>;

EnvironmentLookup Lookup(Env env) {
  return [env = std::move(env)](const std::string& name) -> std::optional<std::string> {
    auto it = env.find(name);
    if (it == env.end()) return std::nullopt;
    return it->second;
  };
}

ValueMap Expected(Value app_name, Value package, Value version, Value build, Value install,
                  Value update) {
  return ValueMap{{"appName", app_name},     {"packageName", package},
                  {"version", version},      {"buildNumber", build},
                  {"installerStore", Value()}, {"installTime", install},
                  {"updateTime", update}};
}

class PackageInfoTest : public ::testing::Test {
 protected:
  PackageInfoTest() {
    std::filesystem::create_directories(app_dir());
    std::filesystem::create_directories(home());
  }
  std::string app_dir() const { return dir_.path() + "/app"; }
  std::string bundle_file() const { return app_dir() + "/bundle.json"; }
  std::string home() const { return dir_.path() + "/home"; }

  // Writes the bundle file, then dates its directory 1.5 s after the epoch.
  void WriteBundle(const std::string& text) {
    std::ofstream(bundle_file()) << text;
    struct timespec times[2] = {{0, UTIME_OMIT}, {1, 500'000'000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, app_dir().c_str(), times, 0), 0);
  }

  // Calls `method` through a method channel as the user interface would.
  std::optional<Envelope> Call(const FPPPackageInfoPlusPlugin& plugin,
                               const std::string& method = "getAll",
                               const Value& arguments = Value()) {
    MethodChannel channel(messenger_.get(), kPackageInfoChannel);
    channel.SetMethodCallHandler(
        [&plugin](const MethodCall& call, std::shared_ptr<MethodResult> result) {
          plugin.HandleMethodCall(call, std::move(result));
        });
    std::optional<Envelope> reply;
    bool answered = false;
    messenger_->SendFromInterface(
        kPackageInfoChannel, MethodCodec::Standard().EncodeMethodCall({method, arguments}),
        [&](Payload data) {
          answered = true;
          if (data) reply = MethodCodec::Standard().DecodeEnvelope(*data).value();
        });
    dispatch_.RunUntilIdle();
    EXPECT_TRUE(answered);
    return reply;
  }
  FPPPackageInfoPlusPlugin Plugin(Env extra = {}) {
    extra["KELVO_BUNDLE_INFO"] = bundle_file();
    extra["HOME"] = home();
    return FPPPackageInfoPlusPlugin(Lookup(std::move(extra)));
  }

  TestDir dir_;
  VirtualDispatch dispatch_;
  std::shared_ptr<InProcessMessenger> messenger_ =
      std::make_shared<InProcessMessenger>(dispatch_.MainQueue());
};

TEST_F(PackageInfoTest, GetAllReadsTheBundleAtEachCall) {
  FPPPackageInfoPlusPlugin plugin = Plugin();
  WriteBundle(R"({"CFBundleDisplayName": "Kelvo", "CFBundleName": "kelvo",
                  "CFBundleIdentifier": "net.kelvo.app", "CFBundleShortVersionString": "0.1.0",
                  "CFBundleVersion": "7", "LSMinimumSystemVersion": 13})");
  // Outside a sandbox both times are the bundle directory's modification.
  EXPECT_EQ(Call(plugin), Envelope(Expected("Kelvo", "net.kelvo.app", "0.1.0", "7", "1500",
                                            "1500")));
  // No display name: the bundle name; neither: null. Null reads as absent.
  WriteBundle(R"({"CFBundleName": "kelvo", "CFBundleDisplayName": null})");
  EXPECT_EQ(Call(plugin), Envelope(Expected("kelvo", Value(), Value(), Value(), "1500", "1500")));
  WriteBundle("{}");
  EXPECT_EQ(Call(plugin), Envelope(Expected(Value(), Value(), Value(), Value(), "1500", "1500")));
  // Arguments do not matter.
  EXPECT_EQ(Call(plugin, "getAll", Value(ValueList{1, 2})),
            Envelope(Expected(Value(), Value(), Value(), Value(), "1500", "1500")));
}

TEST_F(PackageInfoTest, InASandboxTheInstallTimeIsTheDocumentsDirectorysBirth) {
  WriteBundle("{}");
  // The variable counts when present, even empty.
  FPPPackageInfoPlusPlugin sandboxed = Plugin({{"APP_SANDBOX_CONTAINER_ID", ""}});
  EXPECT_TRUE(sandboxed.IsRunningInSandbox());
  EXPECT_FALSE(Plugin().IsRunningInSandbox());
  // No documents directory yet: no install date, so the update date.
  EXPECT_EQ(sandboxed.GetInstallDate(), std::nullopt);
  EXPECT_EQ(Call(sandboxed),
            Envelope(Expected(Value(), Value(), Value(), Value(), "1500", "1500")));

  std::filesystem::create_directories(home() + "/Documents");
  std::optional<FileDate> born = CreationDate(home() + "/Documents");
  if (!born) GTEST_SKIP() << "this file system keeps no birth times";
  EXPECT_EQ(sandboxed.GetInstallDate(), born);
  EXPECT_EQ(Call(sandboxed), Envelope(Expected(Value(), Value(), Value(), Value(),
                                               *TimeMillisString(born), "1500")));
  // Outside the sandbox the same directory does not count.
  EXPECT_EQ(Plugin().GetInstallDate(), std::nullopt);
}

TEST_F(PackageInfoTest, AnUnreadableOrMalformedBundleIsAClearError) {
  FPPPackageInfoPlusPlugin plugin = Plugin();
  struct Case {
    const char* text;  // nullptr: no file
    const char* says;
  };
  for (const Case& c : {Case{nullptr, "cannot read the bundle information"},
                        Case{"{\"CFBundleName\": \"kelvo\"", "is not valid JSON"},
                        Case{"", "is not valid JSON"},
                        Case{"[\"kelvo\"]", "is not a JSON object"},
                        Case{"{\"CFBundleVersion\": 7}", "CFBundleVersion that is not a string"},
                        Case{"{\"CFBundleName\": [\"k\"]}", "CFBundleName that is not a string"}}) {
    std::filesystem::remove(bundle_file());
    if (c.text) WriteBundle(c.text);
    std::optional<Envelope> reply = Call(plugin);
    ASSERT_TRUE(reply && std::holds_alternative<FlutterError>(*reply)) << c.says;
    const FlutterError& error = std::get<FlutterError>(*reply);
    EXPECT_EQ(error.code, "bundle-info-unreadable");
    EXPECT_NE(error.message.value_or("").find(c.says), std::string::npos) << *error.message;
    EXPECT_NE(error.message.value_or("").find(bundle_file()), std::string::npos);
    EXPECT_EQ(error.details, Value(bundle_file()));
  }
}

TEST_F(PackageInfoTest, OtherMethodsAreNotImplemented) {
  WriteBundle("{}");
  EXPECT_EQ(Call(Plugin(), "getInstallerStore"), std::nullopt);
  EXPECT_EQ(Call(Plugin(), "GetAll"), std::nullopt);
}

TEST(PackageInfoBundlePath, TheVariableElseBesideTheExecutable) {
  EXPECT_EQ(BundleInfoPath(Lookup({{"KELVO_BUNDLE_INFO", "/opt/kelvo/b.json"}})),
            "/opt/kelvo/b.json");
  std::string exe_dir = std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
  EXPECT_EQ(BundleInfoPath(Lookup({{"KELVO_BUNDLE_INFO", ""}})), exe_dir + "/bundle.json");
  EXPECT_EQ(BundlePath("/opt/kelvo/bundle.json"), "/opt/kelvo");
  EXPECT_EQ(BundlePath("bundle.json"), ".");
}

}  // namespace
}  // namespace kelvo
