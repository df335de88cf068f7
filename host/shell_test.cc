// The application shell: window setup and geometry, service registration,
// reopen and the delegate's answers.
#include <gtest/gtest.h>

#include "host/generated_plugin_registrant.h"
#include "host/testing/shell_fixture.h"

namespace kelvo {
namespace {

using testing::ShellFixture;

const Screen kLaptop{{0, 0, 1440, 900}, {0, 0, 1440, 875}};
const Screen kExternal{{1440, -200, 2560, 1440}, {1440, -200, 2560, 1415}};

class ShellTest : public ::testing::Test {
 protected:
  ShellFixture f;
};

TEST_F(ShellTest, SetupSizesTheWindowAndCentresItOnTheScreenUnderThePointer) {
  f.screens.set_screens({kLaptop, kExternal});
  f.screens.set_pointer({2000, 100});
  auto window = f.MakeWindow();
  window->AwakeFromNib();

  EXPECT_EQ(window->frame().size(), (Size{860, 460}));
  EXPECT_EQ(window->min_size(), (Size{720, 420}));
  // Centred in the external screen's visible frame.
  EXPECT_EQ(window->frame().origin(),
            (Point{1440 + (2560 - 860) * 0.5, -200 + (1415 - 460) * 0.5}));
  ASSERT_NE(window->flutter_view_controller(), nullptr);
  EXPECT_EQ(window->flutter_view_controller()->binary_messenger(), f.messenger.get());
}

TEST_F(ShellTest, PointerOffEveryScreenCentresOnTheMainScreen) {
  f.screens.set_screens({kLaptop, kExternal});
  f.screens.set_main_index(1);
  f.screens.set_pointer({-500, -500});
  auto window = f.MakeWindow();
  window->AwakeFromNib();
  EXPECT_EQ(window->frame().origin(), (Point{1440 + 850, -200 + 477.5}));

  // The frame's top edge belongs to the screen, its bottom edge does not.
  f.screens.set_main_index(std::nullopt);
  f.screens.set_pointer({2000, -200});  // bottom edge of the external screen
  auto second = f.MakeWindow();
  second->AwakeFromNib();
  EXPECT_EQ(second->frame().origin(), (Point{290, 207.5}));  // the main (laptop) screen
}

TEST_F(ShellTest, OddVisibleWidthsGiveFractionalOriginsThatAreNotRounded) {
  f.screens.set_screens({{{0, 0, 1441, 901}, {0, 3, 1441, 877}}});
  f.screens.set_pointer({10, 10});
  auto window = f.MakeWindow();
  window->AwakeFromNib();
  EXPECT_DOUBLE_EQ(window->frame().x, 290.5);
  EXPECT_DOUBLE_EQ(window->frame().y, 3 + 208.5);
}

TEST_F(ShellTest, WithoutAnyScreenThePlatformCentringLeavesTheOrigin) {
  auto window = f.MakeWindow();
  window->AwakeFromNib();
  EXPECT_EQ(window->frame(), (Rect{0, 0, 860, 460}));
}

TEST_F(ShellTest, RegistersTheServicesInOrderAndOpensTheControlChannel) {
  auto window = f.MakeWindow();
  window->AwakeFromNib();
  const std::vector<std::string> expected = {
      "ConnectivityPlusPlugin",   "FlutterSecureStorageDarwinPlugin",
      "InAppPurchasePlugin",      "LocalNotifierPlugin",
      "FPPPackageInfoPlusPlugin", "PathProviderPlugin",
      "ScreenRetrieverPlugin",    "SharedPreferencesPlugin",
      "TrayManagerPlugin",        "UrlLauncherPlugin",
      "WindowManagerPlugin",      "WireguardDartPlugin"};
  EXPECT_EQ(window->flutter_view_controller()->registrar_keys(), expected);
  ASSERT_EQ(GeneratedPluginRegistrations().size(), expected.size());
  EXPECT_TRUE(f.messenger->HasNativeHandler("drimo/wg_ios"));
  // A registered service installs its channels through its registrar.
  EXPECT_TRUE(f.messenger->HasNativeHandler("dev.fluttercommunity.plus/connectivity"));
}

TEST_F(ShellTest, TheApplicationDelegateBecomesTheNotificationDelegateWhenItConforms) {
  auto window = f.MakeWindow();
  window->AwakeFromNib();
  EXPECT_EQ(f.center->delegate(), &f.delegate);

  // A delegate that is not a notification delegate clears the centre's.
  struct PlainDelegate : ApplicationDelegate {
    bool ApplicationShouldTerminateAfterLastWindowClosed(Application&) override { return true; }
    bool ApplicationShouldHandleReopen(Application&, bool) override { return true; }
    bool ApplicationSupportsSecureRestorableState(Application&) override { return true; }
  } plain;
  f.app.SetDelegate(&plain);
  auto second = f.MakeWindow();
  second->AwakeFromNib();
  EXPECT_EQ(f.center->delegate(), nullptr);
}

TEST_F(ShellTest, ReopenWithVisibleWindowsChangesNothing) {
  auto window = f.MakeWindow();
  window->AwakeFromNib();
  window->MakeKeyAndOrderFront();
  f.app.SetActivationPolicy(ActivationPolicy::kAccessory);
  f.dispatch.RunUntilIdle();
  const size_t pending = f.dispatch.PendingCount();

  EXPECT_TRUE(f.app.Reopen());
  EXPECT_EQ(f.app.activation_policy(), ActivationPolicy::kAccessory);
  EXPECT_EQ(f.app.activation_count(), 0);
  EXPECT_EQ(f.dispatch.PendingCount(), pending);
}

TEST_F(ShellTest, ReopenWithoutVisibleWindowsBringsTheMainWindowBackAfterTheCall) {
  auto window = f.MakeWindow();
  window->AwakeFromNib();
  window->MakeKeyAndOrderFront();
  Window other({0, 0, 100, 100}, &f.screens);  // not a main window: left alone
  f.app.AddWindow(&other);

  f.app.CloseWindow(window.get());  // the last visible window closes...
  EXPECT_FALSE(f.terminated);       // ...and the application keeps running
  f.app.SetActivationPolicy(ActivationPolicy::kAccessory);

  EXPECT_TRUE(f.app.Reopen());
  EXPECT_EQ(f.app.activation_policy(), ActivationPolicy::kRegular);
  EXPECT_EQ(f.app.activation_count(), 1);
  EXPECT_FALSE(window->visible());  // deferred to the main queue
  f.dispatch.RunUntilIdle();
  EXPECT_TRUE(window->visible());
  EXPECT_TRUE(window->key());
  EXPECT_FALSE(other.visible());
}

TEST_F(ShellTest, DelegateAnswers) {
  EXPECT_FALSE(f.delegate.ApplicationShouldTerminateAfterLastWindowClosed(f.app));
  EXPECT_TRUE(f.delegate.ApplicationSupportsSecureRestorableState(f.app));
  PresentationOptions options = 0;
  f.delegate.WillPresent({}, [&](PresentationOptions o) { options = o; });
  EXPECT_EQ(options, 18u);
}

}  // namespace
}  // namespace kelvo
